// Faults and threads at the driver: sessions that wrap real ones count every step of an
// operation's database work, fail the k-th occurrence of one step with a driver-like error, and
// notice a session used by a thread not holding its lease, or by two threads at once. They reach
// the library through the pool (StockPool), so nothing in the library knows of them.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "carvalen/error.hpp"
#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "db/driver.hpp"
#include "db/pool.hpp"
#include "reliability/demo_calls.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

/// The steps of a call, in order. Connect is the lease of a pooled session (a failure there is an
/// open that fails); Close the check whether the session can be pooled again.
enum class Step { Connect, Isolation, Prepare, Execute, Fetch, Field, Close };
constexpr std::array kSteps = {Step::Connect, Step::Isolation, Step::Prepare, Step::Execute,
                               Step::Fetch,   Step::Field,     Step::Close};
constexpr const char* kStepNames[] = {"connect", "isolation", "prepare", "execute",
                                      "fetch",   "field",     "close"};
constexpr std::int32_t kFaultNumber = static_cast<std::int32_t>(0x80045A01u);

struct FaultPlan {
  /// Fails the `occurrence`-th (from 1; 0: none) `step` from now on, counting afresh. Called
  /// between calls, never during one.
  void Arm(Step step_to_fail, std::int64_t occurrence_to_fail) {
    for (auto& count : counts) count.store(0);
    step = step_to_fail;
    occurrence = occurrence_to_fail;
    fired = false;
  }
  /// Counts `s`, throwing the armed fault. Relaxed, so that counting adds no ordering between
  /// threads that could hide a race from ThreadSanitizer.
  void Tick(Step s) {
    const auto n = counts[static_cast<int>(s)].fetch_add(1, std::memory_order_relaxed) + 1;
    if (s != step.load(std::memory_order_relaxed) ||
        n != occurrence.load(std::memory_order_relaxed)) {
      return;
    }
    fired = true;
    throw Error(kFaultNumber,
                "injected fault at " + std::string(kStepNames[static_cast<int>(s)]) + " #" +
                    std::to_string(n),
                "FaultDriver");
  }
  void Leased(std::thread::id thread) {
    std::lock_guard lock(mutex);
    holders.insert(thread);
    peak_threads = std::max(peak_threads, std::set(holders.begin(), holders.end()).size());
  }
  void Returned(std::thread::id thread) {
    std::lock_guard lock(mutex);
    if (auto it = holders.find(thread); it != holders.end()) holders.erase(it);
  }

  std::array<std::atomic<std::int64_t>, kSteps.size()> counts{};
  std::atomic<Step> step{Step::Connect};
  std::atomic<std::int64_t> occurrence{0};
  std::atomic<bool> fired{false};
  std::atomic<std::int64_t> misuses{0};    // uses by a thread not holding the lease, or by two
  std::atomic<std::int64_t> live{0};       // wrapped sessions alive
  std::mutex mutex;                        // for the holders
  std::multiset<std::thread::id> holders;  // of a lease now (a nested open holds two)
  std::size_t peak_threads = 0;            // the most threads holding a lease at once
};

