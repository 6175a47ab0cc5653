// Connections over both databases: the isolation command, one statement per call, read-only
// sessions, failed opens, pooling, broken pooled sessions and the command time-out.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using Clock = std::chrono::steady_clock;
using Connections = ClientTest;

std::string BackendId(const db::ConnectionPtr& connection) {
  return Scalar(connection, "SELECT pg_backend_pid()");
}

TEST_P(Connections, IsolationCommandTakesEffectAndServerNoticesStayOffStderr) {
  const struct {
    const char* command;
    const char* sqlite;  // PRAGMA read_uncommitted
    const char* pg;      // SHOW transaction_isolation
  } cases[] = {
      {"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED", "1", "read uncommitted"},
      {"  set transaction\tisolation level   repeatable read ;", "0", "repeatable read"},
  };
  auto connection = OpenClient(db().ConnectionString());
  const char* probe = lite() ? "PRAGMA read_uncommitted" : "SHOW transaction_isolation";
  ::testing::internal::CaptureStderr();
  for (const auto& c : cases) {
    connection->Execute(c.command);
    EXPECT_EQ(Scalar(connection, probe), lite() ? c.sqlite : c.pg) << c.command;
  }
  if (!lite()) {  // the server warns of SET TRANSACTION outside a transaction, and of these
    OpenQuery(connection, cases[0].command);
    connection->Execute("DO $$BEGIN RAISE WARNING 'a'; RAISE NOTICE 'b'; END$$");
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
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
      {"SELECT A FROM T;DELETE FROM T", twice_number, twice},  // the write is never reached
      {"INSERT INTO T VALUES (2)", write_number, write},
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

// A closed session is kept and handed out again, unless pooling is off or the session broke (Max
// Pool Size is threads_test's PoolBound).
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

/// A login role of the test's own that may read `schema`, made and dropped by the test user when
/// it may create roles, else by the cluster's bootstrap superuser. Empty name when neither may.
struct ScratchRole {
  explicit ScratchRole(const std::string& schema) : schema(schema) {
    for (const char* user : {"", "postgres"}) {
      if (!PgExecAs(user, "CREATE ROLE " + schema + "_reader LOGIN")) continue;
      admin = user;
      name = schema + "_reader";
      PgExecAs(admin, "GRANT USAGE ON SCHEMA " + schema + " TO " + name +
                          "; GRANT SELECT ON ALL TABLES IN SCHEMA " + schema + " TO " + name);
      return;
    }
  }
  ~ScratchRole() {
    if (name.empty()) return;
    db::DrainPool();  // its sessions first
    PgExecAs(admin, "REVOKE ALL ON ALL TABLES IN SCHEMA " + schema + " FROM " + name +
                        "; REVOKE ALL ON SCHEMA " + schema + " FROM " + name + "; DROP ROLE " +
                        name);
  }
  std::string schema, admin, name;
};

// Quoted text stays text whatever the server's defaults say about backslashes; the quoting rule
// cannot be switched off through the connection string, and a session where a statement switched
// it off is not pooled.
TEST_P(Connections, QuotedTextStaysTextWhateverTheQuotingDefaults) {
  db().Exec("CREATE TABLE T (C TEXT); INSERT INTO T VALUES ('A'), ('B')");
  const std::string sql = "SELECT count(*) FROM T WHERE C = 'NOPE\\'' OR 1=1 --'";
  std::vector<std::string> connection_strings{db().ConnectionString()};
  std::optional<ScratchRole> role;
  if (!lite()) {
    role.emplace(db().Location());
    if (role->name.empty()) {
      ADD_FAILURE() << "cannot create a role: neither the test user nor postgres may";
    } else {
      ASSERT_TRUE(PgExecAs(role->admin,
                           "ALTER ROLE " + role->name + " SET standard_conforming_strings = off"));
      connection_strings.push_back(db().ConnectionString() + ";User ID=" + role->name);
    }
  }
  for (const std::string& connection_string : connection_strings) {
    SCOPED_TRACE(connection_string);
    auto connection = OpenClient(connection_string);
    EXPECT_EQ(Scalar(connection, sql), "0");
    if (!lite()) {
      EXPECT_EQ(Scalar(connection, "SHOW standard_conforming_strings"), "on");
      connection->Execute("SET standard_conforming_strings = off");
    }
    connection->Close();
    EXPECT_EQ(db::PooledConnectionCount(), lite() ? 1 : 0);
  }
  if (lite()) return;
  for (const char* option :
       {" -c standard_conforming_strings=off", " --Standard-Conforming\\_Strings=off"}) {
    SCOPED_TRACE(option);
    const Error e = CaptureError([&] { OpenClient(db().ConnectionString() + option); });
    EXPECT_EQ(e.Number(), db::dberr::kInvalidArgument);
    EXPECT_TRUE(e.Description().starts_with(
        "Invalid connection string: options may not set standard_conforming_strings"))
        << e.Description();
  }
}

CARVALEN_ON_PROVIDERS(Connections);

/// What a reader could change about a database: the file's bytes and mode, and the folder's
/// entries.
std::string FileState(const std::filesystem::path& file) {
  struct stat st {};
  ::stat(file.c_str(), &st);
  const std::string bytes = testing::ReadFile(file);
  std::string state = std::to_string(st.st_mode) + " " + std::to_string(bytes.size()) + " " +
                      std::to_string(std::hash<std::string>{}(bytes));
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    state += "\n" + entry.path().filename().string();
  }
  return state;
}

/// A database of two rows in `journal` mode, closed (a WAL one checkpointed, its -wal and -shm
/// gone).
void MakeSqliteFile(const std::filesystem::path& file, const std::string& journal) {
  sqlite3* raw = nullptr;
  sqlite3_open(file.c_str(), &raw);
  const std::string sql = "PRAGMA journal_mode=" + journal +
                          "; CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1), (2);";
  ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
}

/// Counts T's rows through the client in a child process that runs without root's privileges
/// (when the tests run as root), so that permissions bind. Answers the count and the idle
/// sessions pooled afterwards ("2 1"), or the error's description.
std::string CountUnprivileged(const std::string& connection_string) {
  db::DrainPool();  // the child must not inherit sessions
  int out[2];
  if (pipe(out) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    std::string outcome = "cannot drop privileges";
    if (geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0)) {
      try {
        auto connection = OpenClient(connection_string);
        outcome = Scalar(connection, "SELECT count(*) FROM T");
        connection->Close();
        outcome += " " + std::to_string(db::PooledConnectionCount());
      } catch (const Error& e) {
        outcome = e.Description();
      }
    }
    ssize_t ignored = write(out[1], outcome.data(), outcome.size());
    (void)ignored;
    _exit(0);  // no destructors: nothing of the parent's is the child's to close
  }
  close(out[1]);
  std::string outcome;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) outcome.append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return outcome;
}

