// Many threads calling every operation at once answer exactly as one thread does, through a pool
// of two: callers wait for a session rather than fail, and no session serves two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/client.hpp"
#include "reliability/demo_calls.hpp"
#include "reliability/faulty_session.hpp"

namespace carvalen::test {
namespace {

/// Calls per thread: 10,000 unless CARVALEN_THREAD_CALLS says otherwise (the ThreadSanitizer run
/// makes fewer).
int CallsPerThread() {
  const char* text = std::getenv("CARVALEN_THREAD_CALLS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 10000;
}

class ManyThreads : public ::testing::TestWithParam<Provider> {};

TEST_P(ManyThreads, AnswerAsOneThreadDoesThroughABoundedPool) {
  constexpr int kThreads = 8;
  constexpr int kMaxPool = 2;
  // Two callers with an operation nested in each hold at most four sessions.
  constexpr int kSessions = 2 * kMaxPool;
  DemoDb db(GetParam());
  const std::string source = db.ConnectionString() + ";Max Pool Size=" + std::to_string(kMaxPool);
  {
    std::string quoted;
    for (char c : source)
      quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    std::ofstream(db.ConfigDir() + "/Vendra.toml")
        << "[ConnectionStrings]\nEContract = \"" << quoted
        << "\"\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
           "EContractConnection_ConnectionTimeout = \"15\"\n";
  }
  const std::vector<DemoCall>& calls = DemoCalls();
  std::vector<std::string> expected;
  for (const DemoCall& call : calls) {
    expected.push_back(CallText(call));
    ASSERT_EQ(expected.back().substr(0, 2), "0 ") << call.target << " " << expected.back();
  }

  auto plan = std::make_shared<FaultPlan>();
  StockPool(source, kSessions, plan);
  const int per_thread = CallsPerThread();
  std::atomic<std::int64_t> wrong{0};
  std::mutex first_mutex;
  std::string first_wrong;
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < per_thread; ++i) {
          // Each thread walks the operations from its own place, so all of them overlap.
          const std::size_t k = (static_cast<std::size_t>(t) * 5 + i) % calls.size();
          const std::string answer = CallText(calls[k]);
          if (answer == expected[k]) continue;
          if (++wrong == 1) {
            std::lock_guard lock(first_mutex);
            first_wrong = std::string(calls[k].target) + ": " + answer;
          }
        }
      });
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << ProviderName(GetParam()) << ": " << kThreads << " threads x " << per_thread
            << " calls in " << seconds << " s\n";

  EXPECT_EQ(wrong.load(), 0) << first_wrong;
  EXPECT_EQ(plan->misuses.load(), 0) << "a session was used by a thread not holding it";
  EXPECT_EQ(plan->PeakThreads(), static_cast<std::size_t>(kMaxPool));
  // Every session used was one of the wrapped ones: none was opened beside them.
  EXPECT_EQ(plan->live.load(), kSessions);
  EXPECT_EQ(db::PooledConnectionCount(), kSessions);
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  db::DrainPool();
}

CARVALEN_ON_PROVIDERS(ManyThreads);

// A caller beyond Max Pool Size waits for a session, up to its connection time-out.
TEST(PoolBound, ACallerWaitsUpToTheConnectionTimeOut) {
  TestDatabase database(Provider::SQLite);
  const std::string source = database.ConnectionString() + ";Max Pool Size=1";
  auto open = [&] {
    auto connection = std::make_shared<db::Connection>();
    connection->ConnectionTimeout = 1;
    connection->Open(source);
    return connection;
  };
  auto held = open();
  std::int32_t number = 0;
  std::chrono::duration<double> waited{};
  std::thread([&] {
    const auto start = std::chrono::steady_clock::now();
    try {
      open();
    } catch (const Error& e) {
      number = e.Number();
    }
    waited = std::chrono::steady_clock::now() - start;
  }).join();
  EXPECT_EQ(number, db::dberr::kPoolTimeout);
  EXPECT_GE(waited.count(), 0.9);
  EXPECT_LT(waited.count(), 3.0);
  // Given back within the time-out, the session goes to the waiting caller.
  std::thread other([&] {
    auto connection = open();
    EXPECT_EQ(connection->State(), db::kStateOpen);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  held->Close();
  other.join();
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  db::DrainPool();
}

}  // namespace
}  // namespace carvalen::test
