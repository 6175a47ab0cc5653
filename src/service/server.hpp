// The operations as an HTTP/JSON service: POST /v1/<Class>/<Operation> with a JSON object of
// NAME: value answers the document `carvalen call` prints, through the same call path. Also
// GET /v1/operations, /healthz, /readyz and /metrics. Connections are kept alive between
// requests and read asynchronously; at most Options::threads operations run at once, and
// connections beyond Options::max_connections are answered 503 at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/json_codec.hpp"

namespace carvalen::service {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: a free port, see Server::Port
  int threads = 8;  // operations run at once
  std::size_t max_body = std::size_t{16} << 20;
  api::Limits limits;                        // what one request's JSON may hold
  std::chrono::seconds read_timeout{10};     // for each read of a request's header and body
  std::chrono::seconds write_timeout{10};    // for each write of an answer
  std::chrono::seconds keep_alive{5};        // an idle kept-alive connection is closed after this
  std::string access_log;                    // file appended to; empty: standard error
  std::size_t max_connections = 4096;        // open at once; one more is answered 503 and closed
  std::vector<std::string> trusted_proxies;  // addresses whose X-Forwarded-For is believed
  std::size_t max_answer = std::size_t{64} << 20;     // one answer's bytes; beyond, error 7
  std::size_t max_buffered = std::size_t{256} << 20;  // request bodies held at once, all together
  std::size_t max_unread = std::size_t{256} << 20;    // answers being written, all together
  std::chrono::seconds queue_timeout{10};             // a call waiting longer for a thread: 503
  std::vector<std::string> cors_origins;              // browser origins allowed to call; "*" any
};

/// "localhost", and an address of 127.0.0.0/8 or ::1 written as such; a name is not resolved.
bool IsLoopback(std::string_view host);

class Server {
 public:
  /// Opens the access log; throws std::runtime_error when it cannot.
  explicit Server(Options options);
  /// Stops at once if still running.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Binds the address and serves on threads of its own; throws std::runtime_error when the
  /// address cannot be bound.
  void Start();
  /// The port bound (the one chosen when Options::port is 0).
  int Port() const;
  /// Connections open now, counting those still being drained after an early answer.
  std::int64_t Connections() const;
  /// Answers every new request 503, waits up to `grace` for the requests being served, then
  /// stops listening and closes the connections. False when requests were still running at the
  /// deadline: their threads are left running and Stop (or the destructor) waits for them.
  bool Drain(std::chrono::milliseconds grace);
  /// Stops listening and waits for the serving threads.
  void Stop();
  /// Reads the configuration stores again now, the tokens with them, rather than at the next
  /// change the file watch sees (SIGHUP, systemd's ExecReload).
  void Reload();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace carvalen::service
