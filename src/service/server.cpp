// The service's HTTP engine: Boost.Beast over Asio. Every connection is read and written
// asynchronously, so a slow client holds a buffer, never a thread. A request is answered by the
// thread that read it, without a hand-off to another: that thread leaves the I/O for the length
// of the operation (at most --threads are in one at a time), and a parked thread takes its place
// when no other is left reading and writing, so the I/O never waits for the database. What a client
// sends is bounded as it is read: the header by size and by a deadline, the body by the length it
// declares (refused before a byte of it is read) or, chunked, by the bytes that arrive, and the
// open connections by a count. A request that needs a token is refused on its header, its body
// unread.
#include "service/server.hpp"

#include <fmt/format.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "api/call.hpp"
#include "api/openapi.hpp"
#include "carvalen/error.hpp"
#include "carvalen/settings.hpp"
#include "db/client.hpp"
#include "frame/procedures.hpp"
#include "service/metrics.hpp"
#include "service/tokens.hpp"
#include "value/json_lines.hpp"

namespace carvalen::service {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Response = http::response<http::string_body>;

constexpr const char* kJson = "application/json";
// Request line and header fields together: far beyond any real client's, and the most a slow or
// hostile one makes a connection hold.
constexpr std::uint32_t kHeaderLimit = 16 * 1024;
// How long, and how much, a connection closed with its request's body unread is still read from.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kLingerBytes = std::size_t{4} << 20;
// Read slowly: a client that floods gets its answer all the same, and costs the other clients
// next to no time.
constexpr std::size_t kLingerRead = 64 * 1024;
constexpr std::chrono::milliseconds kLingerPause{20};
// Connections drained at once; beyond them one is closed at once, so that a client opening
// connection after connection cannot make the draining itself the load.
constexpr std::int64_t kMaxLingering = 16;

// One JSON object a line: when, from where, what was asked and how it went. Never an argument
// value or a header: a token must not end up in a log file.
class AccessLog {
 public:
  explicit AccessLog(const std::string& path) {
    if (!path.empty()) file_.emplace(path);
    if (file_ && !file_->Good()) {
      throw std::runtime_error(fmt::format("cannot open the access log {}", path));
    }
  }

  void Write(std::string_view remote, std::string_view method, std::string_view operation,
             int status, double seconds) {
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    line["time"] = text::LocalTimestamp();
    line["remote"] = remote;
    line["method"] = method;
    line["operation"] = operation;
    line["status"] = status;
    line["ms"] = static_cast<double>(static_cast<std::int64_t>(seconds * 1e6)) / 1e3;
    // A path is whatever the client sent; bytes that are not UTF-8 must not stop the line.
    const std::string text =
        line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    // One write a line; the lock keeps long lines whole on a pipe too (standard error).
    std::lock_guard lock(mutex_);
    (void)text::WriteWhole(file_ ? file_->Descriptor() : STDERR_FILENO, text);
  }

 private:
  std::optional<text::AppendFile> file_;  // none: standard error
  std::mutex mutex_;
};

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

Answer Json(int status, const api::Json& document) { return {status, api::Dump(document)}; }
Answer Usage(int status, std::string_view message) { return Json(status, api::UsageJson(message)); }

// Set on a thread that left the I/O for an operation, for its loop to see once the handler that
// ran the operation returns.
thread_local bool t_left_io = false;

enum class Endpoint { kCall, kOperations, kOpenApi, kHealth, kReady, kMetrics, kNone };

// What a request asks for, from its method and path; for a call, `call` is "Class/Operation".
Endpoint Classify(http::verb method, std::string_view path, std::string_view* call = nullptr) {
  constexpr std::string_view kCall = "/v1/";
  if (method == http::verb::post && path.starts_with(kCall)) {
    const std::string_view rest = path.substr(kCall.size());
    const std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos && slash != 0 && slash + 1 < rest.size() &&
        rest.find('/', slash + 1) == std::string_view::npos) {
      if (call != nullptr) *call = rest;
      return Endpoint::kCall;
    }
  }
  if (method != http::verb::get) return Endpoint::kNone;
  if (path == "/v1/operations") return Endpoint::kOperations;
  if (path == "/openapi.json") return Endpoint::kOpenApi;
  if (path == "/healthz") return Endpoint::kHealth;
  if (path == "/readyz") return Endpoint::kReady;
  if (path == "/metrics") return Endpoint::kMetrics;
  return Endpoint::kNone;
}

