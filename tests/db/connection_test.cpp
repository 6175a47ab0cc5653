// Connections over both databases: the isolation command, one statement per call, read-only
// sessions, failed opens, pooling, broken pooled sessions, the command time-out and the column
// schema.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "db/db_test_helpers.hpp"
#include "support/databases.hpp"

namespace carvalen::test {
namespace {

using Clock = std::chrono::steady_clock;

class Connections : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    db::DrainPool();
    open_before_ = db::OpenConnectionCount();
  }
  void TearDown() override {
    EXPECT_EQ(db::OpenConnectionCount(), open_before_);
    DatabaseTest::TearDown();
  }
  std::string Scalar(const db::ConnectionPtr& connection, const std::string& sql) {
    auto rs = OpenQuery(connection, sql);
    return rs->Field(rs->FieldNames().at(0)).ToString();
  }
  std::string BackendId(const db::ConnectionPtr& connection) {
    return Scalar(connection, "SELECT pg_backend_pid()");
  }

  std::int64_t open_before_ = 0;
};

TEST_P(Connections, OpensExecutesAndCloses) {
  auto connection = std::make_shared<db::Connection>();
  EXPECT_EQ(connection->State(), db::kStateClosed);
  EXPECT_EQ(CaptureError([&] { connection->Execute("SELECT 1"); }).Number(),
            db::dberr::kObjectClosed);
  connection->ConnectionString = db().ConnectionString();
  connection->Open();
  EXPECT_EQ(connection->State(), db::kStateOpen);
  EXPECT_EQ(db::OpenConnectionCount(), open_before_ + 1);
  EXPECT_EQ(CaptureError([&] { connection->Open(); }).Number(), db::dberr::kObjectOpen);
  connection->Execute("SELECT 1");
  connection->Close();
  connection->Close();  // harmless
  EXPECT_EQ(connection->State(), db::kStateClosed);
  {
    db::Connection scoped;
    scoped.Open(db().ConnectionString());
    EXPECT_EQ(db::OpenConnectionCount(), open_before_ + 1);
  }  // the destructor closes
}

TEST_P(Connections, IsolationCommandIsAcceptedAndTakesEffect) {
  struct Case {
    const char* command;
    const char* sqlite_probe;  // PRAGMA read_uncommitted
    const char* pg_probe;      // SHOW transaction_isolation
  };
  const Case cases[] = {
      {"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED", "1", "read uncommitted"},
      {"SET TRANSACTION ISOLATION LEVEL READ COMMITTED", "0", "read committed"},
      {"  set transaction\tisolation level   repeatable read ;", "0", "repeatable read"},
      {"SET TRANSACTION ISOLATION LEVEL SERIALIZABLE", "0", "serializable"},
      {"SET TRANSACTION ISOLATION LEVEL READ COMMITTED", "0", "read committed"},
  };
  auto connection = OpenClient(db().ConnectionString());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    connection->Execute(c.command);
    if (provider() == Provider::SQLite) {
      EXPECT_EQ(Scalar(connection, "PRAGMA read_uncommitted"), c.sqlite_probe);
    } else {
      EXPECT_EQ(Scalar(connection, "SHOW transaction_isolation"), c.pg_probe);
    }
  }
  connection->Close();
}

