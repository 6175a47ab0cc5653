// How the library holds up when its database misbehaves: faults injected at the driver, many
// threads through a bounded pool, databases that go away between calls, and PgBouncer in between.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
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

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// The answers to `calls`, each a test failure unless it succeeded.
std::vector<std::string> Answers(const std::vector<ExampleCall>& calls = ExampleCalls()) {
  std::vector<std::string> answers;
  for (const ExampleCall& call : calls) {
    answers.push_back(CallText(call));
    EXPECT_EQ(answers.back().substr(0, 2), "0 ") << call.target << " " << answers.back();
  }
  return answers;
}

/// The error of `call`, which must fail with one header (the first naming it) per level logged.
api::Json FailingCall(const ExampleCall& call, ContractDb& db) {
  db.ClearLog();
  const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
  EXPECT_EQ(outcome.status, api::kCallFailed) << outcome.text;
  api::Json error = api::Json::parse(outcome.text).value("error", api::Json::object());
  const std::string description = error.value("description", "");
  const std::string head = ReportHeader(error.value("number", 0u), "Carvalen." + call.target);
  EXPECT_TRUE(description.starts_with(head)) << description;
  EXPECT_EQ(ReportCount(description), db.Log().size()) << description;
  return error;
}

/// `per_thread` example calls on each of `threads` threads at once, thread t from call t * stride
/// on: "" when every answer is as `expected`, else how many were not and the first of them.
std::string WrongAnswers(int threads, int per_thread, std::size_t stride,
                         const std::vector<std::string>& expected) {
  const std::vector<ExampleCall>& calls = ExampleCalls();
  std::atomic<int> wrong{0};
  std::string first;  // written by the first thread to go wrong only, read after the joins
  std::vector<std::jthread> running;
  for (int t = 0; t < threads; ++t)
    running.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) {
        const std::size_t k = (static_cast<std::size_t>(t) * stride + i) % calls.size();
        const std::string answer = CallText(calls[k]);
        if (answer != expected[k] && ++wrong == 1) first = calls[k].target + ": " + answer;
      }
    });
  running.clear();  // joins them
  return wrong == 0 ? "" : std::to_string(wrong.load()) + " wrong, the first " + first;
}

/// Points `db`'s store at `source` (`timeout` s to connect); answers `calls` from an empty pool.
std::vector<std::string> Serve(const ContractDb& db, const std::string& source, int timeout,
                               const std::vector<ExampleCall>& calls = ExampleCalls()) {
  std::ofstream(db.ConfigDir() + "/Vendra.toml")
      << "[ConnectionStrings]\nEContract = " << api::Json(source).dump()  // a TOML string too
      << "\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
         "EContractConnection_ConnectionTimeout = \""
      << timeout << "\"\n";
  db::DrainPool();
  return Answers(calls);
}

// Wrapped sessions (StockPool pools them) count a call's steps, fail the k-th of one as a driver
// would, and count uses by two threads or one not holding the lease (Connect: a lease begins).
enum Step { kConnect, kIsolation, kStatement, kFetch, kField, kClose, kHealth };
constexpr int kStepCount = kHealth;  // the pool's question about an idle session is never failed
const char* const kStepNames[] = {"connect", "isolation", "statement", "fetch", "field", "close"};
constexpr std::int32_t kFaultNumber = static_cast<std::int32_t>(0x80045A01u);

