// What a request's header alone decides: whether its framing is one we read safely, whether a
// browser could have sent it to us from another site, and what a proxy says of the client. Private
// to src/service/.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace carvalen::service {

using Request = boost::beast::http::request<boost::beast::http::string_body>;

/// Why the request's Transfer-Encoding cannot be read, or nullopt when it has none or only
/// "chunked". Anything else would leave the body to be read as a request of its own.
std::optional<std::string> FramingFault(const Request& req);

/// Why a request might come from a web page rather than a program the operator trusts: a Host
/// that names no loopback address (DNS rebinding), or an Origin of another site. Only asked while
/// no tokens are in force. An origin the operator allowed (`cors_origins`, "*" any) is no fault.
/// The first is the status (421 or 403), the second the message.
std::optional<std::pair<int, std::string>> BrowserFault(
    const Request& req, const std::vector<std::string>& cors_origins);

/// The last address of X-Forwarded-For, when it is one; nullopt otherwise.
std::optional<boost::asio::ip::address> ForwardedFor(const Request& req);

}  // namespace carvalen::service
