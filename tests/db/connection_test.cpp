// Connections over both databases: the isolation command, one statement per call, read-only
// sessions, failed opens, pooling, broken pooled sessions and the command time-out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/client_test.hpp"

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

// What a session refuses: a second statement in one call, and any write.
TEST_P(Connections, RefusesASecondStatementAndWrites) {
  db().Exec("CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1)");
  auto connection = OpenClient(db().ConnectionString());
  const std::string twice =
      lite() ? "The command text holds more than one statement; only one statement is run per call."
             : "cannot insert multiple commands into a prepared statement";
  const std::string write = lite() ? "attempt to write a readonly database" : "cannot execute ";
  const std::int32_t twice_number =
      lite() ? db::dberr::kInvalidArgument : 16801924 /* SQLSTATE 42601 */;
  const std::int32_t write_number = lite() ? 8 : 100663618 /* SQLSTATE 25006 */;
  const struct {
    const char* sql;
    std::int32_t number;
    const std::string& description;  // its start
  } cases[] = {
      {"SELECT 1; SELECT 2", twice_number, twice},
      {"SELECT A FROM T;DELETE FROM T", twice_number, twice},
      {"INSERT INTO T VALUES (2)", write_number, write},
      {"DELETE FROM T", write_number, write},
      {"CREATE TABLE U (B INT)", write_number, write},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    const Error e = CaptureError([&] { connection->Execute(c.sql); });
    EXPECT_EQ(e.Number(), c.number);
    EXPECT_TRUE(e.Description().starts_with(c.description)) << e.Description();
    EXPECT_EQ(e.Statement(), c.sql);
    if (&c.description == &write) {  // the driver's own text, kept for the log
      EXPECT_NE(e.NativeMessage().find(write), std::string::npos) << e.NativeMessage();
    }
    if (&c.description == &twice) {  // a record set refuses it too
      EXPECT_EQ(CaptureError([&] { OpenQuery(connection, c.sql); }).Description(), twice);
    }
  }
  // A trailing semicolon or comment is no second statement.
  for (const char* sql : {"SELECT 1;", "SELECT 1 ; -- done", "SELECT 1 /* c */ ;  "}) {
    EXPECT_FALSE(OpenQuery(connection, sql)->Eof()) << sql;
  }
  if (lite()) {  // nor can a statement make the session writable again or attach another file
    for (const char* sql : {"PRAGMA query_only=0", "ATTACH 'other.db' AS o"})
      EXPECT_EQ(CaptureError([&] { connection->Execute(sql); }).NativeCode(), "SQLITE_AUTH") << sql;
  }
  connection->Close();
  EXPECT_EQ(db().QueryText("SELECT count(*) FROM T"), "1");
}

// A closed session is kept and handed out again, unless pooling is off, the pool is full or the
// session broke.
TEST_P(Connections, ReusesAPooledSessionUnlessPoolingIsOffOrItBroke) {
  const std::string pooled = db().ConnectionString();
  auto first = OpenClient(pooled);
  const std::string backend = lite() ? "" : BackendId(first);
  first->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
  auto second = OpenClient(pooled);
  EXPECT_EQ(db::PooledConnectionCount(), 0);  // the kept one was taken
  EXPECT_EQ(lite() ? "" : BackendId(second), backend);
  second->Close();
  if (!lite()) {
    db().Exec("SELECT pg_terminate_backend(" + backend + ")");
    const std::string gone = "SELECT count(*) FROM pg_stat_activity WHERE pid = " + backend;
    for (int i = 0; i < 200 && db().QueryText(gone) != "0"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto again = OpenClient(pooled);
    EXPECT_EQ(db::PooledConnectionCount(), 0);
    EXPECT_NE(BackendId(again), backend);
    again->Close();
  }
  db::DrainPool();
  for (int i = 0; i < 2; ++i) OpenClient(pooled + ";Pooling=False")->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 0);
  auto a = OpenClient(pooled + ";Max Pool Size=1");
  auto b = OpenClient(pooled + ";Max Pool Size=1");
  a->Close();
  b->Close();
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
    EXPECT_EQ(e.Number(), lite() ? 9 : 67371461 /* SQLSTATE 57014 */);
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
  const std::string db_error = "Carvalen.Database";
  const struct {
    std::string connection_string, source;
    std::int32_t number;
    std::string description_start;
  } cases[] = {
      {"Provider=SQLite;Data Source=x.db;Colour=red", db_error, db::dberr::kInvalidArgument,
       "Invalid connection string: the key 'colour' is not known to the SQLite provider."},
      {"Provider=PostgreSQL;Host=" + dir.string() + ";Colour=red", db_error,
       db::dberr::kInvalidArgument,
       "Invalid connection string: the key 'colour' is known neither to the PostgreSQL provider "
       "nor to libpq."},
      {"Provider=SQLite", db_error, db::dberr::kInvalidArgument,
       "Invalid connection string: the SQLite provider needs a Data Source."},
      {"Provider=SQLite;Data Source=" + (dir / "missing.db").string(), "SQLite", 14,
       "unable to open database file"},
      {"Provider=PostgreSQL;Host=" + dir.string() + ";Port=54329;Database=x;User ID=nobody",
       "PostgreSQL", 16777728 /* SQLSTATE 08001 */, "connection to server on socket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connection_string);
    const std::int64_t before = db::OpenConnectionCount();
    db::Connection connection;
    const Error e = CaptureError([&] { connection.Open(c.connection_string); });
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
