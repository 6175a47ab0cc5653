// What each endpoint answers, and the refusals they share (draining, tokens).
#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "api/call.hpp"
#include "api/host.hpp"
#include "api/openapi.hpp"
#include "service/engine.hpp"
#include "service/request_checks.hpp"

namespace carvalen::service {

// The HTTP status of a call's outcome.
int CallStatus(int outcome) {
  switch (outcome) {
    case api::kCallOk:
      return 200;
    case api::kCallFailed:
      return 422;
    default:
      return 400;
  }
}

Answer Json(int status, const api::Json& document) { return {status, api::Dump(document)}; }
Answer Usage(int status, std::string_view message) { return Json(status, api::UsageJson(message)); }

// What a path names, whatever the method; for a call, `call` is "Class/Operation".
Endpoint PathEndpoint(std::string_view path, std::string_view* call) {
  constexpr std::string_view kCall = "/v1/";
  constexpr std::string_view kPlain = "/v1/plain/";
  if (path == "/v1/operations") return Endpoint::kOperations;
  if (path == "/openapi.json") return Endpoint::kOpenApi;
  if (path == "/healthz") return Endpoint::kHealth;
  if (path == "/readyz") return Endpoint::kReady;
  if (path == "/metrics") return Endpoint::kMetrics;
  if (path.starts_with(kCall)) {
    const bool plain = path.starts_with(kPlain);
    const std::string_view rest = path.substr(plain ? kPlain.size() : kCall.size());
    const std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos && slash != 0 && slash + 1 < rest.size() &&
        rest.find('/', slash + 1) == std::string_view::npos) {
      if (call != nullptr) *call = rest;
      return plain ? Endpoint::kPlainCall : Endpoint::kCall;
    }
  }
  return Endpoint::kNone;
}

std::string_view AllowedMethods(Endpoint endpoint) {
  if (endpoint == Endpoint::kNone) return {};
  const bool call = endpoint == Endpoint::kCall || endpoint == Endpoint::kPlainCall;
  return call ? "POST" : "GET, HEAD";
}

// What a request asks for, from its method and path: HEAD as GET (its answer is sent without
// content).
Endpoint Classify(http::verb method, std::string_view path, std::string_view* call) {
  const Endpoint endpoint = PathEndpoint(path, call);
  if (endpoint == Endpoint::kCall || endpoint == Endpoint::kPlainCall) {
    return method == http::verb::post ? endpoint : Endpoint::kNone;
  }
  return method == http::verb::get || method == http::verb::head ? endpoint : Endpoint::kNone;
}

// The endpoints that wait for the database, and so run as one of the --threads jobs.
bool Waits(Endpoint endpoint) {
  return endpoint == Endpoint::kCall || endpoint == Endpoint::kPlainCall ||
         endpoint == Endpoint::kReady;
}

bool NeedsToken(Endpoint endpoint) {
  return endpoint == Endpoint::kCall || endpoint == Endpoint::kPlainCall ||
         endpoint == Endpoint::kOperations || endpoint == Endpoint::kOpenApi ||
         endpoint == Endpoint::kMetrics;
}

std::string_view PathOf(const http::request<http::string_body>& req) {
  const std::string_view target(req.target().data(), req.target().size());
  return target.substr(0, target.find('?'));
}

std::string Server::Impl::Remote(const Tcp::endpoint& peer,
                                 const http::request<http::string_body>& req) const {
  const asio::ip::address address = peer.address();
  // A proxy the operator named tells who its client was; anyone else could claim anything, and
  // what is no address is no client.
  if (std::find(trusted.begin(), trusted.end(), address) != trusted.end()) {
    if (const auto forwarded = ForwardedFor(req)) return forwarded->to_string();
  }
  return address.to_string();
}

bool Server::Impl::TokensInForce() {
  if (!tokens_required && !tokens.Current().empty()) tokens_required = true;
  return tokens_required;
}

bool Server::Impl::Authorised(const http::request<http::string_body>& req) {
  const std::vector<std::string> current = tokens.Current();
  if (!current.empty()) tokens_required = true;
  if (!tokens_required) return true;
  const auto authorization = req[http::field::authorization];
  return TokenMatches(BearerToken(std::string_view(authorization.data(), authorization.size())),
                      current);
}

