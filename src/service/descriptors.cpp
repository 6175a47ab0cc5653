#include "service/descriptors.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

#include "service/server.hpp"

namespace carvalen::service {
namespace {

// What the process keeps open beside its connections: standard streams, the listener, the event
// loop's, the logs, the configuration watch; each database session may hold a few (a SQLite file,
// its journal; a socket), and an operation that calls another holds two sessions.
constexpr std::size_t kOwnDescriptors = 32;
constexpr std::size_t kPerThread = 6;

}  // namespace

std::string FitDescriptors(Options& options) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // A hard limit of "unlimited" is refused by the kernel: the soft one then stays.
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const std::size_t own = kOwnDescriptors + kPerThread * static_cast<std::size_t>(options.threads);
  const std::size_t available = limit.rlim_cur == RLIM_INFINITY ? options.max_connections
                                : limit.rlim_cur > own
                                    ? static_cast<std::size_t>(limit.rlim_cur) - own
                                    : 1;
  if (options.max_connections <= available) return {};
  std::string warning = fmt::format(
      "--max-connections {} lowered to {}: the process may open {} descriptors (ulimit "
      "-n, LimitNOFILE=) and keeps {} for itself",
      options.max_connections, available, limit.rlim_cur, own);
  options.max_connections = available;
  return warning;
}

void SpareDescriptor::Take() {
  if (fd_ < 0) fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void SpareDescriptor::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SpareDescriptor::RefuseOne(int listener) {
  constexpr std::string_view kBusy =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
      "Connection: close\r\nContent-Length: 76\r\n\r\n"
      "{\"usageError\": {\"message\": \"the service is out of descriptors; try again\"}}\n";
  static_assert(kBusy.size() - kBusy.find("\r\n\r\n") - 4 == 76);
  Release();
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) {
    // A fresh socket's send buffer takes these few bytes at once; a client that is gone is no loss.
    (void)::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
  }
  Take();
  return fd >= 0;
}

}  // namespace carvalen::service