// The endpoints that wait for the database, and so run as one of the --threads jobs.
bool Waits(Endpoint endpoint) {
  return endpoint == Endpoint::kCall || endpoint == Endpoint::kReady;
}

bool NeedsToken(Endpoint endpoint) {
  return endpoint == Endpoint::kCall || endpoint == Endpoint::kOperations ||
         endpoint == Endpoint::kOpenApi || endpoint == Endpoint::kMetrics;
}

std::string_view PathOf(const http::request<http::string_body>& req) {
  const std::string_view target(req.target().data(), req.target().size());
  return target.substr(0, target.find('?'));
}

bool IsLoopbackAddress(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return address.to_v6().to_v4().is_loopback();
  }
  return address.is_loopback();
}

}  // namespace

bool IsLoopback(std::string_view host) {
  if (host == "localhost") return true;
  if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(std::string(host), ec);
  return !ec && IsLoopbackAddress(address);
}

struct Server::Impl {
  explicit Impl(Options options_in) : options(std::move(options_in)), log(options.access_log) {}

  class Session;

  void Accept();
  // The answer to a request whose header and body were read, and whose header was let through.
  Answer Route(const http::request<http::string_body>& req);
  // Runs `job` now when fewer than --threads jobs are running, else once one of them finishes.
  void RunBounded(std::function<void()> job);
  void RunJob(const std::function<void()>& job);
  void Finished();
  // What every thread runs: the I/O while it is needed there, parked while it is not.
  void ThreadMain();
  Answer Call(std::string_view class_name, std::string_view operation, const std::string& body);
  Answer Ready(bool with_reason);
  // Refusals every endpoint but the health checks shares: draining, tokens.
  std::optional<Answer> Refused(const http::request<http::string_body>& req, bool needs_token);
  bool Authorised(const http::request<http::string_body>& req);
  std::string Remote(const tcp::endpoint& peer, const http::request<http::string_body>& req) const;
  void Logged(std::string_view remote, std::string_view method, const Answer& answer,
              Clock::time_point start) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    metrics.Record(answer.operation, answer.status, seconds);
    log.Write(remote, method, answer.operation, answer.status, seconds);
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
  std::mutex jobs_mutex;
  int jobs_running = 0;
  std::deque<std::function<void()>> jobs_waiting;
  // Threads reading and writing now, and how many are wanted there at most.
  std::mutex threads_mutex;
  std::condition_variable threads_cv;
  unsigned serving = 0;
  unsigned io_target = 1;
  // Last, so that the sessions its handlers still hold go before the counters they update.
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::vector<std::thread> threads;
};

void Server::Impl::RunBounded(std::function<void()> job) {
  {
    std::lock_guard lock(jobs_mutex);
    if (jobs_running >= options.threads) {
      jobs_waiting.push_back(std::move(job));
      return;
    }
    ++jobs_running;
  }
  RunJob(job);
}

void Server::Impl::RunJob(const std::function<void()>& job) {
  bool last = false;
  {
    std::lock_guard lock(threads_mutex);
    last = --serving == 0;
  }
  t_left_io = true;
  if (last) threads_cv.notify_one();
  job();
  Finished();
}

void Server::Impl::ThreadMain() {
  for (;;) {
    {
      std::unique_lock lock(threads_mutex);
      threads_cv.wait(lock, [this] { return stopped.load() || serving < io_target; });
      if (stopped.load()) return;
      ++serving;
    }
    // Handler after handler, until one of them takes an operation.
    while (!t_left_io) {
      if (io.run_one() == 0) return;  // stopped
    }
    t_left_io = false;
  }
}