struct FaultPlan {
  /// Fails the `k`-th (from 1; 0: none) `to_fail` from now on, counting afresh (between calls).
  void Arm(Step to_fail, std::int64_t k) {
    for (auto& count : counts) count.store(0);
    step = to_fail, occurrence = k, fired = false;
  }
  /// Counts `s`, throwing the armed fault; relaxed, so as to hide no race from ThreadSanitizer.
  void Tick(Step s) {
    const auto n = counts[s].fetch_add(1, std::memory_order_relaxed) + 1;
    if (s != step.load(std::memory_order_relaxed) ||
        n != occurrence.load(std::memory_order_relaxed))
      return;
    fired = true;
    throw Error(kFaultNumber,
                "injected fault at " + std::string(kStepNames[s]) + " #" + std::to_string(n),
                "FaultDriver");
  }
  /// A lease to `thread` begins (+1) or ends (-1); a nested open holds two.
  void Lease(std::thread::id thread, int delta) {
    std::lock_guard lock(mutex);
    if ((holders[thread] += delta) <= 0) holders.erase(thread);
    peak_threads = std::max(peak_threads, holders.size());
  }

  std::array<std::atomic<std::int64_t>, kHealth + 1> counts{};
  std::atomic<Step> step{kConnect};
  std::atomic<std::int64_t> occurrence{0};
  std::atomic<bool> fired{false};
  std::atomic<std::int64_t> misuses{0};    // uses by a thread not holding the lease, or by two
  std::atomic<std::int64_t> live{0};       // wrapped sessions alive
  std::mutex mutex;                        // for the holders
  std::map<std::thread::id, int> holders;  // leases held now, by thread
  std::size_t peak_threads = 0;            // the most threads holding a lease at once
};

