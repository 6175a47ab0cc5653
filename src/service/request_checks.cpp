#include "service/request_checks.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "service/server.hpp"

namespace carvalen::service {
namespace {

namespace http = boost::beast::http;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "host", "host:port", "[v6]" or "[v6]:port": the host alone.
std::string_view HostPart(std::string_view authority) {
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
  }
  return authority.substr(0, authority.find(':'));
}

}  // namespace

std::optional<std::string> FramingFault(const Request& req) {
  if (req.count(http::field::transfer_encoding) == 0) return std::nullopt;
  const auto value = req[http::field::transfer_encoding];
  const std::string_view coding = Trimmed(std::string_view(value.data(), value.size()));
  if (req.count(http::field::transfer_encoding) == 1 &&
      boost::beast::iequals(boost::beast::string_view(coding.data(), coding.size()), "chunked")) {
    return std::nullopt;
  }
  return fmt::format("Transfer-Encoding {} is not accepted; send chunked alone, or a length",
                     std::string(value));
}

std::optional<std::pair<int, std::string>> BrowserFault(
    const Request& req, const std::vector<std::string>& cors_origins) {
  // A request without Host is HTTP/1.0 from a program: no browser leaves it out.
  if (const auto host = req[http::field::host]; !host.empty()) {
    const std::string_view text(host.data(), host.size());
    if (!IsLoopback(HostPart(Trimmed(text)))) {
      return std::pair{421, fmt::format("Host {} is not this service's: without tokens it answers "
                                        "loopback names only",
                                        text)};
    }
  }
  if (const auto origin = req[http::field::origin]; !origin.empty()) {
    std::string_view text(origin.data(), origin.size());
    std::string_view rest = Trimmed(text);
    bool ours = std::any_of(
        cors_origins.begin(), cors_origins.end(),
        [rest](const std::string& allowed) { return allowed == "*" || allowed == rest; });
    for (const std::string_view scheme : {"http://", "https://"}) {
      if (rest.starts_with(scheme)) {
        ours = ours || IsLoopback(HostPart(rest.substr(scheme.size())));
      }
    }
    if (!ours) {
      return std::pair{403, fmt::format("a page of {} may not call this service", text)};
    }
  }
  return std::nullopt;
}

std::optional<boost::asio::ip::address> ForwardedFor(const Request& req) {
  const auto forwarded = req["X-Forwarded-For"];
  std::string_view last(forwarded.data(), forwarded.size());
  if (const std::size_t comma = last.rfind(','); comma != std::string_view::npos) {
    last.remove_prefix(comma + 1);
  }
  last = Trimmed(last);
  if (last.empty() || last.size() > 64) return std::nullopt;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(std::string(last), ec);
  if (ec) return std::nullopt;
  return address;
}

}  // namespace carvalen::service