void Server::Impl::Finished() {
  std::function<void()> next;
  {
    std::lock_guard lock(jobs_mutex);
    if (jobs_waiting.empty() || stopped.load()) {
      --jobs_running;
      return;
    }
    next = std::move(jobs_waiting.front());
    jobs_waiting.pop_front();
  }
  // The slot passes to the waiting job, which runs on whichever thread is free first rather than
  // holding this one, and the connection this thread just answered, back.
  asio::post(io, [this, next = std::move(next)] { RunJob(next); });
}

// One connection: a request is read (header, then body), answered, and the next one read until
// the client closes, a deadline passes, or the answer says the connection ends.
class Server::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& impl, tcp::socket socket) : impl_(impl), stream_(std::move(socket)) {
    ++impl_.connections;
    boost::system::error_code ec;
    peer_ = stream_.socket().remote_endpoint(ec);
  }
  ~Session() {
    --impl_.connections;
    if (lingering_) --impl_.lingering;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Start() { ReadHeader(); }

  // Beyond the bound on connections: told so at once, and closed.
  void Refuse() {
    Answer answer = Usage(503, "the service is busy; try again");
    answer.close = true;
    answer.headers.emplace_back(http::field::retry_after, "1");
    start_ = Clock::now();
    method_ = "-";
    Write(std::move(answer), 11);
  }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(impl_.options.max_body);
    // The first request gets the read time-out; a kept-alive connection the idle one, which its
    // next request's header must also arrive within.
    stream_.expires_after(served_ == 0 ? impl_.options.read_timeout : impl_.options.keep_alive);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    start_ = Clock::now();
    if (ec) return Failed(ec);
    const auto& req = parser_->get();
    method_ = std::string(req.method_string());
    // Refused on its header: the body of a request without a valid token is never read.
    const Endpoint endpoint = Classify(req.method(), PathOf(req));
    if (auto refused = impl_.Refused(req, NeedsToken(endpoint))) {
      const bool body_follows = !parser_->is_done();
      request_ = parser_->release();
      parser_.reset();
      if (body_follows) return AnswerEarly(std::move(*refused), request_.version());
      return Write(std::move(*refused), request_.version());
    }
    if (const auto encoding = req[http::field::content_encoding];
        !encoding.empty() && !beast::iequals(encoding, "identity")) {
      // Never inflated: a few kilobytes of gzip make gigabytes.
      return AnswerEarly(Usage(415, fmt::format("Content-Encoding {} is not accepted; send the "
                                                "body as it is",
                                                std::string(encoding))),
                         req.version());
    }
    if (beast::iequals(req[http::field::expect], "100-continue")) {
      // Clients such as curl wait for this before a large body.
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                        req.version());
      stream_.expires_after(impl_.options.write_timeout);
      http::async_write(
          stream_, *interim,
          [self = shared_from_this(), interim](beast::error_code write_ec, std::size_t) {
            if (write_ec) return self->Close();
            self->ReadBody();
          });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    stream_.expires_after(impl_.options.read_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (ec) return self->Failed(ec);
                       self->Serve();
                     });
  }

  void Serve() {
    stream_.expires_never();
    request_ = parser_->release();
    parser_.reset();
    // A request while draining is refused at once rather than after the calls before it.
    if (impl_.draining.load() || !Waits(Classify(request_.method(), PathOf(request_)))) {
      return Write(Guarded([&] { return impl_.Route(request_); }), request_.version());
    }
    // The request counts as being served until its answer is written.
    ++impl_.in_flight;
    counted_ = true;
    impl_.RunBounded([self = shared_from_this()] {
      Answer result = Guarded([&] { return self->impl_.Route(self->request_); });
      // Nothing else is pending on the connection while its call runs, so the write may start
      // on whichever thread ran it; it completes on the connection's strand.
      self->Write(std::move(result), self->request_.version());
    });
  }

  // Bad input never gets here: it is a usage error (400) or the operation's error (422). What is
  // left, memory running out above all, is the service's own failure.
  template <class Produce>
  static Answer Guarded(Produce produce) {
    try {
      return produce();
    } catch (...) {
      return Usage(500, "internal error");
    }
  }

  // An answer given before the request was read to its end: the connection closes after it, and
  // is drained first (see Close).
  void AnswerEarly(Answer answer, unsigned version) {
    answer.close = true;
    body_unread_ = true;
    Write(std::move(answer), version);
  }

  void Failed(beast::error_code ec) {
    if (ec == http::error::body_limit) {
      return AnswerEarly(
          Usage(413, fmt::format("the body is over the limit of {} bytes", impl_.options.max_body)),
          11);
    }
    if (ec == http::error::header_limit) {
      return AnswerEarly(
          Usage(431,
                fmt::format("the request's header is over the limit of {} bytes", kHeaderLimit)),
          11);
    }
    // A parse error means bytes that are not HTTP; anything else (the client closed, a deadline
    // passed, the service stops) ends the connection without a word.
    if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message) {
      method_ = "-";
      return AnswerEarly(Usage(400, "the request is not valid HTTP"), 11);
    }
    Close();
  }

  void Write(Answer answer, unsigned version) {
    auto res = std::make_shared<Response>(static_cast<http::status>(answer.status), version);
    res->set(http::field::content_type, answer.content_type);
    for (const auto& [field, value] : answer.headers) res->set(field, value);
    const bool close = answer.close || impl_.draining.load() || !request_.keep_alive();
    res->keep_alive(!close);
    // The same bytes `carvalen call` prints, newline included.
    answer.text += answer.content_type == kJson ? "\n" : "";
    res->body() = std::move(answer.text);
    answer.text.clear();
    res->prepare_payload();
    impl_.Logged(impl_.Remote(peer_, request_), method_, answer, start_);
    ++served_;
    stream_.expires_after(impl_.options.write_timeout);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, close](beast::error_code ec, std::size_t) {
                        if (std::exchange(self->counted_, false)) --self->impl_.in_flight;
                        if (ec || close) return self->Close();
                        self->request_ = {};
                        self->ReadHeader();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    if (!body_unread_ || impl_.lingering.load() >= kMaxLingering) return stream_.close();
    // The client may still be sending the body: closing with bytes unread resets the connection,
    // and a reset can destroy the answer before the client reads it. What arrives for a while is
    // read and dropped.
    ++impl_.lingering;
    lingering_ = true;
    stream_.expires_after(kLingerTime);
    Discard(0);
  }

  void Discard(std::size_t so_far) {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(kLingerRead), [self = shared_from_this(), so_far](
                                                              beast::error_code ec, std::size_t n) {
      if (ec || so_far + n >= kLingerBytes) return self->stream_.close();
      self->pause_.expires_after(kLingerPause);
      self->pause_.async_wait([self, total = so_far + n](beast::error_code wait_ec) {
        if (wait_ec) return self->stream_.close();
        self->Discard(total);
      });
    });
  }

  Impl& impl_;
  beast::tcp_stream stream_;
  asio::steady_timer pause_{stream_.get_executor()};
  beast::flat_buffer buffer_{kHeaderLimit + 64 * 1024};
  std::optional<http::request_parser<http::string_body>> parser_;
  http::request<http::string_body> request_;
  tcp::endpoint peer_;
  Clock::time_point start_;
  std::string method_;
  std::uint64_t served_ = 0;
  bool counted_ = false;      // in Impl::in_flight
  bool body_unread_ = false;  // the answer was given before the request was read to its end
  bool lingering_ = false;    // counted in Impl::lingering
};