class FaultySession : public db::PhysicalConnection {
 public:
  FaultySession(std::unique_ptr<db::PhysicalConnection> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {
    ++plan_->live;
  }
  ~FaultySession() override {
    if (owner_.load() != std::thread::id()) plan_->Returned(owner_.load());  // lease failed
    --plan_->live;
  }
  void Execute(const std::string& sql, std::int32_t timeout) override {
    Use use(*this);
    plan_->Tick(Step::Prepare);
    inner_->Execute(sql, timeout);
    plan_->Tick(Step::Execute);
  }
  void SetIsolation(const std::string& level) override {
    Use use(*this);
    plan_->Tick(Step::Isolation);
    inner_->SetIsolation(level);
  }
  std::unique_ptr<db::Cursor> Query(const std::string& sql, std::int32_t timeout,
                                    bool whole) override {
    Use use(*this);
    plan_->Tick(Step::Prepare);
    auto cursor = std::make_unique<Cursor>(inner_->Query(sql, timeout, whole), *this);
    plan_->Tick(Step::Execute);  // the statement ran; its cursor is finalised on the way out
    return cursor;
  }
  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override {
    Use use(*this);
    plan_->Tick(Step::Prepare);
    auto rows = inner_->Columns(table, column, timeout, sql);
    plan_->Tick(Step::Execute);
    return rows;
  }
  void SetConnectionTimeout(std::int32_t seconds) override {
    // Called on every lease from the pool, by the thread that now holds the session.
    owner_.store(std::this_thread::get_id());
    plan_->Leased(std::this_thread::get_id());
    Use use(*this);
    plan_->Tick(Step::Connect);
    inner_->SetConnectionTimeout(seconds);
  }
  bool Healthy() override {
    Use use(*this, false);  // the pool asks, not the holder
    return inner_->Healthy();
  }
  bool Reusable() override {
    Use use(*this);
    struct EndLease {  // asked once, on close: the lease ends whatever the answer
      FaultySession& s;
      ~EndLease() { s.plan_->Returned(s.owner_.exchange(std::thread::id())); }
    } end{*this};
    plan_->Tick(Step::Close);
    return inner_->Reusable();
  }

 private:
  /// Marks the session in use by this thread for a scope: a second user, or (when `leased`) a
  /// thread without the lease, is a misuse.
  struct Use {
    Use(FaultySession& s, bool leased = true) : users(s.users_) {
      if (users.fetch_add(1) != 0) ++s.plan_->misuses;
      if (leased && s.owner_.load() != std::this_thread::get_id()) ++s.plan_->misuses;
    }
    ~Use() { users.fetch_sub(1); }
    std::atomic<int>& users;
  };
  class Cursor : public db::Cursor {
   public:
    Cursor(std::unique_ptr<db::Cursor> inner, FaultySession& s) : inner_(std::move(inner)), s_(s) {}
    const db::FieldSetPtr& Fields() const override { return inner_->Fields(); }
    bool Next(db::Row& row) override {
      Use use(s_);
      s_.plan_->Tick(Step::Fetch);
      if (!inner_->Next(row)) return false;
      // Each value counts as one field read, where a driver converting it would fail.
      for (std::size_t i = 0; i < row.Size(); ++i) s_.plan_->Tick(Step::Field);
      return true;
    }
    void Rewind() override {
      Use use(s_);
      s_.plan_->Tick(Step::Execute);
      inner_->Rewind();
    }
    void Finish() override { inner_->Finish(); }

   private:
    std::unique_ptr<db::Cursor> inner_;
    FaultySession& s_;
  };

  std::unique_ptr<db::PhysicalConnection> inner_;
  std::shared_ptr<FaultPlan> plan_;
  std::atomic<int> users_{0};
  std::atomic<std::thread::id> owner_{};
};

/// Empties the pool and fills it with `count` wrapped sessions of `connection_string`, under the
/// key a caller's open computes, so that the next opens (up to `count` at once) lease them.
void StockPool(const std::string& connection_string, int count,
               const std::shared_ptr<FaultPlan>& plan) {
  db::Pool& pool = db::Pool::Instance();
  pool.Drain();
  db::ConnectionSettings settings = db::ParseConnectionString(connection_string);
  const bool lite = settings.provider == db::ProviderKind::SQLite;
  if (lite) {
    settings.Set(
        "data source",
        std::filesystem::absolute(*settings.Find("data source")).lexically_normal().string());
  }
  const std::string key = settings.Canonical();
  std::vector<std::unique_ptr<db::PhysicalConnection>> sessions;
  for (int i = 0; i < count; ++i) {
    if (pool.Lease(key, count, 0, std::this_thread::get_id()) != nullptr) {
      throw std::logic_error("pool not drained");
    }
    sessions.push_back(std::make_unique<FaultySession>(
        lite ? db::OpenSqlite(settings, 15) : db::OpenPostgres(settings, 15, 30), plan));
  }
  for (auto& session : sessions) pool.Give(key, std::move(session), std::this_thread::get_id());
}

// Every step of every operation fails once: the error reaches the caller with one header per
// reporting level, each level logged once, no connection is left open and the next call answers
// as before.
TEST(FaultInjection, EveryStepOfEveryOperationFailsCleanly) {
  constexpr int kStock = 4;  // wrapped sessions pooled before each call: more than a call holds
  DemoDb db(Provider::SQLite);
  auto plan = std::make_shared<FaultPlan>();
  const std::int64_t open_before = db::OpenConnectionCount();
  std::array<std::int64_t, kSteps.size()> injected{};
  for (const ExampleCall& call : ExampleCalls()) {
    SCOPED_TRACE(call.target);
    // A clean run gives the answer and how often each step happens.
    plan->Arm(Step::Connect, 0);
    StockPool(db.ConnectionString(), kStock, plan);
    std::string clean;
    std::int64_t opens = 0;
    {
      SqlTrace trace;
      clean = CallText(call);
      for (const auto& event : trace.Events()) opens += event.value("event", "") == "open";
    }
    ASSERT_EQ(clean.substr(0, 2), "0 ") << clean;
    std::array<std::int64_t, kSteps.size()> counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = plan->counts[i];
    // Every open leased a wrapped session, so every step was seen.
    ASSERT_EQ(counts[static_cast<int>(Step::Connect)], opens);
    for (Step step : kSteps) {
      for (std::int64_t k = 1; k <= counts[static_cast<int>(step)]; ++k) {
        const std::string fault = kStepNames[static_cast<int>(step)] + (" #" + std::to_string(k));
        SCOPED_TRACE(fault);
        plan->Arm(step, k);
        StockPool(db.ConnectionString(), kStock, plan);
        db.ClearLog();
        const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
        ASSERT_TRUE(plan->fired);
        ++injected[static_cast<int>(step)];
        EXPECT_EQ(db::OpenConnectionCount(), open_before);
        if (step == Step::Close) {
          // The rows were read: a session that cannot say it is clean is dropped, not the call.
          EXPECT_EQ(std::to_string(outcome.status) + " " + outcome.text, clean);
          EXPECT_TRUE(db.Log().empty());
        } else {
          ASSERT_EQ(outcome.status, api::kCallFailed) << outcome.text;
          const auto error = api::Json::parse(outcome.text).at("error");
          EXPECT_EQ(error.at("number").get<std::int32_t>(), kFaultNumber);
          EXPECT_EQ(error.at("source").get<std::string>(), "FaultDriver");
          const std::string description = error.at("description").get<std::string>();
          EXPECT_EQ(description.rfind(ReportHeader(kFaultNumber, "Carvalen." + call.target), 0), 0u)
              << description;
          EXPECT_NE(description.find("injected fault at " + fault), std::string::npos);
          EXPECT_EQ(ReportCount(description), db.Log().size()) << description;
        }
        // The pool survives: the next plain call answers as the clean one did.
        plan->Arm(Step::Connect, 0);
        EXPECT_EQ(CallText(call), clean);
        EXPECT_EQ(db::OpenConnectionCount(), open_before);
      }
    }
  }
  std::cout << "faults injected over " << ExampleCalls().size() << " operations:";
  for (Step s : kSteps) std::cout << " " << kStepNames[int(s)] << " " << injected[int(s)];
  std::cout << "\n";
  db::DrainPool();
}

// Many threads calling every operation at once answer exactly as one thread does, through a pool
// of two: callers wait for a session rather than fail, and no session serves two threads.
class ManyThreads : public ::testing::TestWithParam<Provider> {};

TEST_P(ManyThreads, AnswerAsOneThreadDoesThroughABoundedPool) {
  constexpr int kThreads = 8, kMaxPool = 2;
  constexpr int kSessions = 2 * kMaxPool;  // two callers with an operation nested in each
  DemoDb db(GetParam());
  const std::string source = db.ConnectionString() + ";Max Pool Size=" + std::to_string(kMaxPool);
  WriteStore(db, source, 15);
  const std::vector<std::string> expected = Answers();
  ASSERT_FALSE(HasFailure());
  auto plan = std::make_shared<FaultPlan>();
  StockPool(source, kSessions, plan);
  // 10,000 calls a thread unless CARVALEN_THREAD_CALLS says otherwise (ThreadSanitizer makes few).
  const char* calls = std::getenv("CARVALEN_THREAD_CALLS");
  const int per_thread = calls != nullptr && std::atoi(calls) > 0 ? std::atoi(calls) : 10000;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WrongAnswers(kThreads, per_thread, 5, expected), "");
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::cout << ProviderName(GetParam()) << ": " << kThreads << " threads x " << per_thread
            << " calls in " << seconds.count() << " s\n";
  EXPECT_EQ(plan->misuses.load(), 0) << "a session was used by a thread not holding it";
  EXPECT_EQ(plan->peak_threads, static_cast<std::size_t>(kMaxPool));
  // Every session used was one of the wrapped ones: none was opened beside them.
  EXPECT_EQ(plan->live.load(), kSessions);
  EXPECT_EQ(db::PooledConnectionCount(), kSessions);
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  db::DrainPool();
}

CARVALEN_ON_PROVIDERS(ManyThreads);

// A caller beyond Max Pool Size waits for a session up to its connection time-out, and gets one
// given back meanwhile.
TEST(PoolBound, ACallerWaitsUpToTheConnectionTimeOut) {
  TestDatabase database(Provider::SQLite);
  auto open = [source = database.ConnectionString() + ";Max Pool Size=1"] {
    auto connection = std::make_shared<db::Connection>();
    connection->ConnectionTimeout = 1;
    connection->Open(source);
    return connection;
  };
  auto held = open();
  const auto start = std::chrono::steady_clock::now();
  std::thread([&] { EXPECT_EQ(CaptureError(open).Number(), db::dberr::kPoolTimeout); }).join();
  const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited.count(), 0.9);
  EXPECT_LT(waited.count(), 3.0);
  std::thread other([&] { EXPECT_EQ(open()->State(), db::kStateOpen); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  held->Close();
  other.join();
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  db::DrainPool();
}

}  // namespace
}  // namespace carvalen::test
