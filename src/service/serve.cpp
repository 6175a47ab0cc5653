#include "service/serve.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigwait and sigset_t are POSIX

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "api/call.hpp"
#include "api/host.hpp"
#include "service/descriptors.hpp"
#include "service/tokens.hpp"

namespace carvalen::service {

std::pair<std::string, int> ParseListen(std::string_view listen) {
  const std::size_t colon = listen.rfind(':');
  auto fail = [&] {
    return api::UsageError(fmt::format(
        "--listen expects HOST:PORT, e.g. 127.0.0.1:8080 or [::1]:8080, not \"{}\"", listen));
  };
  if (colon == std::string_view::npos) throw fail();
  std::string_view host = listen.substr(0, colon);
  const std::string_view digits = listen.substr(colon + 1);
  int port = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (error != std::errc() || end != digits.data() + digits.size() || port < 0 || port > 65535) {
    throw fail();
  }
  if (host.starts_with('[') && host.ends_with(']')) {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    throw fail();  // a V6 address is written in brackets
  }
  if (host.empty()) host = "127.0.0.1";
  return {std::string(host), port};
}

int RunServe(const Options& options, std::chrono::seconds grace, std::ostream& out) {
  // Every thread started from here on inherits the mask, so the signals reach only the sigwait
  // below, never a worker in the middle of a call.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Options fitted = options;
  const std::string descriptors = FitDescriptors(fitted);
  if (!descriptors.empty()) {
    std::fputs(fmt::format("carvalen serve: warning: {}\n", descriptors).c_str(), stderr);
  }
  Server server(fitted);
  server.Start();
  if (const std::string warning = MisspelledTokensKey(); !warning.empty()) {
    std::fputs(fmt::format("carvalen serve: warning: {}\n", warning).c_str(), stderr);
  }
  // Calls would fail until this is put right: say so now, not at the first caller's request.
  if (const std::optional<std::string> reason = api::UnreadyReason()) {
    std::string line;  // the description's CR LF layout as one line
    for (const char c : *reason) {
      const bool blank = c == '\r' || c == '\n' || c == ' ';
      if (!blank) {
        line += c;
      } else if (!line.empty() && line.back() != ' ') {
        line += ' ';
      }
    }
    std::fputs(fmt::format("carvalen serve: warning: not ready: {}\n", line).c_str(), stderr);
  }
  const bool v6 = options.host.find(':') != std::string::npos;
  out << fmt::format("listening on http://{}{}{}:{}", v6 ? "[" : "", options.host, v6 ? "]" : "",
                     server.Port())
      << std::endl;

  int signal_number = 0;
  // SIGHUP re-reads the configuration stores (the unit's ExecReload); the others stop.
  while (sigwait(&stop_signals, &signal_number) == 0 && signal_number == SIGHUP) {
    server.Reload();
    std::fputs("carvalen serve: configuration stores read again\n", stderr);
  }
  const bool finished = server.Drain(grace);
  api::DrainPool();
  if (!finished) {
    // A call that outlives the grace period cannot be interrupted; the database sessions are
    // read-only, so leaving it is safe, and the status says it happened.
    std::fputs("carvalen serve: requests still running at the end of the grace period\n", stderr);
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return 0;
}

}  // namespace carvalen::service