std::optional<Answer> Server::Impl::Refused(const http::request<http::string_body>& req,
                                            bool needs_token) {
  if (draining.load()) {
    Answer answer = Usage(503, "the service is stopping");
    answer.headers.emplace_back(http::field::retry_after, "1");
    // Tells the client to take its next request elsewhere rather than down this connection.
    answer.close = true;
    return answer;
  }
  // Without tokens a page in a browser on this machine could call us, and through DNS rebinding
  // read the answers: only requests addressed to loopback and not sent by another site's page.
  if (!TokensInForce()) {
    if (auto fault = BrowserFault(req, options.cors_origins)) {
      return Usage(fault->first, fault->second);
    }
  }
  if (!needs_token || Authorised(req)) return std::nullopt;
  Answer answer = Usage(401, "a valid bearer token is required (Authorization: Bearer <token>)");
  answer.headers.emplace_back(http::field::www_authenticate, "Bearer");
  return answer;
}

Answer Server::Impl::Call(std::string_view class_name, std::string_view operation,
                          const std::string& body, bool plain) {
  const std::string target = fmt::format("{}.{}", class_name, operation);
  // The answer stops being written at --max-answer: the call fails with 7 and is never sent in
  // part.
  api::Limits limits = options.limits;
  limits.max_answer = options.max_answer;
  api::CallOutcome outcome = plain ? api::CallWithPlainJson(target, body, limits)
                                   : api::CallWithJson(target, body, limits);
  Answer answer{plain ? outcome.http_status : CallStatus(outcome.status), std::move(outcome.text)};
  answer.operation = std::move(outcome.operation);
  return answer;
}

Answer Server::Impl::Ready(bool with_reason) {
  const std::optional<std::string> reason = api::UnreadyReason();
  if (!reason) return Json(200, api::Json::object({{"ready", true}}));
  // What is wrong names hosts and databases: only for a caller with a token.
  if (!with_reason) return Json(503, api::Json::object({{"ready", false}}));
  return Json(503, api::Json::object({{"ready", false}, {"reason", *reason}}));
}

Answer Server::Impl::Route(const http::request<http::string_body>& req) {
  if (draining.load()) return *Refused(req, false);
  if (auto preflight = Preflight(req)) return *preflight;
  std::string_view call;
  const std::string_view path = PathOf(req);
  const Endpoint endpoint = Classify(req.method(), path, &call);
  switch (endpoint) {
    case Endpoint::kCall:
    case Endpoint::kPlainCall: {
      const std::size_t slash = call.find('/');
      return Call(call.substr(0, slash), call.substr(slash + 1), req.body(),
                  endpoint == Endpoint::kPlainCall);
    }
    case Endpoint::kOperations:
      return Json(200, api::OperationsJson());
    case Endpoint::kOpenApi:
      return Json(200, api::OpenApiDocument());
    case Endpoint::kHealth:
      return Json(200, api::Json::object({{"alive", true}}));
    case Endpoint::kReady:
      return Ready(Authorised(req));
    case Endpoint::kMetrics: {
      Gauges gauges;
      gauges.in_flight = in_flight.load();
      const api::PoolGauges pool = api::PoolCounts();
      gauges.pool_in_use = pool.in_use;
      gauges.pool_idle = pool.idle;
      gauges.draining = draining.load();
      gauges.log_dropped = log.Dropped();
      gauges.buffered_bytes = buffered.Used();
      gauges.unread_bytes = unread.Used();
      Answer answer{200, metrics.Text(gauges)};
      answer.content_type = "text/plain; version=0.0.4";
      return answer;
    }
    case Endpoint::kNone:
      break;
  }
  if (const std::string_view allowed = AllowedMethods(PathEndpoint(path, nullptr));
      !allowed.empty()) {
    Answer answer = Usage(
        405, fmt::format("{} takes {}, not {}", path, allowed, std::string(req.method_string())));
    answer.headers.emplace_back(http::field::allow, std::string(allowed));
    return answer;
  }
  return Usage(404, fmt::format("no endpoint {} {} (see GET /v1/operations)",
                                std::string(req.method_string()), path));
}

}  // namespace carvalen::service
