#include "service/server.hpp"

#include <fmt/format.h>
#include <httplib.h>
#include <malloc.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/call.hpp"
#include "carvalen/error.hpp"
#include "db/client.hpp"
#include "frame/procedures.hpp"
#include "service/metrics.hpp"
#include "service/tokens.hpp"

namespace carvalen::service {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kJson = "application/json";

// The workers serve one connection each, from its first request to its last. Connections that
// find every worker busy wait in a queue as long as the pool; any beyond that go to one more
// thread that answers each of their requests 503, so a flood is told so at once instead of
// piling up unseen in the listen queue.
class WorkerPool final : public httplib::TaskQueue {
 public:
  WorkerPool(int threads, std::atomic<std::thread::id>& overflow_thread)
      : max_waiting_(static_cast<std::size_t>(threads)) {
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(waiting_); });
    overflow_ = std::thread([this] { Work(overflowing_); });
    overflow_thread = overflow_.get_id();
  }
  ~WorkerPool() override { shutdown(); }

  void enqueue(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      (waiting_.size() < max_waiting_ ? waiting_ : overflowing_).push_back(std::move(task));
    }
    ready_.notify_all();
  }

  // Runs what is queued (the server has stopped, so each connection just closes), then joins.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
    if (overflow_.joinable()) overflow_.join();
  }

 private:
  void Work(std::deque<std::function<void()>>& queue) {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return stopping_ || !queue.empty(); });
        if (queue.empty()) return;
        task = std::move(queue.front());
        queue.pop_front();
      }
      task();
    }
  }

  const std::size_t max_waiting_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> waiting_, overflowing_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  std::thread overflow_;
};

// One JSON object a line: when, from where, what was asked and how it went. Never an argument
// value or a header: a token must not end up in a log file.
class AccessLog {
 public:
  explicit AccessLog(const std::string& path)
      : file_(path.empty() ? nullptr : std::fopen(path.c_str(), "a"), &CloseFile) {
    if (!path.empty() && !file_) {
      throw std::runtime_error(fmt::format("cannot open the access log {}", path));
    }
  }

  void Write(const httplib::Request& req, std::string_view operation, int status, double seconds) {
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    line["time"] = LocalTime();
    line["remote"] = req.remote_addr;
    line["method"] = req.method;
    line["operation"] = operation.empty() ? std::string_view(req.path) : operation;
    line["status"] = status;
    line["ms"] = static_cast<double>(static_cast<std::int64_t>(seconds * 1e6)) / 1e3;
    // A path is whatever the client sent; bytes that are not UTF-8 must not stop the line.
    const std::string text =
        line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::lock_guard lock(mutex_);
    std::FILE* out = file_ ? file_.get() : stderr;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
  }

 private:
  static void CloseFile(std::FILE* file) {
    if (file != nullptr) std::fclose(file);
  }

  // Local time with milliseconds, as the library's log writes it.
  static std::string LocalTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                       ms);
  }

  std::mutex mutex_;
  std::unique_ptr<std::FILE, void (*)(std::FILE*)> file_;
};

void SetText(httplib::Response& res, int status, std::string text) {
  res.status = status;
  // The same bytes `carvalen call` prints, newline included.
  text += '\n';
  res.body = std::move(text);
  res.set_header("Content-Type", kJson);
}

void SetJson(httplib::Response& res, int status, const api::Json& document) {
  SetText(res, status, api::Dump(document));
}

void SetUsage(httplib::Response& res, int status, std::string_view message) {
  SetJson(res, status, api::UsageJson(message));
}

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

}  // namespace

bool IsLoopback(std::string_view host) {
  return host == "localhost" || host == "::1" || host == "[::1]" || host.starts_with("127.");
}

struct Server::Impl {
  explicit Impl(Options options_in) : options(std::move(options_in)), log(options.access_log) {}

  // When a request's header was read, and the operation it named once known: kept by request
  // for the access log, which httplib calls after the answer is written.
  struct Mark {
    Clock::time_point start;
    std::string operation;
  };

  // Counts a request being served for as long as the guard lives, so that draining can wait.
  struct InFlight {
    explicit InFlight(std::atomic<std::int64_t>& count) : count_(count) { ++count_; }
    ~InFlight() { --count_; }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    std::atomic<std::int64_t>& count_;
  };

