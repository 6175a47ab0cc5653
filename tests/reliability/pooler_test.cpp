// Behind PgBouncer (scripts/pgbouncer.sh, reached through CARVALEN_TEST_PGBOUNCER), configured as
// shipped, which refuses startup options: in session pooling, in transaction pooling over two
// server connections for all clients, and in transaction pooling found out by the library (no
// Pooler key). Every answer, error and trace must be what a direct connection gives.
#include <cstdlib>

#include <gtest/gtest.h>

#include "db/client.hpp"
#include "reliability/demo_calls.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using namespace std::chrono_literals;

struct Mode {
  const char* name;
  const char* database;  // the pooler's name for the test database
  const char* pooler;    // the Pooler key, or none to have the library find out
};

void PrintTo(const Mode& mode, std::ostream* out) { *out << mode.name; }

/// The keys that route the library's sessions through the pooler in `mode`.
std::string Via(const Mode& mode) {
  return std::getenv("CARVALEN_TEST_PGBOUNCER") + std::string(";Database=") + mode.database +
         (mode.pooler != nullptr ? std::string(";Pooler=") + mode.pooler : "");
}

/// The text of every row of `sql`, columns joined by '|', or the error's number and text.
std::string Rows(const std::string& connection_string, const std::string& sql,
                 std::int32_t timeout = 30) {
  try {
    const db::ConnectionPtr connection = OpenClient(connection_string, timeout);
    connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    std::string out;
    for (auto rs = OpenQuery(connection, sql); !rs->Eof(); rs->MoveNext()) {
      for (const std::string& name : rs->FieldNames()) out += rs->Field(name).ToString() + "|";
      out += "\n";
    }
    return out;
  } catch (const Error& e) {
    return std::to_string(e.Number()) + " " + e.NativeCode() + " " + e.Description();
  }
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
    testing::ScopedEnv via("CARVALEN_TEST_PG_VIA", pooled ? Via(GetParam()).c_str() : nullptr);
    return std::make_unique<DemoDb>(Provider::PostgreSQL);
  }
  /// Every example call's answer, and the events traced meanwhile without connection ids, servers
  /// and connection strings.
  std::pair<std::vector<std::string>, std::vector<std::string>> Outcomes(bool pooled) {
    auto demo = Demo(pooled);
    SqlTrace trace;
    std::pair<std::vector<std::string>, std::vector<std::string>> out{Answers(), {}};
    db::DrainPool();
    for (const auto& event : trace.Events()) {
      const std::string kind = event.value("event", "");
      out.second.push_back(kind == "open" ? kind : kind + " " + event.value("sql", ""));
    }
    return out;
  }
};

// A long-lived host: the answers and traces of every operation, then those of concurrent callers.
TEST_P(Pooler, EveryOperationAnswersAndTracesAsConnectedDirectlyAlsoConcurrently) {
  const auto direct = Outcomes(false), pooled = Outcomes(true);
  for (std::size_t i = 0; i < ExampleCalls().size(); ++i) {
    EXPECT_EQ(pooled.first.at(i), direct.first.at(i)) << ExampleCalls()[i].target;
  }
  EXPECT_EQ(pooled.second, direct.second);
  auto demo = Demo(true);
  EXPECT_EQ(WrongAnswers(6, 40, 7, direct.first), "");
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  // Behind a transaction pooler no statement is left prepared on a server connection, where another
  // client's transaction, or ours on another connection, would miss it.
  EXPECT_EQ(Rows(demo->ConnectionString(),
                 "SELECT count(*) > 0 FROM pg_prepared_statements WHERE name LIKE 'carvalen%'"),
            std::string_view(GetParam().name) == "Session" ? "True|\n" : "False|\n");
}

TEST_P(Pooler, SessionsAreSetAndBoundAsConnectedDirectly) {
  auto direct = Demo(false);
  direct->Exec("CREATE VIEW SLOW_VIEW AS SELECT pg_sleep(3)::text AS X");
  const std::string direct_source = direct->ConnectionString();
  const std::string pooled_source = direct_source + ";" + Via(GetParam());
  for (const char* sql : {
           "SELECT current_setting('TimeZone'), current_setting('DateStyle'), "
           "current_setting('extra_float_digits'), current_setting('statement_timeout'), "
           "current_setting('transaction_read_only'), current_setting('transaction_isolation'), "
           "current_setting('standard_conforming_strings'), current_setting('jit'), "
           "current_setting('search_path'), 'a\\b', now()::timestamp(0) = "
           "localtimestamp(0), 0.1::float8",
           "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID) VALUES (-1) RETURNING 1",  // refused
           "SELECT * FROM NO_SUCH_TABLE",
       }) {
    EXPECT_EQ(Rows(pooled_source, sql), Rows(direct_source, sql)) << sql;
  }
  // The command time-out cancels a slow statement within its bound, as it does directly.
  const auto start = std::chrono::steady_clock::now();
  const std::string slow = Rows(pooled_source, "SELECT * FROM SLOW_VIEW", 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_EQ(slow, Rows(direct_source, "SELECT * FROM SLOW_VIEW", 1));
  EXPECT_NE(slow.find("57014"), std::string::npos) << slow;
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
    db::Connection connection;
    const Error e = CaptureError(
        [&] { connection.Open(std::string("Provider=PostgreSQL;Host=/nowhere;") + c.keys); });
    EXPECT_EQ(e.Number(), db::dberr::kInvalidArgument) << c.keys;
    EXPECT_NE(e.Description().find(c.message), std::string::npos) << e.Description();
  }
}

}  // namespace
}  // namespace carvalen::test