void Server::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      // Out of descriptors, say: the connection waiting is left to the listen queue.
      return Accept();
    }
    socket.set_option(tcp::no_delay(true), ec);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    if (connections.load() > static_cast<std::int64_t>(options.max_connections)) {
      session->Refuse();
    } else {
      session->Start();
    }
    Accept();
  });
}

std::string Server::Impl::Remote(const tcp::endpoint& peer,
                                 const http::request<http::string_body>& req) const {
  const asio::ip::address address = peer.address();
  // A proxy the operator named tells who its client was; anyone else could claim anything.
  if (std::find(trusted.begin(), trusted.end(), address) != trusted.end()) {
    const auto forwarded = req["X-Forwarded-For"];
    if (!forwarded.empty()) {
      std::string_view last(forwarded.data(), forwarded.size());
      if (const std::size_t comma = last.rfind(','); comma != std::string_view::npos) {
        last.remove_prefix(comma + 1);
      }
      while (!last.empty() && last.front() == ' ') last.remove_prefix(1);
      while (!last.empty() && last.back() == ' ') last.remove_suffix(1);
      if (!last.empty() && last.size() <= 64) return std::string(last);
    }
  }
  return address.to_string();
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
  if (!needs_token || Authorised(req)) return std::nullopt;
  Answer answer = Usage(401, "a valid bearer token is required (Authorization: Bearer <token>)");
  answer.headers.emplace_back(http::field::www_authenticate, "Bearer");
  return answer;
}

