// Behind PgBouncer (scripts/pgbouncer.sh, reached through CARVALEN_TEST_PGBOUNCER), configured as
// shipped, which refuses startup options: in session pooling, in transaction pooling over two
// server connections for all clients, and in transaction pooling found out by the library (no
// Pooler key). Every answer, error and trace must be what a direct connection gives.
#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "db/client.hpp"
#include "db/pool.hpp"
#include "reliability/demo_calls.hpp"

namespace carvalen::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ScopedEnv;
using testing::ScopedSetting;
using testing::TempFolder;

struct Mode {
  const char* name;
  const char* database;  // the pooler's name for the test database
  const char* pooler;    // the Pooler key, or none to have the library find out
};

void PrintTo(const Mode& mode, std::ostream* out) { *out << mode.name; }

/// The keys that route the library's sessions through the pooler in `mode`.
std::string Via(const Mode& mode) {
  const char* bouncer = std::getenv("CARVALEN_TEST_PGBOUNCER");
  std::string via = std::string(bouncer) + ";Database=" + mode.database;
  if (mode.pooler != nullptr) via += std::string(";Pooler=") + mode.pooler;
  return via;
}

/// The text of every row of `sql`, columns joined by '|', or the error's number and text.
std::string Rows(const std::string& connection_string, const std::string& sql,
                 std::int32_t timeout = 30) {
  auto connection = std::make_shared<db::Connection>();
  connection->CommandTimeout = timeout;
  try {
    connection->Open(connection_string);
    connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    auto rs = db::Recordset::Create();
    rs->Open(sql, connection);
    std::string out;
    for (; !rs->Eof(); rs->MoveNext()) {
      for (const std::string& name : rs->FieldNames()) out += rs->Field(name).ToString() + "|";
      out += "\n";
    }
    return out;
  } catch (const Error& e) {
    return std::to_string(e.Number()) + " " + e.NativeCode() + " " + e.Description();
  }
}

/// The events and statements of a trace file, without connection ids, servers and connection
/// strings.
std::vector<std::string> Statements(const std::filesystem::path& trace) {
  std::vector<std::string> out;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    const nlohmann::json event = nlohmann::json::parse(line);
    const std::string kind = event.value("event", "");
    out.push_back(kind == "open" ? kind : kind + " " + event.value("sql", ""));
  }
  return out;
}

class Pooler : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    if (!IsAvailable(Provider::PostgreSQL) || std::getenv("CARVALEN_TEST_PGBOUNCER") == nullptr) {
      GTEST_SKIP() << "no PgBouncer: set CARVALEN_TEST_PG and CARVALEN_TEST_PGBOUNCER";
    }
  }
  void TearDown() override { db::DrainPool(); }

  /// A demo database reached directly, or through the pooler.
  std::unique_ptr<DemoDb> Demo(bool pooled) {
    ScopedEnv via("CARVALEN_TEST_PG_VIA", pooled ? Via(GetParam()).c_str() : nullptr);
    return std::make_unique<DemoDb>(Provider::PostgreSQL);
  }

  /// Every demo call's outcome, and the statements traced meanwhile.
  std::pair<std::vector<std::string>, std::vector<std::string>> Answers(bool pooled) {
    auto demo = Demo(pooled);
    TempFolder folder;
    ScopedSetting trace(Setting::SqlTrace, (folder / "trace.jsonl").string());
    std::vector<std::string> answers;
    for (const DemoCall& call : DemoCalls()) answers.push_back(CallText(call));
    db::DrainPool();
    return {answers, Statements(folder / "trace.jsonl")};
  }
};

TEST_P(Pooler, EveryOperationAnswersAndTracesAsConnectedDirectly) {
  const auto direct = Answers(false);
  const auto pooled = Answers(true);
  ASSERT_EQ(direct.first.size(), pooled.first.size());
  for (std::size_t i = 0; i < direct.first.size(); ++i) {
    EXPECT_EQ(pooled.first[i], direct.first[i]) << DemoCalls()[i].target;
  }
  EXPECT_EQ(pooled.second, direct.second);
}