// The client changes nothing about a database file, whatever its journal mode: no pragma that
// persists, no file beside a rollback-journal database. A file and folder that the reader may
// not write are still read: a WAL database then as immutable, since its -shm index cannot be
// made, and such a session is not pooled.
TEST(SqliteFiles, AreReadWithoutBeingChanged) {
  for (const std::string journal : {"DELETE", "WAL"}) {
    SCOPED_TRACE(journal);
    testing::TempFolder folder;
    const auto file = folder / "contracts.db";
    MakeSqliteFile(file, journal);
    const std::string connection_string = "Provider=SQLite;Data Source=" + file.string();
    if (journal == "DELETE") {
      for (auto mode : {std::filesystem::perms(0644), std::filesystem::perms(0444)}) {
        std::filesystem::permissions(file, mode);
        const std::string before = FileState(file);
        auto connection = OpenClient(connection_string);
        connection->Execute("SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
        EXPECT_EQ(Scalar(connection, "SELECT count(*) FROM T"), "2");
        EXPECT_EQ(Scalar(connection, "PRAGMA journal_mode"), "delete");
        connection->Close();
        db::DrainPool();
        EXPECT_EQ(FileState(file), before);
      }
    }
    std::filesystem::permissions(file, std::filesystem::perms(0444));
    std::filesystem::permissions(folder.path, std::filesystem::perms(0555));
    const std::string before = FileState(file);
    EXPECT_EQ(CountUnprivileged(connection_string), journal == "WAL" ? "2 0" : "2 1");
    EXPECT_EQ(FileState(file), before);
    std::filesystem::permissions(folder.path, std::filesystem::perms(0700));
  }
}

// Opens that fail, whatever the reason, raise a clear error and leave no connection open.
TEST(ConnectionOpen, FailuresAreClearAndLeaveNothingOpen) {
  const testing::TempFolder folder;
  const auto& dir = folder.path;
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
}

}  // namespace
}  // namespace carvalen::test
