// One connection of the HTTP engine, read and written asynchronously: the header bounded by
// size and by a deadline, the body by the length it declares (refused before a byte of it is
// read) or, chunked, by the bytes that arrive; a request that needs a token is refused on its
// header.
#include <fmt/format.h>
#include <sys/socket.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <cerrno>
#include <memory>

#include "api/host.hpp"
#include "service/engine.hpp"
#include "service/request_checks.hpp"

namespace carvalen::service {
namespace {

// How long, and how much, a connection closed with its request's body unread is still read from.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kLingerBytes = std::size_t{4} << 20;
// Read slowly: a client that floods gets its answer all the same, and costs the other clients
// next to no time.
constexpr std::size_t kLingerRead = std::size_t{64} * 1024;
constexpr std::chrono::milliseconds kLingerPause{20};
// Connections drained at once; beyond them one is closed at once, so that a client opening
// connection after connection cannot make the draining itself the load.
constexpr std::int64_t kMaxLingering = 16;
// Answers of this size and more are listed as being written, so that the slowest can be cut.
constexpr std::size_t kListedAnswer = std::size_t{64} * 1024;
// A reader this long at one answer, while the answers are over their budget, is cut.
constexpr std::chrono::milliseconds kSlowReader{500};
// A body of this size or less may take the last of the budget of buffered bodies.
constexpr std::size_t kSmallBody = std::size_t{64} * 1024;
// Out of descriptors: how long before accepting again.
constexpr std::chrono::milliseconds kAcceptPause{100};

Answer Busy(std::string_view why) {
  Answer answer = Usage(503, fmt::format("the service is busy: {}; try again", why));
  answer.headers.emplace_back(http::field::retry_after, "1");
  return answer;
}

}  // namespace

// One connection: a request is read (header, then body), answered, and the next one read until
// the client closes, a deadline passes, or the answer says the connection ends.
class Server::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& impl, Tcp::socket socket) : impl_(impl), stream_(std::move(socket)) {
    ++impl_.connections;
    boost::system::error_code ec;
    peer_ = stream_.socket().remote_endpoint(ec);
  }
  ~Session() {
    --impl_.connections;
    if (lingering_) --impl_.lingering;
    Unlist();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Start() { ReadHeader(); }

  asio::any_io_executor Executor() { return stream_.get_executor(); }
  // Its answer is taking too long to be read while the answers are over their budget.
  void Cut() { stream_.cancel(); }

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
    if (auto fault = FramingFault(req)) return AnswerEarly(Usage(400, *fault), req.version());
    // HTTP/1.0 has no chunks: whatever a client meant by them, the connection is not reused.
    close_after_ = req.version() < 11 && req.count(http::field::transfer_encoding) != 0;
    if (const auto encoding = req[http::field::content_encoding];
        !encoding.empty() && !beast::iequals(encoding, "identity")) {
      // Never inflated: a few kilobytes of gzip make gigabytes.
      return AnswerEarly(Usage(415, fmt::format("Content-Encoding {} is not accepted; send the "
                                                "body as it is",
                                                std::string(encoding))),
                         req.version());
    }
    if (!parser_->is_done()) {
      // Held until the answer is made; a chunked body may grow to --max-body. Large bodies leave
      // an eighth of the budget to small ones, so that many large ones do not stop every call.
      const std::size_t bytes = parser_->content_length().value_or(impl_.options.max_body);
      const std::size_t spare = bytes > kSmallBody ? impl_.buffered.Limit() / 8 : 0;
      if (!impl_.buffered.TryTake(bytes, spare)) {
        return AnswerEarly(Busy("request bodies fill its buffer"), req.version());
      }
      body_taken_ = Taken(impl_.buffered, bytes);
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
    const Endpoint endpoint = Classify(request_.method(), PathOf(request_));
    // A request while draining is refused at once rather than after the calls before it.
    if (impl_.draining.load() || !Waits(endpoint)) {
      return Write(Guarded([&] { return impl_.Route(request_); }), request_.version());
    }
    if (endpoint == Endpoint::kCall && impl_.unread.Over()) {
      impl_.CutSlowestReaders();
      return Write(Busy("answers wait for their readers"), request_.version());
    }
    // The request counts as being served until its answer is written.
    ++impl_.in_flight;
    counted_ = true;
    Lane& lane = endpoint == Endpoint::kCall ? impl_.calls : impl_.probes;
    impl_.RunBounded(lane, [self = shared_from_this(), queued = Clock::now()] {
      // No work for a client that has left, nor for one that has waited too long to still care.
      if (self->ClientGone()) return self->Abandon();
      Answer result = Clock::now() - queued > self->impl_.options.queue_timeout
                          ? Busy("calls wait too long")
                          : Guarded([&] {
                              // A statement stops once the client is gone, too.
                              const api::AbandonScope watch(&Session::Gone, self.get());
                              return self->impl_.Route(self->request_);
                            });
      // Nothing else is pending on the connection while its call runs, so the write may start
      // on whichever thread ran it; it completes on the connection's strand.
      self->Write(std::move(result), self->request_.version());
    });
  }

  // Whether the client has closed its side (or reset) while its request waited.
  bool ClientGone() {
    char byte = 0;
    const auto n = ::recv(stream_.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }

  static bool Gone(void* self) { return static_cast<Session*>(self)->ClientGone(); }

  // Logged as nginx logs a client that closed before its answer.
  void Abandon() {
    impl_.Logged(impl_.Remote(peer_, request_), method_, PathOf(request_), Answer(499, {}), start_);
    if (std::exchange(counted_, false)) --impl_.in_flight;
    Close();
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
    impl_.AddCorsHeaders(request_, answer);
    // The request's body has served its purpose.
    request_.body() = std::string();
    body_taken_.Reset();
    auto res = std::make_shared<Response>(static_cast<http::status>(answer.status), version);
    res->set(http::field::content_type, answer.content_type);
    for (const auto& [field, value] : answer.headers) res->set(field, value);
    const bool close =
        answer.close || close_after_ || impl_.draining.load() || !request_.keep_alive();
    res->keep_alive(!close);
    // The same bytes `carvalen call` prints, newline included.
    answer.text += answer.content_type == kJson ? "\n" : "";
    res->body() = std::move(answer.text);
    answer.text.clear();
    res->prepare_payload();
    // HEAD: the header GET would give, Content-Length included, and no content.
    if (request_.method() == http::verb::head) res->body().clear();
    impl_.Logged(impl_.Remote(peer_, request_), method_, PathOf(request_), answer, start_);
    ++served_;
    List(res->body().size());
    stream_.expires_after(impl_.options.write_timeout);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, close](beast::error_code ec, std::size_t) {
                        self->Unlist();
                        if (std::exchange(self->counted_, false)) --self->impl_.in_flight;
                        if (ec || close) return self->Close();
                        self->request_ = {};
                        self->ReadHeader();
                      });
  }

  // An answer's bytes count against the budget of answers not yet read until they are written.
  void List(std::size_t bytes) {
    const bool within = impl_.unread.Take(bytes);
    answer_taken_ = Taken(impl_.unread, bytes);
    if (bytes >= kListedAnswer) {
      std::lock_guard lock(impl_.writers_mutex);
      impl_.writers.push_back({weak_from_this(), bytes, Clock::now()});
      listed_ = std::prev(impl_.writers.end());
    }
    if (!within) impl_.CutSlowestReaders();
  }

  void Unlist() {
    answer_taken_.Reset();
    if (!listed_) return;
    std::lock_guard lock(impl_.writers_mutex);
    impl_.writers.erase(*std::exchange(listed_, std::nullopt));
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(Tcp::socket::shutdown_send, ignored);
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
  Tcp::endpoint peer_;
  Clock::time_point start_;
  std::string method_;
  std::uint64_t served_ = 0;
  bool counted_ = false;      // in Impl::in_flight
  bool body_unread_ = false;  // the answer was given before the request was read to its end
  bool lingering_ = false;    // counted in Impl::lingering
  bool close_after_ = false;  // the request's framing leaves the connection unfit for another
  Taken body_taken_;          // from Impl::buffered
  Taken answer_taken_;        // from Impl::unread
  std::optional<std::list<Writer>::iterator> listed_;  // in Impl::writers
};