struct FaultySession : db::PhysicalConnection {
  /// Runs `f` counted as `step`: a second user, or (but for health) one without the lease, misuses.
  template <class F>
  auto With(Step step, F&& f) {
    if (step != kHealth && owner_.load() != std::this_thread::get_id()) ++plan_->misuses;
    plan_->Tick(step);  // before taking the session, which a fault leaves untaken
    if (users_.fetch_add(1) != 0) ++plan_->misuses;
    const std::shared_ptr<void> release(nullptr, [this](void*) { users_.fetch_sub(1); });
    return f();
  }
  FaultySession(std::unique_ptr<db::PhysicalConnection> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {
    ++plan_->live;
  }
  ~FaultySession() override {
    plan_->Lease(owner_.load(), -1);  // a lease that failed
    --plan_->live;
  }
  // No operation runs a statement without rows, nor reads rows twice.
  void Execute(const std::string& sql, std::int32_t t) override { inner_->Execute(sql, t); }
  void SetIsolation(const std::string& level) override {
    With(kIsolation, [&] { inner_->SetIsolation(level); });
  }
  std::unique_ptr<db::Cursor> Query(const std::string& sql, std::int32_t t, bool whole) override {
    return With(kStatement,
                [&] { return std::make_unique<Cursor>(inner_->Query(sql, t, whole), *this); });
  }
  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override {
    return With(kStatement, [&] { return inner_->Columns(table, column, timeout, sql); });
  }
  void SetConnectionTimeout(std::int32_t seconds) override {  // on each lease, by its holder
    owner_.store(std::this_thread::get_id());
    plan_->Lease(std::this_thread::get_id(), 1);
    With(kConnect, [&] { inner_->SetConnectionTimeout(seconds); });
  }
  bool Healthy() override {
    return With(kHealth, [&] { return inner_->Healthy(); });
  }
  bool Reusable() override {  // asked once, on close: the lease ends whatever the answer
    std::shared_ptr<void> end(nullptr, [this](void*) { plan_->Lease(owner_.exchange({}), -1); });
    return With(kClose, [&] { return inner_->Reusable(); });
  }

  struct Cursor : db::Cursor {
    Cursor(std::unique_ptr<db::Cursor> inner, FaultySession& s) : inner_(std::move(inner)), s_(s) {}
    const db::FieldSetPtr& Fields() const override { return inner_->Fields(); }
    bool Next(db::Row& row) override {
      return s_.With(kFetch, [&] {
        if (!inner_->Next(row)) return false;
        // Each value counts as one field read, where a driver converting it would fail.
        for (std::size_t i = 0; i < row.Size(); ++i) s_.plan_->Tick(kField);
        return true;
      });
    }
    void Rewind() override { inner_->Rewind(); }
    void Finish() override { inner_->Finish(); }
    std::unique_ptr<db::Cursor> inner_;
    FaultySession& s_;
  };

  std::unique_ptr<db::PhysicalConnection> inner_;
  std::shared_ptr<FaultPlan> plan_;
  std::atomic<int> users_{0};
  std::atomic<std::thread::id> owner_{};
};

/// Refills the pool with `count` wrapped sessions under the key an open computes, for it to lease.
void StockPool(const std::string& connection_string, int count,
               const std::shared_ptr<FaultPlan>& plan) {
  db::Pool& pool = db::Pool::Instance();
  pool.Drain();
  db::ParsedConnection settings = db::ParseConnectionString(connection_string);
  const bool lite = settings.provider == db::ProviderKind::SQLite;
  if (lite)
    settings.Set("data source",
                 fs::absolute(*settings.Find("data source")).lexically_normal().string());
  const std::string key = settings.Canonical();
  const std::thread::id me = std::this_thread::get_id();
  std::vector<std::unique_ptr<db::PhysicalConnection>> sessions;
  for (int i = 0; i < count; ++i) {  // each lease takes a slot, for the session given below
    if (pool.Lease(key, count, 0, me)) throw std::logic_error("pool not drained");
    sessions.push_back(std::make_unique<FaultySession>(
        lite ? db::OpenSqlite(settings, 15) : db::OpenPostgres(settings, 15, 30), plan));
  }
  for (auto& session : sessions) pool.Give(key, std::move(session), me);
}

// Every step of every operation fails once: one header and log entry per level, no connection
// left open, and the next call answers as before. (Each test's database drains the pool.)
TEST(FaultInjection, EveryStepOfEveryOperationFailsCleanly) {
  constexpr int kStock = 4;  // wrapped sessions pooled before each call: more than a call holds
  DemoDb db(Provider::SQLite);
  auto plan = std::make_shared<FaultPlan>();
  for (const ExampleCall& call : ExampleCalls()) {
    SCOPED_TRACE(call.target);
    // A clean run gives the answer and how often each step happens.
    plan->Arm(kConnect, 0);
    StockPool(db.ConnectionString(), kStock, plan);
    const std::string clean = CallText(call);
    ASSERT_EQ(clean.substr(0, 2), "0 ") << clean;
    // Every open leased a wrapped session: none was opened and pooled beside them.
    ASSERT_EQ(db::PooledConnectionCount(), kStock);
    ASSERT_EQ(plan->live.load(), kStock);
    const std::vector<std::int64_t> counts(plan->counts.begin(), plan->counts.end());
    for (int step = 0; step < kStepCount; ++step)
      for (std::int64_t k = 1; k <= counts[step]; ++k) {
        const std::string fault = kStepNames[step] + (" #" + std::to_string(k));
        SCOPED_TRACE(fault);
        plan->Arm(Step(step), k);
        StockPool(db.ConnectionString(), kStock, plan);
        if (step == kClose) {
          // The rows were read: a session that cannot say it is clean is dropped, not the call.
          db.ClearLog();
          EXPECT_EQ(CallText(call), clean);
          EXPECT_TRUE(db.Log().empty());
        } else {
          const api::Json error = FailingCall(call, db);
          EXPECT_EQ(error.value("number", 0), kFaultNumber);
          EXPECT_EQ(error.value("source", ""), "FaultDriver");
          EXPECT_NE(error.value("description", "").find("injected fault at " + fault),
                    std::string::npos);
        }
        ASSERT_TRUE(plan->fired);
        EXPECT_EQ(db::OpenConnectionCount(), 0);
        // The pool survives: the next plain call answers as the clean one did.
        plan->Arm(kConnect, 0);
        EXPECT_EQ(CallText(call), clean);
        EXPECT_EQ(db::OpenConnectionCount(), 0);
      }
  }
}

// Many threads answer as one does through a pool of two: callers wait, none shares a session.
using ManyThreads = ProviderTest<DemoDb>;  // which also finds no connection left open

TEST_P(ManyThreads, AnswerAsOneThreadDoesThroughABoundedPool) {
  constexpr int kThreads = 8, kMaxPool = 2, kSessions = 2 * kMaxPool;  // a caller nests an open
  const std::string source = db.ConnectionString() + ";Max Pool Size=" + std::to_string(kMaxPool);
  const std::vector<std::string> expected = Serve(db, source, 15);
  auto plan = std::make_shared<FaultPlan>();
  StockPool(source, kSessions, plan);
  // CARVALEN_THREAD_CALLS overrides the 2,000 calls a thread (ThreadSanitizer makes fewer).
  const char* calls = std::getenv("CARVALEN_THREAD_CALLS");
  const int per_thread = calls != nullptr && std::atoi(calls) > 0 ? std::atoi(calls) : 2000;
  EXPECT_EQ(WrongAnswers(kThreads, per_thread, 5, expected), "");
  EXPECT_EQ(plan->misuses.load(), 0) << "a session was used by a thread not holding it";
  EXPECT_EQ(plan->peak_threads, static_cast<std::size_t>(kMaxPool));
  // Every session used was one of the wrapped ones: none was opened beside them.
  EXPECT_EQ(plan->live.load(), kSessions);
  EXPECT_EQ(db::PooledConnectionCount(), kSessions);
}

CARVALEN_ON_PROVIDERS(ManyThreads);

// A caller beyond Max Pool Size waits up to its connection time-out (given one back: ManyThreads).
TEST(PoolBound, ACallerWaitsUpToTheConnectionTimeOut) {
  TestDatabase database(Provider::SQLite);
  auto open = [source = database.ConnectionString() + ";Max Pool Size=1"] {
    auto connection = std::make_shared<db::Connection>();
    connection->ConnectionTimeout = 1;
    connection->Open(source);
    return connection;
  };
  auto held = open();
  const auto start = Clock::now();
  std::thread([&] { EXPECT_EQ(CaptureError(open).Number(), db::dberr::kPoolTimeout); }).join();
  const std::chrono::duration<double> waited = Clock::now() - start;
  EXPECT_TRUE(waited.count() >= 0.9 && waited.count() < 3.0) << waited.count();
  held->Close();
  EXPECT_EQ(db::OpenConnectionCount(), 0);
}

// Calls that between them open, nest and read every row kind, for databases that go away.
const std::vector<ExampleCall> kCalls = {
    {"ContractLine.GetPrice",
     R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 100.0})"},
    {"ContractLine.GetEffectivePrice",
     R"({"i_fQuantity": 60.0, "i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
    {"Contract.GetContractLineDetails", R"({"i_lContractHeaderID": 1})"},
};

/// Every call fails cleanly after `at_least` and within `limit` seconds, naming `names`.
void ExpectCleanFailures(ContractDb& db, double limit, const char* names, double at_least = 0) {
  for (const ExampleCall& call : kCalls) {
    SCOPED_TRACE(call.target);
    const auto start = Clock::now();
    const std::string description = FailingCall(call, db).value("description", "");
    const std::chrono::duration<double> seconds = Clock::now() - start;
    EXPECT_NE(description.find(names), std::string::npos) << description;
    EXPECT_TRUE(seconds.count() >= at_least && seconds.count() < limit) << seconds.count();
    EXPECT_EQ(db::OpenConnectionCount(), 0);
  }
}

// A SQLite file removed, locked, then replaced, under a pool kept from calls that answered.
TEST(SqliteOutage, RemovedLockedOrReplacedFileFailsCleanlyOrIsReadAfresh) {
  DemoDb db(Provider::SQLite);
  const std::string file = db.Location();
  db.Exec("PRAGMA journal_mode=DELETE");  // so that a writer's lock keeps readers out
  const std::vector<std::string> expected = Serve(db, db.ConnectionString(), 1, kCalls);
  fs::rename(file, file + ".kept");
  ExpectCleanFailures(db, 3.0, "EContractUtilities.GetSourceConnection");
  fs::rename(file + ".kept", file);
  EXPECT_EQ(Answers(kCalls), expected);  // the file returned serves the calls again
  db.Exec("BEGIN EXCLUSIVE");            // the writer's session holds the file
  {
    // Calls wait out the 1 s busy time-out; one waiting while the lock is released answers.
    ExpectCleanFailures(db, 3.5, "database is locked", 0.9);
    std::jthread release([&] {
      std::this_thread::sleep_for(300ms);
      db.Exec("COMMIT");
    });
    EXPECT_EQ(CallText(kCalls[0]), expected[0]);
  }
  EXPECT_EQ(Answers(kCalls), expected);
  db.Exec("UPDATE CONTRACTPRICE SET PRICE = PRICE * 2; VACUUM INTO '" + file +
          ".new'; UPDATE CONTRACTPRICE SET PRICE = PRICE / 2");
  fs::rename(file + ".new", file);  // a copy, prices doubled: the very next call reads it
  const std::vector<std::string> answers = Answers(kCalls);
  EXPECT_NE(answers[0].find(R"("result": 14.0)"), std::string::npos) << answers[0];
  EXPECT_EQ(db::OpenConnectionCount(), 0);
}

// The generated contracts are what a contract database holds: a sample of active products, each
// with a partner of one of its active lines, prices in one bulk call (no 457, no 94 from the data).
TEST(DemoData, AnyActiveProductsPriceInBulk) {
  testing::TempFolder folder;
  demo::CreateDemo({.dir = folder.path, .lines = 100'000});
  const testing::ScopedSetting store(Setting::ConfigDir, folder.path.string());
  const db::ConnectionPtr demo =
      OpenClient("Provider=SQLite;Pooling=False;Data Source=" + (folder / "contracts.db").string());
  const std::string request = Scalar(
      demo,
      "SELECT json_object('i_oDicBPProductQuan', json_object('$dict', json_group_array(json_array("
      "P, json_object('$array', json_array(B, 1 + P * 7919 % 5000)))))) FROM (SELECT L.PRODUCTID "
      "AS P, min(H.BUSINESSPARTNERID) AS B FROM CONTRACTLINE L JOIN CONTRACTHEADER H USING "
      "(CONTRACTHEADERID) WHERE L.CONTRACTSTATUS = 6 AND H.CONTRACTHEADERID > 2 GROUP BY P "
      "ORDER BY P * 7919 % 10007 LIMIT 1000)");
  demo->Close();
  const api::CallOutcome outcome =
      api::CallWithJson("Contract.GetActiveContractLinesProc", request);
  ASSERT_EQ(outcome.status, api::kCallOk) << outcome.text.substr(0, 400);
  EXPECT_EQ(api::Json::parse(outcome.text)["result"]["$dict"].size(), 1000U);
  db::DrainPool();
}

/// The text of the first row of `sql`, each column followed by '|', or the error's number and text.
std::string Row(const std::string& source, const std::string& sql, std::int32_t timeout) {
  try {
    const db::ConnectionPtr connection = OpenClient(source, timeout);
    connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    std::string out;
    const db::RecordsetPtr rs = OpenQuery(connection, sql);
    for (const std::string& name : rs->FieldNames()) out += rs->Field(name).ToString() + "|";
    return out;
  } catch (const Error& e) {
    return std::to_string(e.Number()) + " " + e.NativeCode() + " " + e.Description();
  }
}

// Behind PgBouncer (scripts/pgbouncer.sh, refusing startup options) pooling sessions, transactions,
// or transactions the library detects (no Pooler key).
class Pooler : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!IsAvailable(Provider::PostgreSQL)) return ReportPostgreSQLMissing();
    if (std::getenv("CARVALEN_TEST_PGBOUNCER") == nullptr)
      GTEST_SKIP() << "no PgBouncer: set CARVALEN_TEST_PGBOUNCER (scripts/pgbouncer.sh)";
  }

