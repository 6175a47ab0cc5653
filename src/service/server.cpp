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

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cctype>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include "api/call.hpp"
#include "carvalen/settings.hpp"
#include "service/engine.hpp"

namespace carvalen::service {
namespace {

// Set on a thread that left the I/O for an operation, for its loop to see once the handler that
// ran the operation returns.
thread_local bool t_left_io = false;

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

void Server::Impl::RunBounded(Lane& lane, std::function<void()> job) {
  {
    std::lock_guard lock(jobs_mutex);
    if (lane.running >= lane.limit) {
      lane.waiting.push_back(std::move(job));
      return;
    }
    ++lane.running;
  }
  RunJob(lane, job);
}

void Server::Impl::RunJob(Lane& lane, const std::function<void()>& job) {
  bool last = false;
  {
    std::lock_guard lock(threads_mutex);
    last = --serving == 0;
  }
  t_left_io = true;
  if (last) threads_cv.notify_one();
  job();
  Finished(lane);
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

void Server::Impl::Finished(Lane& lane) {
  std::function<void()> next;
  {
    std::lock_guard lock(jobs_mutex);
    if (lane.waiting.empty() || stopped.load()) {
      --lane.running;
      return;
    }
    next = std::move(lane.waiting.front());
    lane.waiting.pop_front();
  }
  // The slot passes to the waiting job, which runs on whichever thread is free first rather than
  // holding this one, and the connection this thread just answered, back.
  asio::post(io, [this, &lane, next = std::move(next)] { RunJob(lane, next); });
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
  Tcp::resolver resolver(impl.io);
  const auto results =
      resolver.resolve(host, std::to_string(impl.options.port),
                       Tcp::resolver::passive | Tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    throw api::UsageError(fmt::format("cannot listen on {}:{}: {}", host, impl.options.port,
                                      ec ? ec.message() : "no such address"));
  }
  const Tcp::endpoint endpoint = results.begin()->endpoint();
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
  if (!ec) impl.acceptor.set_option(Tcp::acceptor::reuse_address(true), ec);
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
  // operations are doing: beyond the --threads that may be in an operation and the one readiness
  // check, that many more.
  impl.io_target = std::clamp(std::thread::hardware_concurrency(), 1U, 4U);
  const unsigned count =
      impl.io_target + static_cast<unsigned>(impl.calls.limit + impl.probes.limit);
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
  impl.calls.waiting.clear();
  impl.probes.waiting.clear();
}

}  // namespace carvalen::service
