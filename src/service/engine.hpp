// What the parts of the HTTP engine share: the answer to a request, the endpoints, and the
// server's state (Server::Impl). Private to src/service/.
#pragma once

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "api/json_codec.hpp"
#include "service/access_log.hpp"
#include "service/budget.hpp"
#include "service/descriptors.hpp"
#include "service/metrics.hpp"
#include "service/server.hpp"
#include "service/tokens.hpp"

namespace carvalen::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Response = http::response<http::string_body>;

constexpr const char* kJson = "application/json";
// Request line and header fields together: far beyond any real client's, and the most a slow or
// hostile one makes a connection hold.
constexpr std::uint32_t kHeaderLimit = 16 * 1024;

// What is known of a request once it is answered, for the access log and the metrics.
struct Answer {
  Answer() = default;
  Answer(int status_in, std::string text_in) : status(status_in), text(std::move(text_in)) {}
  int status = 200;
  std::string text;  // the JSON document, without its newline, or the metrics text
  std::string content_type = kJson;
  std::string operation;  // "Class.Operation" once resolved
  bool close = false;     // the connection ends after this answer
  std::vector<std::pair<http::field, std::string>> headers;
};

Answer Json(int status, const api::Json& document);
Answer Usage(int status, std::string_view message);
/// The HTTP status of a call's outcome.
int CallStatus(int outcome);

enum class Endpoint { kCall, kPlainCall, kOperations, kOpenApi, kHealth, kReady, kMetrics, kNone };

/// What a path names, whatever the method.
Endpoint PathEndpoint(std::string_view path, std::string_view* call);
/// The methods an endpoint takes, for Allow ("POST", "GET, HEAD"); empty for kNone.
std::string_view AllowedMethods(Endpoint endpoint);
/// What a request asks for, from its method and path; for a call, `call` is "Class/Operation".
Endpoint Classify(http::verb method, std::string_view path, std::string_view* call = nullptr);
/// The endpoints that wait for the database, and so run as one of the --threads jobs.
bool Waits(Endpoint endpoint);
bool NeedsToken(Endpoint endpoint);
std::string_view PathOf(const http::request<http::string_body>& req);

// Jobs that leave the I/O for the database, at most `limit` at once; the rest wait in order.
struct Lane {
  explicit Lane(int limit_in) : limit(limit_in) {}
  int limit;
  int running = 0;
  std::deque<std::function<void()>> waiting;
};

struct Server::Impl {
  explicit Impl(Options options_in)
      : options(std::move(options_in)),
        log(options.access_log),
        buffered(options.max_buffered),
        unread(options.max_unread),
        calls(std::max(options.threads, 1)) {}

  class Session;
  // A connection whose answer is being written, oldest first: the first to cut when the answers
  // not yet taken are over their budget.
  struct Writer {
    std::weak_ptr<Session> session;
    std::size_t bytes = 0;
    Clock::time_point since;
  };

  void Accept();
  // Out of descriptors: one waiting client told so, then a pause before accepting again.
  void AcceptLater();
  // Cuts the connections that have taken longest to read their answers, until what they hold
  // brings the answers back within their budget.
  void CutSlowestReaders();
  // The answer to a request whose header and body were read, and whose header was let through.
  Answer Route(const http::request<http::string_body>& req);
  // Runs `job` now when fewer than the lane's limit are running, else once one of them finishes.
  void RunBounded(Lane& lane, std::function<void()> job);
  void RunJob(Lane& lane, const std::function<void()>& job);
  void Finished(Lane& lane);
  // What every thread runs: the I/O while it is needed there, parked while it is not.
  void ThreadMain();
  Answer Call(std::string_view class_name, std::string_view operation, const std::string& body,
              bool plain = false);
  Answer Ready(bool with_reason);
  // Cross-origin calls, only for the origins the operator named (cors.cpp): a preflight of a
  // call path is answered whole; any other answer to an allowed origin gets its headers.
  std::optional<Answer> Preflight(const http::request<http::string_body>& req) const;
  void AddCorsHeaders(const http::request<http::string_body>& req, Answer& answer) const;
  // Refusals every endpoint but the health checks shares: draining, tokens.
  std::optional<Answer> Refused(const http::request<http::string_body>& req, bool needs_token);
  bool Authorised(const http::request<http::string_body>& req);
  // Whether a token is needed now; notes a token that has just appeared.
  bool TokensInForce();
  std::string Remote(const Tcp::endpoint& peer, const http::request<http::string_body>& req) const;
  // The log names the path where no operation was named (GET /readyz, a 404); the metrics do
  // not, so that clients cannot add series at will.
  void Logged(std::string_view remote, std::string_view method, std::string_view path,
              const Answer& answer, Clock::time_point start) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    metrics.Record(answer.operation, answer.status, seconds);
    log.Write(remote, method, answer.operation.empty() ? path : answer.operation, answer.status,
              seconds);
  }

  Options options;
  AccessLog log;
  Metrics metrics;
  TokenSource tokens;
  // Set at the start when tokens are configured or the address is off loopback, and when a
  // token first appears; never switched off while the process runs.
  std::atomic<bool> tokens_required{false};
  std::vector<asio::ip::address> trusted;
  std::atomic<bool> draining{false};
  std::atomic<bool> stopped{false};
  std::atomic<std::int64_t> in_flight{0};
  std::atomic<std::int64_t> connections{0};
  std::atomic<std::int64_t> lingering{0};  // closed connections still being drained
  int port = 0;
  Budget buffered;  // request bodies being read or held
  Budget unread;    // answers being written
  std::mutex writers_mutex;
  std::list<Writer> writers;
  SpareDescriptor spare;
  std::mutex jobs_mutex;
  Lane calls;
  // Readiness checks wait for the database too, but never behind calls: one at a time, on a
  // thread of their own.
  Lane probes{1};
  // Threads reading and writing now, and how many are wanted there at most.
  std::mutex threads_mutex;
  std::condition_variable threads_cv;
  unsigned serving = 0;
  unsigned io_target = 1;
  // Last, so that the sessions its handlers still hold go before the counters they update.
  asio::io_context io;
  Tcp::acceptor acceptor{io};
  asio::steady_timer accept_pause{io};
  std::vector<std::thread> threads;
};

}  // namespace carvalen::service