  /// The keys that route the library's sessions through the pooler.
  static std::string Via() {
    const std::string& mode = GetParam();
    return std::getenv("CARVALEN_TEST_PGBOUNCER") +
           (";Database=carvalen_" + std::string(mode == "Session" ? "session" : "transaction")) +
           (mode == "Detected" ? "" : ";Pooler=" + mode);
  }

  /// A demo database reached directly, or through the pooler.
  std::unique_ptr<DemoDb> Demo(bool pooled) {
    testing::ScopedEnv via("CARVALEN_TEST_PG_VIA", pooled ? Via().c_str() : nullptr);
    return std::make_unique<DemoDb>(Provider::PostgreSQL);
  }
  /// Every example call's answer, then the events traced (without ids, servers and sources).
  std::vector<std::string> Outcomes(bool pooled) {
    auto demo = Demo(pooled);
    SqlTrace trace;
    std::vector<std::string> out = Answers();
    db::DrainPool();
    for (const auto& event : trace.Events()) {
      const std::string kind = event.value("event", "");
      out.push_back(kind == "open" ? kind : kind + " " + event.value("sql", ""));
    }
    return out;
  }
};

// A long-lived host: the answers and traces of every operation, then those of concurrent callers.
TEST_P(Pooler, EveryOperationAnswersAndTracesAsConnectedDirectlyAlsoConcurrently) {
  const std::vector<std::string> direct = Outcomes(false);
  EXPECT_EQ(Outcomes(true), direct);
  auto demo = Demo(true);
  EXPECT_EQ(WrongAnswers(6, 40, 7, direct), "");  // its answers come first
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  // Behind a transaction pooler no statement is left prepared on a server connection.
  EXPECT_EQ(Row(demo->ConnectionString(),
                "SELECT count(*) > 0 FROM pg_prepared_statements WHERE name LIKE 'carvalen%'", 30),
            GetParam() == "Session" ? "True|" : "False|");
}