void Server::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, Tcp::socket socket) {
    if (ec) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (ec == asio::error::no_descriptors || ec.value() == ENFILE) return AcceptLater();
      return Accept();
    }
    socket.set_option(Tcp::no_delay(true), ec);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    if (connections.load() > static_cast<std::int64_t>(options.max_connections)) {
      session->Refuse();
    } else {
      session->Start();
    }
    Accept();
  });
}

void Server::Impl::AcceptLater() {
  // Accepting again at once would fail again at once: the loop would spin on the listen queue.
  spare.RefuseOne(acceptor.native_handle());
  accept_pause.expires_after(kAcceptPause);
  accept_pause.async_wait([this](beast::error_code ec) {
    if (!ec && acceptor.is_open()) Accept();
  });
}

void Server::Impl::CutSlowestReaders() {
  std::vector<std::shared_ptr<Session>> cut;
  {
    std::lock_guard lock(writers_mutex);
    const std::size_t used = unread.Used();
    const std::size_t limit = options.max_unread;
    std::size_t freed = 0;
    const auto now = Clock::now();
    for (const Writer& writer : writers) {
      if (used <= limit + freed || now - writer.since < kSlowReader) break;
      if (auto session = writer.session.lock()) {
        cut.push_back(std::move(session));
        freed += writer.bytes;
      }
    }
  }
  for (auto& session : cut) {
    asio::post(session->Executor(), [session] { session->Cut(); });
  }
}

}  // namespace carvalen::service