Answer Server::Impl::Call(std::string_view class_name, std::string_view operation,
                          const std::string& body) {
  const std::string target = fmt::format("{}.{}", class_name, operation);
  api::CallOutcome outcome = api::CallWithJson(target, body, options.limits);
  Answer answer{CallStatus(outcome.status), std::move(outcome.text)};
  answer.operation = std::move(outcome.operation);
  return answer;
}

Answer Server::Impl::Ready(bool with_reason) {
  // The library's own way to the contract database: the store, its connection string and
  // time-outs, and a pooled session when one is idle.
  try {
    db::ConnectionPtr connection = frame::GetSourceConnection();
    frame::CloseConnection(connection);
    return Json(200, api::Json::object({{"ready", true}}));
  } catch (...) {
    const Error error = CurrentError();
    // What is wrong names hosts and databases: only for a caller with a token.
    if (!with_reason) return Json(503, api::Json::object({{"ready", false}}));
    std::string reason = error.Description();
    if (!error.NativeMessage().empty() && error.NativeMessage() != reason) {
      reason += ": " + error.NativeMessage();
    }
    return Json(503, api::Json::object({{"ready", false}, {"reason", reason}}));
  }
}

Answer Server::Impl::Route(const http::request<http::string_body>& req) {
  if (draining.load()) return *Refused(req, false);
  std::string_view call;
  const std::string_view path = PathOf(req);
  switch (Classify(req.method(), path, &call)) {
    case Endpoint::kCall: {
      const std::size_t slash = call.find('/');
      return Call(call.substr(0, slash), call.substr(slash + 1), req.body());
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
      gauges.pool_in_use = db::OpenConnectionCount();
      gauges.pool_idle = db::PooledConnectionCount();
      gauges.draining = draining.load();
      Answer answer{200, metrics.Text(gauges)};
      answer.content_type = "text/plain; version=0.0.4";
      return answer;
    }
    case Endpoint::kNone:
      break;
  }
  return Usage(404, fmt::format("no endpoint {} {} (see GET /v1/operations)",
                                std::string(req.method_string()), path));
}

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  // Request bodies and answers of a megabyte and more get pages of their own, returned when
  // freed. Left to glibc, the threshold rises to the largest block freed so far, and every
  // worker's arena keeps the memory of the largest request it has served.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  for (const std::string& proxy : impl_->options.trusted_proxies) {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(proxy, ec);
    if (ec) {
      throw api::UsageError(
          fmt::format("--trusted-proxy expects an IP address, not \"{}\"", proxy));
    }
    impl_->trusted.push_back(address);
  }
}

