// Connections over both databases: the isolation command, one statement per call, read-only
// sessions and files, pooling, broken pooled sessions, the command time-out and the SQL trace.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "carvalen/settings.hpp"
#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Connections = ClientTest;

TEST_P(Connections, IsolationCommandTakesEffectAndServerNoticesStayOffStderr) {
  // The command, and what PRAGMA read_uncommitted or SHOW transaction_isolation then says.
  const std::array<const char*, 3> cases[] = {
      {"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED", "1", "read uncommitted"},
      {"  set transaction\tisolation level   repeatable read ;", "0", "repeatable read"}};
  auto connection = OpenClient(db().ConnectionString());
  const char* probe = lite() ? "PRAGMA read_uncommitted" : "SHOW transaction_isolation";
  ::testing::internal::CaptureStderr();
  for (const auto& [command, sqlite, pg] : cases) {
    connection->Execute(command);
    EXPECT_EQ(Scalar(connection, probe), lite() ? sqlite : pg) << command;
  }
  if (!lite()) {  // the server warns of SET TRANSACTION outside a transaction, and of these
    OpenQuery(connection, cases[0][0]);
    connection->Execute("DO $$BEGIN RAISE WARNING 'a'; RAISE NOTICE 'b'; END$$");
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
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
  EXPECT_EQ(db().QueryText("SELECT count(*) FROM T"), "1");
}

// A closed session is kept and handed out again, unless pooling is off or the session broke (Max
// Pool Size is PoolBound's, in tests/reliability).
TEST_P(Connections, ReusesAPooledSessionUnlessPoolingIsOffOrItBroke) {
  const std::string pooled = db().ConnectionString();
  auto first = OpenClient(pooled);
  const std::string backend = lite() ? "" : Scalar(first, "SELECT pg_backend_pid()");
  first->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
  auto second = OpenClient(pooled);
  EXPECT_EQ(db::PooledConnectionCount(), 0);  // the kept one was taken
  EXPECT_EQ(lite() ? "" : Scalar(second, "SELECT pg_backend_pid()"), backend);
  second->Close();
  if (!lite()) {
    db().Exec("SELECT pg_terminate_backend(" + backend + ")");
    const std::string gone = "SELECT count(*) FROM pg_stat_activity WHERE pid = " + backend;
    for (int i = 0; i < 200 && db().QueryText(gone) != "0"; ++i) std::this_thread::sleep_for(10ms);
    auto again = OpenClient(pooled);
    EXPECT_EQ(db::PooledConnectionCount(), 0);
    EXPECT_NE(Scalar(again, "SELECT pg_backend_pid()"), backend);
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
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 4s);
    EXPECT_EQ(e.Number(), lite() ? 9 : 67371461 /* SQLSTATE 57014 */);
    EXPECT_EQ(e.NativeCode(), lite() ? "SQLITE_INTERRUPT" : "57014");
    EXPECT_EQ(e.Description(),
              lite() ? "interrupted" : "canceling statement due to statement timeout");
  }
  // The connection is still usable, and a time-out of 0 means none.
  connection->CommandTimeout = 0;
  EXPECT_EQ(Scalar(connection, "SELECT 1"), "1");
}

