// `carvalen serve`: runs the service until SIGTERM or SIGINT, then drains it and exits.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "service/server.hpp"

namespace carvalen::service {

/// "HOST:PORT", "[V6]:PORT" or ":PORT" (loopback); throws api::UsageError when it is none.
std::pair<std::string, int> ParseListen(std::string_view listen);

/// Serves with `options` (host and port already set) until told to stop, then waits up to
/// `grace` for the requests being served; prints the address it listens on to `out`. A
/// non-loopback address without any token configured is a usage error. Exit status 0 after a
/// clean drain; 1 when requests were still running at the end of the grace period.
int RunServe(const Options& options, std::chrono::seconds grace, std::ostream& out);

}  // namespace carvalen::service