Server::~Server() { Stop(); }

void Server::Start() {
  Impl& impl = *impl_;
  const std::string host = impl.options.host;
  boost::system::error_code ec;
  tcp::resolver resolver(impl.io);
  const auto results =
      resolver.resolve(host, std::to_string(impl.options.port),
                       tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    throw api::UsageError(fmt::format("cannot listen on {}:{}: {}", host, impl.options.port,
                                      ec ? ec.message() : "no such address"));
  }
  const tcp::endpoint endpoint = results.begin()->endpoint();
  // Whether tokens are needed is settled here, on the address actually bound, and holds for the
  // process's life: a store emptied later cannot open the service.
  const bool loopback = IsLoopbackAddress(endpoint.address());
  const std::vector<std::string> configured = impl.tokens.Current();
  impl.tokens_required = !configured.empty() || !loopback;
  if (!loopback && configured.empty()) {
    throw api::UsageError(fmt::format(
        "no token is configured, so the service listens on loopback only, not on {} ({}): set "
        "CARVALEN_SERVICE_TOKENS or key Tokens of [Service] in the configuration store",
        host, endpoint.address().to_string()));
  }
  for (const std::string& token : configured) {
    if (token.size() < kMinTokenLength) {
      throw api::UsageError(
          fmt::format("a service token has {} characters; tokens need at least {}", token.size(),
                      kMinTokenLength));
    }
  }
  impl.acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) impl.acceptor.bind(endpoint, ec);
  if (!ec) impl.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::string reason = ec.message();  // "Address already in use"
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(reason[0]));
    throw api::UsageError(
        fmt::format("cannot listen on {}:{}: {}", host, impl.options.port, reason));
  }
  impl.port = impl.acceptor.local_endpoint().port();
  impl.Accept();
  // As many threads read and write as there are cores (up to 4), and at least one whatever the
  // operations are doing: beyond the --threads that may be in an operation, that many more.
  impl.io_target = std::clamp(std::thread::hardware_concurrency(), 1U, 4U);
  const unsigned count = impl.io_target + static_cast<unsigned>(std::max(impl.options.threads, 1));
  for (unsigned i = 0; i < count; ++i) {
    impl.threads.emplace_back([&impl] { impl.ThreadMain(); });
  }
}

int Server::Port() const { return impl_->port; }

std::int64_t Server::Connections() const { return impl_->connections.load(); }

bool Server::Drain(std::chrono::milliseconds grace) {
  Impl& impl = *impl_;
  impl.draining = true;
  const auto deadline = Clock::now() + grace;
  while (impl.in_flight.load() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool finished = impl.in_flight.load() == 0;
  if (finished) Stop();
  return finished;
}

void Server::Reload() {
  ForgetConfigurationStores();
  impl_->tokens.Expire();
}

void Server::Stop() {
  Impl& impl = *impl_;
  if (impl.stopped.exchange(true)) return;
  // The listening socket is closed first, on a thread at the I/O (there is always one), so that
  // a connection arriving from now on is refused rather than left waiting for an answer.
  auto closed = std::make_shared<std::promise<void>>();
  asio::post(impl.io, [&impl, closed] {
    boost::system::error_code ignored;
    impl.acceptor.close(ignored);
    closed->set_value();
  });
  if (!impl.threads.empty()) closed->get_future().wait_for(std::chrono::seconds(1));
  // Calls being served finish; their answers are not written once the threads stop.
  impl.io.stop();
  {
    std::lock_guard lock(impl.threads_mutex);  // a thread about to park sees `stopped`
  }
  impl.threads_cv.notify_all();
  for (std::thread& thread : impl.threads) {
    if (thread.joinable()) thread.join();
  }
  boost::system::error_code ignored;
  impl.acceptor.close(ignored);  // when no thread was there to close it
  std::lock_guard lock(impl.jobs_mutex);
  impl.jobs_waiting.clear();
}

}  // namespace carvalen::service