TEST_P(Pooler, SessionsAreSetAndBoundAsConnectedDirectly) {
  auto direct = Demo(false);
  direct->Exec("CREATE VIEW SLOW_VIEW AS SELECT pg_sleep(3)::text AS X");
  const std::string direct_source = direct->ConnectionString();
  const std::string pooled_source = direct_source + ";" + Via(GetParam());
  const struct {
    const char* what;
    std::string sql;
  } cases[] = {
      {"settings",
       "SELECT current_setting('TimeZone'), current_setting('DateStyle'), "
       "current_setting('extra_float_digits'), current_setting('statement_timeout'), "
       "current_setting('transaction_read_only'), current_setting('transaction_isolation'), "
       "current_setting('standard_conforming_strings'), current_setting('jit'), "
       "current_setting('search_path'), 'a\\b', now()::timestamp(0) = "
       "localtimestamp(0), 0.1::float8"},
      {"writes refused", "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID) VALUES (-1) RETURNING 1"},
      {"an error of the statement", "SELECT * FROM NO_SUCH_TABLE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Rows(pooled_source, c.sql), Rows(direct_source, c.sql));
  }
  // The command time-out cancels a slow statement within its bound, as it does directly.
  const auto start = Clock::now();
  const std::string slow = Rows(pooled_source, "SELECT * FROM SLOW_VIEW", 1);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(slow, Rows(direct_source, "SELECT * FROM SLOW_VIEW", 1));
  EXPECT_NE(slow.find("57014"), std::string::npos) << slow;
  EXPECT_LT(elapsed, 2500ms);
}

TEST_P(Pooler, ALongLivedHostWithConcurrentCallersAnswersEveryCall) {
  const std::vector<std::string> expected = Answers(false).first;
  auto demo = Demo(true);
  constexpr int kThreads = 6, kCalls = 40;
  std::atomic<int> wrong{0};
  std::mutex first_mutex;
  std::string first_wrong;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kCalls; ++i) {
          const std::size_t k = (static_cast<std::size_t>(t) * 7 + i) % expected.size();
          const std::string answer = CallText(DemoCalls()[k]);
          if (answer != expected[k] && ++wrong == 1) {
            std::lock_guard lock(first_mutex);
            first_wrong = std::string(DemoCalls()[k].target) + ": " + answer;
          }
        }
      });
    }
  }
  EXPECT_EQ(wrong.load(), 0) << first_wrong;
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  // Behind a transaction pooler no statement is left prepared on a server connection, where
  // another client's transaction, or ours on another connection, would miss it.
  const bool session = std::string_view(GetParam().name) == "Session";
  EXPECT_EQ(Rows(demo->ConnectionString(),
                 "SELECT count(*) > 0 FROM pg_prepared_statements WHERE name LIKE 'carvalen%'"),
            session ? "True|\n" : "False|\n");
}

INSTANTIATE_TEST_SUITE_P(PgBouncer, Pooler,
                         ::testing::Values(Mode{"Session", "carvalen_session", "Session"},
                                           Mode{"Transaction", "carvalen_transaction",
                                                "Transaction"},
                                           Mode{"Detected", "carvalen_transaction", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PoolerKey, IsCheckedAndOptionsMustBeSettings) {
  const struct {
    const char* keys;
    const char* message;
  } cases[] = {
      {"Pooler=Sometimes", "Pooler must be None, Session or Transaction, not 'Sometimes'"},
      {"Pooler=transaction;options=-c jit=off --search-path=x -X",
       "options may hold only server settings (-c name=value)"},
      {"Pooler=Session;options=-c standard_conforming_strings=off",
       "options may not set standard_conforming_strings"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    db::Connection connection;
    const Error e = CaptureError(
        [&] { connection.Open(std::string("Provider=PostgreSQL;Host=/nowhere;") + c.keys); });
    EXPECT_EQ(e.Number(), db::dberr::kInvalidArgument);
    EXPECT_NE(e.Description().find(c.message), std::string::npos) << e.Description();
  }
}

}  // namespace
}  // namespace carvalen::test