TEST_P(Connections, SessionsAreSetUpForShortReadOnlyQueries) {
  struct Probe {
    const char* sql;
    const char* expected;
  };
  const std::vector<Probe> probes =
      provider() == Provider::SQLite
          ? std::vector<Probe>{{"PRAGMA query_only", "1"},
                               {"PRAGMA journal_mode", "wal"},
                               {"PRAGMA synchronous", "1"}}  // NORMAL
          : std::vector<Probe>{{"SHOW default_transaction_read_only", "on"},
                               {"SHOW jit", "off"},
                               {"SHOW statement_timeout", "30s"}};
  auto connection = OpenClient(db().ConnectionString());
  for (const Probe& probe : probes) {
    SCOPED_TRACE(probe.sql);
    EXPECT_EQ(Scalar(connection, probe.sql), probe.expected);
  }
  if (provider() == Provider::PostgreSQL) {
    // Notices and warnings of the server stay off the host's stderr.
    testing::internal::CaptureStderr();
    connection->Execute("DO $$BEGIN RAISE WARNING 'loud'; RAISE NOTICE 'louder'; END$$");
    OpenQuery(connection, "SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  connection->Close();
}

TEST_P(Connections, RunsOneStatementPerCall) {
  db().Exec("CREATE TABLE T (A INTEGER)");
  auto connection = OpenClient(db().ConnectionString());
  for (const char* sql :
       {"SELECT 1; SELECT 2", "SELECT A FROM T;SELECT A FROM T", "SELECT 1; DELETE FROM T"}) {
    SCOPED_TRACE(sql);
    Error on_execute = CaptureError([&] { connection->Execute(sql); });
    Error on_query = CaptureError([&] { OpenQuery(connection, sql); });
    if (provider() == Provider::SQLite) {
      EXPECT_EQ(on_query.Number(), db::dberr::kInvalidArgument);
      EXPECT_EQ(on_query.Description(),
                "The command text holds more than one statement; only one statement is run per "
                "call.");
    } else {
      EXPECT_EQ(on_query.NativeCode(), "42601");
      EXPECT_EQ(on_query.Description(),
                "cannot insert multiple commands into a prepared statement");
    }
    EXPECT_EQ(on_execute.Number(), on_query.Number());
    EXPECT_EQ(on_query.Statement(), sql);
  }
  // A trailing semicolon or comment is no second statement.
  for (const char* sql : {"SELECT 1;", "SELECT 1 ; -- done", "SELECT 1 /* c */ ;  "}) {
    SCOPED_TRACE(sql);
    EXPECT_FALSE(OpenQuery(connection, sql)->Eof());
  }
  connection->Close();
}

TEST_P(Connections, SessionsAreReadOnly) {
  db().Exec("CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1)");
  auto connection = OpenClient(db().ConnectionString());
  for (const char* sql : {"INSERT INTO T VALUES (2)", "UPDATE T SET A = 3", "DELETE FROM T",
                          "CREATE TABLE U (B INTEGER)"}) {
    SCOPED_TRACE(sql);
    Error e = CaptureError([&] { connection->Execute(sql); });
    if (provider() == Provider::SQLite) {
      EXPECT_EQ(e.Number(), 8);
      EXPECT_EQ(e.Source(), "SQLite");
      EXPECT_EQ(e.NativeCode(), "SQLITE_READONLY");
      EXPECT_EQ(e.Description(), "attempt to write a readonly database");
    } else {
      EXPECT_EQ(e.Number(), PackedSqlState("25006"));
      EXPECT_EQ(e.Source(), "PostgreSQL");
      EXPECT_EQ(e.NativeCode(), "25006");
      EXPECT_EQ(e.Description().rfind("cannot execute ", 0), 0u) << e.Description();
    }
    EXPECT_EQ(e.Statement(), sql);
  }
  if (provider() == Provider::SQLite) {
    // Nor can a statement switch the session back to writable or attach another file.
    for (const char* sql : {"PRAGMA query_only=0", "ATTACH 'other.db' AS o"}) {
      SCOPED_TRACE(sql);
      EXPECT_EQ(CaptureError([&] { connection->Execute(sql); }).NativeCode(), "SQLITE_AUTH");
    }
  }
  connection->Close();
  EXPECT_EQ(db().QueryText("SELECT count(*) FROM T"), "1");
}

TEST_P(Connections, KeepsAPooledSessionUnlessPoolingIsOff) {
  const std::string pooled = db().ConnectionString();
  const std::string unpooled = pooled + ";Pooling=False";
  const std::string single = pooled + ";Max Pool Size=1";

  auto first = OpenClient(pooled);
  std::string first_backend = provider() == Provider::PostgreSQL ? BackendId(first) : "";
  first->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
  auto second = OpenClient(pooled);
  EXPECT_EQ(db::PooledConnectionCount(), 0);  // the kept one was taken
  if (provider() == Provider::PostgreSQL) {
    EXPECT_EQ(BackendId(second), first_backend);
  }
  EXPECT_NE(second->TraceId(), first->TraceId());
  second->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);

  db::DrainPool();
  EXPECT_EQ(db::PooledConnectionCount(), 0);
  for (int i = 0; i < 2; ++i) {
    auto connection = OpenClient(unpooled);
    connection->Close();
    EXPECT_EQ(db::PooledConnectionCount(), 0);
  }

  auto a = OpenClient(single);
  auto b = OpenClient(single);
  a->Close();
  b->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

TEST_P(Connections, BrokenPooledSessionIsDiscarded) {
  if (provider() != Provider::PostgreSQL) GTEST_SKIP() << "only a server can break a session";
  auto connection = OpenClient(db().ConnectionString());
  std::string backend = BackendId(connection);
  connection->Close();
  ASSERT_EQ(db::PooledConnectionCount(), 1);
  db().Exec("SELECT pg_terminate_backend(" + backend + ")");
  for (int i = 0; i < 200; ++i) {
    if (db().QueryText("SELECT count(*) FROM pg_stat_activity WHERE pid = " + backend) == "0") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto again = OpenClient(db().ConnectionString());
  EXPECT_EQ(db::PooledConnectionCount(), 0);
  EXPECT_NE(BackendId(again), backend);
  again->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

TEST_P(Connections, CommandTimeOutCancelsALongStatement) {
  const std::string sql = provider() == Provider::SQLite
                              ? "WITH RECURSIVE C(X) AS (SELECT 1 UNION ALL SELECT X + 1 FROM C) "
                                "SELECT count(*) FROM C"
                              : "SELECT pg_sleep(5)";
  auto connection = OpenClient(db().ConnectionString(), 1);
  for (bool as_query : {true, false}) {
    SCOPED_TRACE(as_query ? "record set" : "execute");
    auto start = Clock::now();
    Error e = CaptureError([&] {
      if (as_query) {
        OpenQuery(connection, sql);
      } else {
        connection->Execute(sql);
      }
    });
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(4));
    if (provider() == Provider::SQLite) {
      EXPECT_EQ(e.Number(), 9);
      EXPECT_EQ(e.NativeCode(), "SQLITE_INTERRUPT");
      EXPECT_EQ(e.Description(), "interrupted");
    } else {
      EXPECT_EQ(e.NativeCode(), "57014");
      EXPECT_EQ(e.Description(), "canceling statement due to statement timeout");
    }
  }
  // The connection is still usable, and a time-out of 0 means none.
  connection->CommandTimeout = 0;
  EXPECT_EQ(Scalar(connection, "SELECT 1"), "1");
  connection->Close();
}

TEST_P(Connections, ColumnSchemaMatchesNamesAsUnquotedIdentifiers) {
  db().Exec("CREATE TABLE CONTRACT_T (ID INTEGER, Amount REAL, NOTE TEXT)");
  db().Exec("CREATE TABLE OTHER_T (ID INTEGER)");
  auto connection = OpenClient(db().ConnectionString());
  const bool lite = provider() == Provider::SQLite;
  struct Case {
    Variant table, column;
    // TABLE_NAME.COLUMN_NAME:ORDINAL_POSITION as SQLite keeps the names; PostgreSQL reports
    // the same in lower case.
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {Variant("CONTRACT_T"), Variant("AMOUNT"), {"CONTRACT_T.Amount:2"}},
      {Variant("contract_t"), Variant("note"), {"CONTRACT_T.NOTE:3"}},
      {Variant("CONTRACT_T"), Variant("MISSING"), {}},
      {Variant("NO_SUCH_TABLE"), Variant("ID"), {}},
      {Variant("CONTRACT_T"), Variant("ID' OR '1'='1"), {}},
      {Variant("CONTRACT_T"),
       Variant::Null(),
       {"CONTRACT_T.ID:1", "CONTRACT_T.Amount:2", "CONTRACT_T.NOTE:3"}},
      {Variant::Null(), Variant("id"), {"CONTRACT_T.ID:1", "OTHER_T.ID:1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.table.IsNull() ? "Null" : c.table.ToString()) + " / " +
                 (c.column.IsNull() ? "Null" : c.column.ToString()));
    auto rs = connection->OpenSchema(db::kSchemaColumns,
                                     {Variant::Null(), Variant::Null(), c.table, c.column});
    EXPECT_EQ(rs->FieldNames(),
              (std::vector<std::string>{"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME",
                                        "COLUMN_NAME", "ORDINAL_POSITION", "DATA_TYPE"}));
    std::vector<std::string> got;
    for (; !rs->Eof(); rs->MoveNext()) {
      got.push_back(rs->Field("TABLE_NAME").ToString() + "." + rs->Field("COLUMN_NAME").ToString() +
                    ":" + rs->Field("ORDINAL_POSITION").ToString());
      EXPECT_FALSE(rs->Field("DATA_TYPE").ToString().empty());
    }
    std::vector<std::string> expected = c.expected;
    if (!lite) {
      for (auto& e : expected) {
        for (auto& ch : e) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      }
    }
    EXPECT_EQ(got, expected);
  }
  // Restrictions may be cut short; an unknown schema kind is refused.
  auto all = connection->OpenSchema(db::kSchemaColumns, {});
  EXPECT_EQ(all->RecordCount(), 4);
  EXPECT_EQ(CaptureError([&] { connection->OpenSchema(20, {}); }).Number(),
            db::dberr::kNotSupported);
  connection->Close();
}

TEST_P(Connections, FailedStatementsLeaveTheConnectionUsable) {
  auto connection = OpenClient(db().ConnectionString());
  Error e = CaptureError([&] { OpenQuery(connection, "SELECT * FROM NO_SUCH_TABLE"); });
  if (provider() == Provider::SQLite) {
    EXPECT_EQ(e.Number(), 1);
    EXPECT_EQ(e.NativeCode(), "SQLITE_ERROR");
    EXPECT_EQ(e.Description(), "no such table: NO_SUCH_TABLE");
  } else {
    EXPECT_EQ(e.Number(), PackedSqlState("42P01"));
    EXPECT_EQ(e.NativeCode(), "42P01");
    EXPECT_EQ(e.Description(), "relation \"no_such_table\" does not exist");
  }
  EXPECT_EQ(e.Statement(), "SELECT * FROM NO_SUCH_TABLE");
  EXPECT_EQ(Scalar(connection, "SELECT 2"), "2");
  connection->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

CARVALEN_INSTANTIATE_DATABASE_TESTS(Connections);

// Opens that fail, whatever the reason, raise a clear error and leave no connection open.
TEST(ConnectionOpen, FailuresAreClearAndLeaveNothingOpen) {
  const auto empty_dir =
      std::filesystem::temp_directory_path() / ("carvalen-nopg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(empty_dir);
  struct Case {
    std::string connection_string;
    std::string source;
    std::int32_t number;
    std::string description_start;
  };
  const Case cases[] = {
      {"Provider=Oracle;Data Source=x.db", "Carvalen.Database", db::dberr::kProviderNotFound,
       "Provider cannot be found. It may not be properly installed. Unknown Provider 'Oracle'"},
      {"Provider=SQLite;Data Source=x.db;Colour=red", "Carvalen.Database",
       db::dberr::kInvalidArgument,
       "Invalid connection string: the key 'colour' is not known to the SQLite provider."},
      {"Provider=PostgreSQL;Host=" + empty_dir.string() + ";Colour=red", "Carvalen.Database",
       db::dberr::kInvalidArgument,
       "Invalid connection string: the key 'colour' is known neither to the PostgreSQL provider "
       "nor to libpq."},
      {"Provider=SQLite", "Carvalen.Database", db::dberr::kInvalidArgument,
       "Invalid connection string: the SQLite provider needs a Data Source."},
      {"Provider=SQLite;Data Source=" + (empty_dir / "missing.db").string(), "SQLite", 14,
       "unable to open database file"},
      {"Provider=PostgreSQL;Host=" + empty_dir.string() +
           ";Port=54329;Database=carvalen_test;User ID=nobody",
       "PostgreSQL", PackedSqlState("08001"), "connection to server on socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connection_string);
    const std::int64_t before = db::OpenConnectionCount();
    auto connection = std::make_shared<db::Connection>();
    connection->ConnectionTimeout = 2;
    auto start = Clock::now();
    Error e = CaptureError([&] { connection->Open(c.connection_string); });
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(e.Source(), c.source);
    EXPECT_EQ(e.Number(), c.number);
    EXPECT_EQ(e.Description().rfind(c.description_start, 0), 0u) << e.Description();
    EXPECT_EQ(connection->State(), db::kStateClosed);
    EXPECT_EQ(db::OpenConnectionCount(), before);
  }
  std::filesystem::remove_all(empty_dir);
}

TEST(ConnectionOpen, MissingSqliteFileIsNotCreated) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("carvalen-missing-" + std::to_string(::getpid()) + ".db");
  db::Connection connection;
  Error e = CaptureError([&] { connection.Open("Provider=SQLite;Data Source=" + path.string()); });
  EXPECT_EQ(e.NativeCode(), "SQLITE_CANTOPEN");
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace carvalen::test
