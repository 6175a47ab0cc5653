// Cross-origin calls from browsers, opt in: without --cors-origin no request gets a CORS header
// and a preflight is answered as any unknown request is.
#include <algorithm>

#include "service/engine.hpp"

namespace carvalen::service {
namespace {

// The request's Origin when the operator allowed it, else empty.
std::string AllowedOrigin(const std::vector<std::string>& allowed,
                          const http::request<http::string_body>& req) {
  const auto origin = req[http::field::origin];
  if (origin.empty() || allowed.empty()) return {};
  std::string text(origin.data(), origin.size());
  const bool any = std::find(allowed.begin(), allowed.end(), "*") != allowed.end();
  if (!any && std::find(allowed.begin(), allowed.end(), text) == allowed.end()) return {};
  return text;
}

}  // namespace

std::optional<Answer> Server::Impl::Preflight(const http::request<http::string_body>& req) const {
  if (req.method() != http::verb::options) return std::nullopt;
  const std::string origin = AllowedOrigin(options.cors_origins, req);
  if (origin.empty()) return std::nullopt;
  const auto asked = req[http::field::access_control_request_method];
  if (Classify(http::verb::post, PathOf(req)) == Endpoint::kNone ||
      (!asked.empty() && asked != "POST")) {
    return std::nullopt;
  }
  Answer answer{204, ""};
  answer.content_type = "text/plain";
  answer.headers = {{http::field::access_control_allow_origin, origin},
                    {http::field::access_control_allow_methods, "POST, OPTIONS"},
                    {http::field::access_control_allow_headers, "Authorization, Content-Type"},
                    {http::field::access_control_max_age, "600"},
                    {http::field::vary, "Origin"}};
  return answer;
}

void Server::Impl::AddCorsHeaders(const http::request<http::string_body>& req,
                                  Answer& answer) const {
  const std::string origin = AllowedOrigin(options.cors_origins, req);
  if (origin.empty() || answer.status == 204) return;
  answer.headers.emplace_back(http::field::access_control_allow_origin, origin);
  answer.headers.emplace_back(http::field::vary, "Origin");
}

}  // namespace carvalen::service