  void Routes();
  // Refusals every endpoint but the health checks shares: overload, draining, tokens. True when
  // `res` holds the refusal.
  bool Refused(const httplib::Request& req, httplib::Response& res, bool needs_token);
  void Call(const httplib::Request& req, httplib::Response& res);
  void Ready(httplib::Response& res);
  void Logged(const httplib::Request& req, const httplib::Response& res);
  void SetOperation(const httplib::Request& req, std::string operation) {
    std::lock_guard lock(marks_mutex);
    marks[&req].operation = std::move(operation);
  }

  Options options;
  AccessLog log;
  Metrics metrics;
  TokenSource tokens;
  httplib::Server http;
  std::atomic<bool> draining{false};
  std::atomic<std::int64_t> in_flight{0};
  std::atomic<std::thread::id> overflow_thread{};
  std::mutex marks_mutex;
  std::unordered_map<const httplib::Request*, Mark> marks;
  std::thread listener;
  std::atomic<bool> stopped{false};
  std::atomic<bool> listened{false};  // the listening thread has returned
  int port = 0;

  // httplib's stop() must run once only: a second call while the workers finish trips over the
  // socket the first one closed.
  void StopListening() {
    if (!stopped.exchange(true)) http.stop();
  }
};

bool Server::Impl::Refused(const httplib::Request& req, httplib::Response& res, bool needs_token) {
  const bool overflow = std::this_thread::get_id() == overflow_thread.load();
  if (overflow || draining.load()) {
    SetUsage(res, 503, overflow ? "the service is busy; try again" : "the service is stopping");
    res.set_header("Retry-After", "1");
    // Tells the client to take its next request elsewhere rather than down this connection.
    res.set_header("Connection", "close");
    return true;
  }
  if (!needs_token) return false;
  const std::vector<std::string> current = tokens.Current();
  // Off loopback the service never answers without a token, even when the last one was taken
  // out of the store while it ran.
  if (current.empty() && IsLoopback(options.host)) return false;
  if (TokenMatches(BearerToken(req.get_header_value("Authorization")), current)) return false;
  SetUsage(res, 401, "a valid bearer token is required (Authorization: Bearer <token>)");
  res.set_header("WWW-Authenticate", "Bearer");
  return true;
}

void Server::Impl::Call(const httplib::Request& req, httplib::Response& res) {
  const std::string target = fmt::format("{}.{}", req.matches[1].str(), req.matches[2].str());
  std::string operation;
  try {
    const api::Target resolved = api::ResolveTarget(target);
    operation = fmt::format("{}.{}", resolved.type->metadata->name, resolved.method->name);
  } catch (const api::UsageError&) {
    // CallWithJson reports it in its own words below.
  }
  SetOperation(req, operation);
  api::CallOutcome outcome = api::CallWithJson(target, req.body, options.limits);
  SetText(res, CallStatus(outcome.status), std::move(outcome.text));
}

void Server::Impl::Ready(httplib::Response& res) {
  // The library's own way to the contract database: the store, its connection string and
  // time-outs, and a pooled session when one is idle.
  try {
    db::ConnectionPtr connection = frame::GetSourceConnection();
    frame::CloseConnection(connection);
    SetJson(res, 200, api::Json::object({{"ready", true}}));
  } catch (...) {
    const Error error = CurrentError();
    std::string reason = error.Description();
    if (!error.NativeMessage().empty() && error.NativeMessage() != reason) {
      reason += ": " + error.NativeMessage();
    }
    SetJson(res, 503, api::Json::object({{"ready", false}, {"reason", reason}}));
  }
}

void Server::Impl::Logged(const httplib::Request& req, const httplib::Response& res) {
  Mark mark;
  bool marked = false;
  {
    std::lock_guard lock(marks_mutex);
    if (auto it = marks.find(&req); it != marks.end()) {
      mark = std::move(it->second);
      marks.erase(it);
      marked = true;
    }
  }
  const double seconds =
      marked ? std::chrono::duration<double>(Clock::now() - mark.start).count() : 0.0;
  metrics.Record(mark.operation, res.status, seconds);
  log.Write(req, mark.operation, res.status, seconds);
}

