// Connections over both databases: the isolation command, one statement per call, read-only
// sessions, failed opens, pooling, broken pooled sessions and the command time-out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "db/db_test_helpers.hpp"

namespace carvalen::test {
namespace {

using Clock = std::chrono::steady_clock;
using Connections = ClientTest;

std::string BackendId(const db::ConnectionPtr& connection) {
  auto rs = OpenQuery(connection, "SELECT pg_backend_pid()");
  return rs->Field("pg_backend_pid").ToString();
}

TEST_P(Connections, IsolationCommandTakesEffectAndServerNoticesStayOffStderr) {
  const struct {
    const char* command;
    const char* sqlite;  // PRAGMA read_uncommitted
    const char* pg;      // SHOW transaction_isolation
  } cases[] = {
      {"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED", "1", "read uncommitted"},
      {"  set transaction\tisolation level   repeatable read ;", "0", "repeatable read"},
      {"SET TRANSACTION ISOLATION LEVEL SERIALIZABLE", "0", "serializable"},
      {"SET TRANSACTION ISOLATION LEVEL READ COMMITTED", "0", "read committed"},
  };
  auto connection = OpenClient(db().ConnectionString());
  const char* probe = lite() ? "PRAGMA read_uncommitted" : "SHOW transaction_isolation";
  testing::internal::CaptureStderr();
  for (const auto& c : cases) {
    connection->Execute(c.command);
    EXPECT_EQ(Scalar(connection, probe), lite() ? c.sqlite : c.pg) << c.command;
  }
  if (!lite()) {  // the server warns of SET TRANSACTION outside a transaction, and of these
    OpenQuery(connection, cases[0].command);
    connection->Execute("DO $$BEGIN RAISE WARNING 'a'; RAISE NOTICE 'b'; END$$");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  connection->Close();
}

TEST_P(Connections, RefusesASecondStatement) {
  db().Exec("CREATE TABLE T (A INTEGER)");
  auto connection = OpenClient(db().ConnectionString());
  for (const char* sql : {"SELECT 1; SELECT 2", "SELECT A FROM T;DELETE FROM T"}) {
    SCOPED_TRACE(sql);
    const Error on_execute = CaptureError([&] { connection->Execute(sql); });
    const Error on_query = CaptureError([&] { OpenQuery(connection, sql); });
    EXPECT_EQ(on_query.Number(), lite() ? db::dberr::kInvalidArgument : PackedSqlState("42601"));
    EXPECT_EQ(on_query.Description(),
              lite() ? "The command text holds more than one statement; only one statement is run "
                       "per call."
                     : "cannot insert multiple commands into a prepared statement");
    EXPECT_EQ(on_query.Statement(), sql);
    EXPECT_EQ(on_execute.Number(), on_query.Number());
  }
  // A trailing semicolon or comment is no second statement.
  for (const char* sql : {"SELECT 1;", "SELECT 1 ; -- done", "SELECT 1 /* c */ ;  "}) {
    EXPECT_FALSE(OpenQuery(connection, sql)->Eof()) << sql;
  }
  connection->Close();
}

TEST_P(Connections, SessionsAreReadOnly) {
  db().Exec("CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1)");
  auto connection = OpenClient(db().ConnectionString());
  for (const char* sql : {"INSERT INTO T VALUES (2)", "DELETE FROM T", "CREATE TABLE U (B INT)"}) {
    SCOPED_TRACE(sql);
    const Error e = CaptureError([&] { connection->Execute(sql); });
    EXPECT_EQ(e.Number(), lite() ? 8 : PackedSqlState("25006"));
    EXPECT_EQ(e.Source(), lite() ? "SQLite" : "PostgreSQL");
    EXPECT_EQ(e.NativeCode(), lite() ? "SQLITE_READONLY" : "25006");
    EXPECT_TRUE(lite() ? e.Description() == "attempt to write a readonly database"
                       : e.Description().starts_with("cannot execute "))
        << e.Description();
    EXPECT_EQ(e.Statement(), sql);
  }
  // Nor can a statement make a SQLite session writable again or attach another file.
  for (const char* sql : {"PRAGMA query_only=0", "ATTACH 'other.db' AS o"}) {
    if (lite()) {
      EXPECT_EQ(CaptureError([&] { connection->Execute(sql); }).NativeCode(), "SQLITE_AUTH");
    }
  }
  connection->Close();
  EXPECT_EQ(db().QueryText("SELECT count(*) FROM T"), "1");
}

TEST_P(Connections, ReusesAPooledSessionUnlessPoolingIsOff) {
  const std::string pooled = db().ConnectionString();
  auto first = OpenClient(pooled);
  const std::string backend = lite() ? "" : BackendId(first);
  first->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
  auto second = OpenClient(pooled);
  EXPECT_EQ(db::PooledConnectionCount(), 0);  // the kept one was taken
  EXPECT_EQ(lite() ? "" : BackendId(second), backend);
  second->Close();

  db::DrainPool();
  for (int i = 0; i < 2; ++i) OpenClient(pooled + ";Pooling=False")->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 0);
  auto a = OpenClient(pooled + ";Max Pool Size=1");
  auto b = OpenClient(pooled + ";Max Pool Size=1");
  a->Close();
  b->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

TEST_P(Connections, BrokenPooledSessionIsDiscarded) {
  if (lite()) GTEST_SKIP() << "only a server can break a session";
  auto connection = OpenClient(db().ConnectionString());
  const std::string backend = BackendId(connection);
  connection->Close();
  ASSERT_EQ(db::PooledConnectionCount(), 1);
  db().Exec("SELECT pg_terminate_backend(" + backend + ")");
  for (int i = 0; i < 200; ++i) {
    if (db().QueryText("SELECT count(*) FROM pg_stat_activity WHERE pid = " + backend) == "0")
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto again = OpenClient(db().ConnectionString());
  EXPECT_EQ(db::PooledConnectionCount(), 0);
  EXPECT_NE(BackendId(again), backend);
  again->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

TEST_P(Connections, CommandTimeOutCancelsALongStatement) {
  const std::string sql = lite()
                              ? "WITH RECURSIVE C(X) AS (SELECT 1 UNION ALL SELECT X + 1 FROM C) "
                                "SELECT count(*) FROM C"
                              : "SELECT pg_sleep(5)";
  auto connection = OpenClient(db().ConnectionString(), 1);
  for (bool as_query : {true, false}) {
    SCOPED_TRACE(as_query ? "record set" : "execute");
    const auto start = Clock::now();
    const Error e = CaptureError(
        [&] { as_query ? void(OpenQuery(connection, sql)) : connection->Execute(sql); });
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(4));
    EXPECT_EQ(e.Number(), lite() ? 9 : PackedSqlState("57014"));
    EXPECT_EQ(e.NativeCode(), lite() ? "SQLITE_INTERRUPT" : "57014");
    EXPECT_EQ(e.Description(),
              lite() ? "interrupted" : "canceling statement due to statement timeout");
  }
  // The connection is still usable, and a time-out of 0 means none.
  connection->CommandTimeout = 0;
  EXPECT_EQ(Scalar(connection, "SELECT 1"), "1");
  connection->Close();
}

CARVALEN_INSTANTIATE_DATABASE_TESTS(Connections);

// Opens that fail, whatever the reason, raise a clear error and leave no connection open.
TEST(ConnectionOpen, FailuresAreClearAndLeaveNothingOpen) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("carvalen-nopg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const struct {
    std::string connection_string;
    std::string source;
    std::int32_t number;
    std::string description_start;
  } cases[] = {
      {"Provider=Oracle;Data Source=x.db", "Carvalen.Database", db::dberr::kProviderNotFound,
       "Provider cannot be found."},
      {"Provider=SQLite;Data Source=x.db;Colour=red", "Carvalen.Database",
       db::dberr::kInvalidArgument,
       "Invalid connection string: the key 'colour' is not known to the SQLite provider."},
      {"Provider=PostgreSQL;Host=" + dir.string() + ";Colour=red", "Carvalen.Database",
       db::dberr::kInvalidArgument,
       "Invalid connection string: the key 'colour' is known neither to the PostgreSQL provider "
       "nor to libpq."},
      {"Provider=SQLite", "Carvalen.Database", db::dberr::kInvalidArgument,
       "Invalid connection string: the SQLite provider needs a Data Source."},
      {"Provider=SQLite;Data Source=" + (dir / "missing.db").string(), "SQLite", 14,
       "unable to open database file"},
      {"Provider=PostgreSQL;Host=" + dir.string() +
           ";Port=54329;Database=carvalen_test;User ID=nobody",
       "PostgreSQL", PackedSqlState("08001"), "connection to server on socket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connection_string);
    const std::int64_t before = db::OpenConnectionCount();
    db::Connection connection;
    connection.ConnectionTimeout = 2;
    const auto start = Clock::now();
    const Error e = CaptureError([&] { connection.Open(c.connection_string); });
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(e.Source(), c.source);
    EXPECT_EQ(e.Number(), c.number);
    EXPECT_TRUE(e.Description().starts_with(c.description_start)) << e.Description();
    EXPECT_EQ(connection.State(), db::kStateClosed);
    EXPECT_EQ(db::OpenConnectionCount(), before);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));  // a missing file is not created
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace carvalen::test
