// `carvalen serve` as the benchmarks run it: in their own process, on a free loopback port,
// logging nowhere, and a keep-alive client per benchmark thread.
#pragma once

#include <httplib.h>

#include <cstdlib>

#include "service/server.hpp"

namespace carvalen::bench {

/// The options of a service on a free loopback port that writes no log; the library's log goes
/// nowhere either, so that failures cost what they cost, not a write to the terminal.
inline service::Options QuietLoopbackService() {
  setenv("CARVALEN_LOG", "/dev/null", 1);
  service::Options options;
  options.port = 0;
  options.access_log = "/dev/null";
  return options;
}

/// A client that keeps its connection and sends each request at once.
inline httplib::Client KeepAliveClient(const service::Server& server) {
  httplib::Client client("127.0.0.1", server.Port());
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  return client;
}

}  // namespace carvalen::bench