TEST_P(Pooler, SessionsAreSetAndBoundAsConnectedDirectly) {
  auto direct = Demo(false);
  direct->Exec("CREATE VIEW SLOW_VIEW AS SELECT pg_sleep(3)::text AS X");
  const std::string direct_source = direct->ConnectionString(),
                    pooled_source = direct_source + ";" + Via();
  for (const char* sql : {
           "SELECT current_setting('TimeZone'), current_setting('DateStyle'), "
           "current_setting('extra_float_digits'), current_setting('statement_timeout'), "
           "current_setting('transaction_read_only'), current_setting('transaction_isolation'), "
           "current_setting('standard_conforming_strings'), current_setting('jit'), "
           "current_setting('search_path'), 'a\\b', now()::timestamp(0) = "
           "localtimestamp(0), 0.1::float8",
           "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID) VALUES (-1) RETURNING 1",  // refused
           "SELECT * FROM NO_SUCH_TABLE",
           "SELECT * FROM SLOW_VIEW",  // cancelled by the command time-out within its bound
       }) {
    const auto start = Clock::now();
    const std::string pooled = Row(pooled_source, sql, 1);
    EXPECT_LT(Clock::now() - start, 2500ms) << sql;
    EXPECT_EQ(pooled, Row(direct_source, sql, 1)) << sql;
    EXPECT_EQ(pooled.find("57014") != std::string::npos, std::string_view(sql).ends_with("VIEW"))
        << pooled;
  }
}

INSTANTIATE_TEST_SUITE_P(PgBouncer, Pooler, ::testing::Values("Session", "Transaction", "Detected"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace carvalen::test
