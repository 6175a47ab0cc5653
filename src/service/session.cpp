// One connection of the HTTP engine, read and written asynchronously: the header bounded by
// size and by a deadline, the body by the length it declares (refused before a byte of it is
// read) or, chunked, by the bytes that arrive; a request that needs a token is refused on its
// header.
#include <fmt/format.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <memory>

#include "service/engine.hpp"

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
    impl_.AddCorsHeaders(request_, answer);
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
};

void Server::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, Tcp::socket socket) {
    if (ec) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      // Out of descriptors, say: the connection waiting is left to the listen queue.
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

}  // namespace carvalen::service