void Server::Impl::Routes() {
  using httplib::Request;
  using httplib::Response;
  http.set_pre_routing_handler([this](const Request& req, Response&) {
    std::lock_guard lock(marks_mutex);
    marks[&req] = Mark{Clock::now(), {}};
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http.Post(R"(/v1/([^/]+)/([^/]+))", [this](const Request& req, Response& res) {
    InFlight guard(in_flight);
    if (!Refused(req, res, true)) Call(req, res);
  });
  http.Get("/v1/operations", [this](const Request& req, Response& res) {
    if (!Refused(req, res, true)) SetJson(res, 200, api::OperationsJson());
  });
  http.Get("/healthz", [this](const Request& req, Response& res) {
    if (!Refused(req, res, false)) SetJson(res, 200, api::Json::object({{"alive", true}}));
  });
  http.Get("/readyz", [this](const Request& req, Response& res) {
    InFlight guard(in_flight);
    if (!Refused(req, res, false)) Ready(res);
  });
  http.Get("/metrics", [this](const Request& req, Response& res) {
    if (Refused(req, res, true)) return;
    Gauges gauges;
    gauges.in_flight = in_flight.load();
    gauges.pool_in_use = db::OpenConnectionCount();
    gauges.pool_idle = db::PooledConnectionCount();
    gauges.draining = draining.load();
    res.set_content(metrics.Text(gauges), "text/plain; version=0.0.4");
  });
  // What httplib answers by itself (no such endpoint, a body over the limit, a request it cannot
  // read) gets a message in the same form as ours.
  http.set_error_handler(httplib::Server::HandlerWithResponse([this](const Request& req,
                                                                     Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    switch (res.status) {
      case 404:
        SetUsage(res, 404,
                 fmt::format("no endpoint {} {} (see GET /v1/operations)", req.method, req.path));
        break;
      case 413:
        SetUsage(res, 413, fmt::format("the body is over the limit of {} bytes", options.max_body));
        break;
      default:
        SetUsage(res, res.status,
                 res.status == 400
                     ? "the request is not valid HTTP"
                     : fmt::format("the request failed with HTTP status {}", res.status));
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
  }));
  http.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    SetUsage(res, 500, "internal error");
  });
  http.set_logger([this](const Request& req, const Response& res) { Logged(req, res); });
}

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  // Request bodies and answers of a megabyte and more get pages of their own, returned when
  // freed. Left to glibc, the threshold rises to the largest block freed so far, and every
  // worker's arena keeps the memory of the largest request it has served.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  Impl& impl = *impl_;
  impl.Routes();
  impl.http.set_payload_max_length(impl.options.max_body);
  impl.http.set_read_timeout(impl.options.read_timeout);
  impl.http.set_write_timeout(impl.options.write_timeout);
  impl.http.set_keep_alive_timeout(impl.options.keep_alive.count());
  impl.http.set_keep_alive_max_count(1000);
  // An answer goes out as header and body in two writes; without this the second waits for the
  // client's delayed acknowledgement, some 40 ms.
  impl.http.set_tcp_nodelay(true);
  // httplib takes the queue it is handed and deletes it when it stops listening.
  impl.http.new_task_queue = [&impl]() -> httplib::TaskQueue* {
    return std::make_unique<WorkerPool>(impl.options.threads, impl.overflow_thread).release();
  };
}

Server::~Server() { Stop(); }

void Server::Start() {
  Impl& impl = *impl_;
  const std::string host = impl.options.host == "[::1]" ? std::string("::1") : impl.options.host;
  if (host.find(':') != std::string::npos) impl.http.set_address_family(AF_INET6);
  impl.port = impl.options.port == 0
                  ? impl.http.bind_to_any_port(host)
                  : (impl.http.bind_to_port(host, impl.options.port) ? impl.options.port : -1);
  if (impl.port < 0) {
    throw std::runtime_error(
        fmt::format("cannot listen on {}:{}", impl.options.host, impl.options.port));
  }
  impl.listener = std::thread([&impl] {
    impl.http.listen_after_bind();
    impl.listened = true;
  });
  // Until the thread runs, httplib's stop() would be lost and the thread would never end.
  while (!impl.http.is_running() && !impl.listened) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int Server::Port() const { return impl_->port; }

bool Server::Drain(std::chrono::milliseconds grace) {
  Impl& impl = *impl_;
  impl.draining = true;
  const auto deadline = Clock::now() + grace;
  while (impl.in_flight.load() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool finished = impl.in_flight.load() == 0;
  impl.StopListening();
  if (finished && impl.listener.joinable()) impl.listener.join();
  return finished;
}

void Server::Stop() {
  impl_->StopListening();
  if (impl_->listener.joinable()) impl_->listener.join();
}

}  // namespace carvalen::service