// Quoted text stays text whatever the server's defaults say about backslashes (here those of a
// role of the test's own), and a session where a statement switched the quoting rule off is not
// pooled.
TEST_P(Connections, QuotedTextStaysTextWhateverTheQuotingDefaults) {
  db().Exec("CREATE TABLE T (C TEXT); INSERT INTO T VALUES ('A'), ('B')");
  const std::string sql = "SELECT count(*) FROM T WHERE C = 'NOPE\\'' OR 1=1 --'";
  std::vector<std::string> connection_strings{db().ConnectionString()};
  const std::string schema = db().Location(), role = schema + "_reader";
  std::optional<std::string> admin;  // the role's maker: the test user, else the superuser
  const std::shared_ptr<void> drop(nullptr, [&](void*) {
    db::DrainPool();  // its sessions first
    if (admin)
      PgExecAs(*admin, "REVOKE ALL ON ALL TABLES IN SCHEMA " + schema + " FROM " + role +
                           "; REVOKE ALL ON SCHEMA " + schema + " FROM " + role + "; DROP ROLE " +
                           role);
  });
  for (const char* user : {"", "postgres"}) {
    if (!lite() && !admin && PgExecAs(user, "CREATE ROLE " + role + " LOGIN")) admin = user;
  }
  if (!lite()) {
    ASSERT_TRUE(admin.has_value())
        << "cannot create a role: neither the test user nor postgres may";
    ASSERT_TRUE(PgExecAs(*admin, "GRANT USAGE ON SCHEMA " + schema + " TO " + role +
                                     "; GRANT SELECT ON ALL TABLES IN SCHEMA " + schema + " TO " +
                                     role + "; ALTER ROLE " + role +
                                     " SET standard_conforming_strings = off"));
    connection_strings.push_back(db().ConnectionString() + ";User ID=" + role);
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
}

// The SQL trace: one JSON object a line per event, in order, with the exact texts.
TEST_P(Connections, TraceRecordsEveryEventInOrderWithTheExactText) {
  const testing::TempFolder folder;
  testing::ScopedSetting trace(Setting::SqlTrace, (folder / "trace").string());
  db().Exec("CREATE TABLE T (A INTEGER)");
  db::Connection refused;
  CaptureError([&] { refused.Open("Provider=SQLite;Data Source=/nonexistent/x.db;Password=pw"); });
  auto connection = OpenClient(db().ConnectionString());
  connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
  CaptureError([&] { OpenQuery(connection, "SELECT * FROM NOPE"); });
  connection->OpenSchema(db::kSchemaColumns, {Variant::Null(), Variant::Null(), Variant("T")});
  connection->Close();
  OpenClient(db().ConnectionString())->Close();  // the pooled session, under a new id
  SetSetting(Setting::SqlTrace, "");
  OpenClient(db().ConnectionString())->Close();  // not traced

  std::vector<nlohmann::ordered_json> lines;  // each parses: no line was torn
  std::ifstream in(folder / "trace");
  for (std::string line; std::getline(in, line);)
    lines.push_back(nlohmann::ordered_json::parse(line));
  const std::pair<const char*, std::string> expected[] = {
      {"open", "Provider=SQLite;Data Source=/nonexistent/x.db;Password=***"},
      {"open", db().ConnectionString()},
      {"execute", "SET TRANSACTION ISOLATION LEVEL READ COMMITTED"},
      {"query", "SELECT * FROM NOPE"},
      {"schema", ""},
      {"close", ""},
      {"open", db().ConnectionString()},
      {"close", ""},
  };
  ASSERT_EQ(lines.size(), std::size(expected));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lines[i].begin().key(), "conn");  // members in the documented order
    // Every open, failed or pooled, gets an id of its own.
    EXPECT_EQ(lines[i]["conn"] == connection->TraceId(), i >= 1 && i <= 5);
    EXPECT_EQ(lines[i]["event"], expected[i].first);
    if (!expected[i].second.empty()) {
      EXPECT_EQ(lines[i]["sql"], expected[i].second);
    }
    EXPECT_EQ(lines[i].contains("error"), i == 0 || i == 3);
  }
  // The server actually connected, where there is one.
  const bool server = GetParam() == Provider::PostgreSQL;
  EXPECT_EQ(lines[1].contains("host"), server);
  EXPECT_EQ(lines[1].contains("port") && lines[1]["port"].is_number(), server);
  EXPECT_EQ(lines[4]["table"], "T");
  EXPECT_TRUE(lines[4]["column"].is_null());
  EXPECT_EQ(lines[7]["conn"], lines[6]["conn"]);
}

CARVALEN_ON_PROVIDERS(Connections);

/// What a reader could change about a database: the file's bytes and mode, and the folder's
/// entries.
std::string FileState(const fs::path& file) {
  const std::string bytes = testing::ReadFile(file);
  std::string state = std::to_string(static_cast<int>(fs::status(file).permissions())) + " " +
                      std::to_string(bytes.size()) + " " +
                      std::to_string(std::hash<std::string>{}(bytes));
  for (const auto& entry : fs::directory_iterator(file.parent_path())) {
    state += "\n" + entry.path().filename().string();
  }
  return state;
}

// The client changes nothing about a database file, whatever its journal mode: no pragma that
// persists, no file beside a rollback-journal database. A file and folder that the reader may
// not write (a child process without root's privileges, so that permissions bind) are still
// read: a WAL database then as immutable, since its -shm index cannot be made, and such a
// session is not pooled.
TEST(SqliteFiles, AreReadWithoutBeingChanged) {
  const struct {
    std::string journal;
    int file, folder;
    bool unprivileged;
  } cases[] = {{"DELETE", 0644, 0755, false},
               {"DELETE", 0444, 0755, false},
               {"DELETE", 0444, 0555, true},
               {"WAL", 0444, 0555, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.journal + " " + std::to_string(c.file) + " " + std::to_string(c.folder));
    testing::TempFolder folder;
    const auto file = folder / "contracts.db";
    sqlite3* raw = nullptr;  // closed, a WAL one checkpointed: its -wal and -shm gone
    sqlite3_open(file.c_str(), &raw);
    const std::string sql = "PRAGMA journal_mode=" + c.journal +
                            "; CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1), (2);";
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    fs::permissions(file, fs::perms(c.file));
    fs::permissions(folder.path, fs::perms(c.folder));
    const std::string before = FileState(file);
    db::DrainPool();  // the child must not inherit sessions
    const pid_t pid = fork();
    if (pid == 0) {
      bool read = false;
      if (!c.unprivileged || geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0)) {
        try {
          auto connection = OpenClient("Provider=SQLite;Data Source=" + file.string());
          connection->Execute("SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
          read = Scalar(connection, "SELECT count(*) FROM T") == "2" &&
                 (c.journal == "WAL" || Scalar(connection, "PRAGMA journal_mode") == "delete");
          connection->Close();
          read = read && db::PooledConnectionCount() == (c.journal == "WAL" ? 0 : 1);
        } catch (const Error& e) {
          std::fprintf(stderr, "%s\n", e.Description().c_str());
        }
      }
      _exit(read ? 0 : 1);  // no destructors: nothing of the parent's is the child's to close
    }
    int status = 1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(FileState(file), before);
    fs::permissions(folder.path, fs::perms(0700));
  }
}

}  // namespace
}  // namespace carvalen::test
