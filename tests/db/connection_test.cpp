// Connections over both databases: sessions, read-only files, the pool, time-outs, the SQL trace.
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
#include <tuple>

#include "carvalen/settings.hpp"
#include "db/abandon.hpp"
#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Connections = ClientTest;

// The isolation command takes effect, and server notices stay off stderr; a session refuses a
// second statement in one call (in a record set too) and any write.
TEST_P(Connections, TakeTheIsolationCommandAndRefuseASecondStatementAndWrites) {
  db.Exec("CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1)");
  auto connection = OpenClient(db.ConnectionString());
  // The command, and what PRAGMA read_uncommitted or SHOW transaction_isolation then says.
  const std::array<const char*, 3> cases[] = {
      {"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED", "1", "read uncommitted"},
      {"  set transaction\tisolation level   repeatable read ;", "0", "repeatable read"}};
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
  const std::string twice =
      lite() ? "The command text holds more than one statement; only one statement is run per call."
             : "cannot insert multiple commands into a prepared statement";
  for (const char* sql : {"SELECT 1; SELECT 2", "SELECT A FROM T;DELETE FROM T"})  // no write
    for (const bool query : {false, true}) {
      const Error e = CaptureError(
          [&] { query ? void(OpenQuery(connection, sql)) : connection->Execute(sql); });
      EXPECT_EQ(e.Number(), lite() ? db::dberr::kInvalidArgument : 16801924 /* SQLSTATE 42601 */);
      EXPECT_EQ(e.Description() + " | " + e.Statement(), twice + " | " + sql);
    }
  const std::string write = lite() ? "attempt to write a readonly database" : "cannot execute ";
  const Error e = CaptureError([&] { connection->Execute("INSERT INTO T VALUES (2)"); });
  EXPECT_EQ(e.Number(), lite() ? 8 : 100663618 /* SQLSTATE 25006 */);
  EXPECT_TRUE(e.Description().starts_with(write)) << e.Description();
  EXPECT_EQ(e.Statement(), "INSERT INTO T VALUES (2)");
  EXPECT_NE(e.NativeMessage().find(write), std::string::npos) << "the driver's text, for the log";
  // A trailing semicolon or comment is no second statement.
  for (const char* sql : {"SELECT 1;", "SELECT 1 ; -- done", "SELECT 1 /* c */ ;  "})
    EXPECT_FALSE(OpenQuery(connection, sql)->Eof()) << sql;
  if (lite()) {  // nor can a statement make the session writable again or attach another file
    for (const char* sql : {"PRAGMA query_only=0", "ATTACH 'other.db' AS o"})
      EXPECT_EQ(CaptureError([&] { connection->Execute(sql); }).NativeCode(), "SQLITE_AUTH") << sql;
  }
  EXPECT_EQ(Scalar(connection, "SELECT count(*) FROM T"), "1");
}

// A closed session is reused unless pooling is off or it broke (Max Pool Size: tests/reliability).
TEST_P(Connections, ReusesAPooledSessionUnlessPoolingIsOffOrItBroke) {
  const std::string pooled = db.ConnectionString();
  auto first = OpenClient(pooled);
  const std::string backend = lite() ? "" : Scalar(first, "SELECT pg_backend_pid()");
  first->Close();
  auto second = OpenClient(pooled);
  EXPECT_EQ(db::PooledConnectionCount(), 0);  // the kept one was taken
  EXPECT_EQ(lite() ? "" : Scalar(second, "SELECT pg_backend_pid()"), backend);
  second->Close();
  if (!lite()) {
    db.Exec("SELECT pg_terminate_backend(" + backend + ")");
    const std::string gone = "SELECT count(*) FROM pg_stat_activity WHERE pid = " + backend;
    for (int i = 0; i < 200 && Scalar(OpenClient(pooled + ";Pooling=False"), gone) != "0"; ++i)
      std::this_thread::sleep_for(10ms);
    auto again = OpenClient(pooled);
    EXPECT_EQ(db::PooledConnectionCount(), 0);
    EXPECT_NE(Scalar(again, "SELECT pg_backend_pid()"), backend);
    again->Close();
  }
  db::DrainPool();
  for (int i = 0; i < 2; ++i) OpenClient(pooled + ";Pooling=False")->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 0);
}

// The caller gone: a host's abandon check says so.
TEST_P(Connections, CommandTimeOutOrAGoneCallerCancelsALongStatement) {
  const std::string sql = lite()
                              ? "WITH RECURSIVE C(X) AS (SELECT 1 UNION ALL SELECT X + 1 FROM C) "
                                "SELECT count(*) FROM C"
                              : "SELECT pg_sleep(5)";
  auto connection = OpenClient(db.ConnectionString(), 1);
  for (const bool gone : {false, true})
    for (const bool as_query : {true, false}) {
      SCOPED_TRACE(std::string(as_query ? "record set" : "execute") + (gone ? ", gone" : ""));
      connection->CommandTimeout = gone ? 0 : 1;
      const auto start = Clock::now();
      Clock::time_point leaves = start + 1s;
      if (gone)
        db::SetAbandonCheck(
            [](void* at) { return Clock::now() >= *static_cast<Clock::time_point*>(at); }, &leaves);
      const Error e = CaptureError(
          [&] { as_query ? void(OpenQuery(connection, sql)) : connection->Execute(sql); });
      db::SetAbandonCheck(nullptr, nullptr);
      const auto elapsed = Clock::now() - start;
      EXPECT_TRUE(elapsed >= 900ms && elapsed < 4s) << (elapsed / 1ms) << " ms";
      const std::string why = gone ? "user request" : "statement timeout";  // SQLSTATE 57014
      EXPECT_EQ(std::to_string(e.Number()) + " " + e.NativeCode() + " " + e.Description(),
                lite() ? "9 SQLITE_INTERRUPT interrupted"
                       : "67371461 57014 canceling statement due to " + why);
    }
  // The connection is still usable, and a time-out of 0 means none.
  EXPECT_EQ(Scalar(connection, "SELECT 1"), "1");
}

// Backslashes cannot unquote text whatever a role's defaults; a session that tries is not pooled.
TEST_P(Connections, QuotedTextStaysTextWhateverTheQuotingDefaults) {
  db.Exec("CREATE TABLE T (C TEXT); INSERT INTO T VALUES ('A'), ('B')");
  std::vector<std::string> connection_strings{db.ConnectionString()};
  const std::string schema = db.Location(), role = schema + "_reader";
  std::optional<std::string> admin;  // the role's maker: the test user, else the superuser
  const std::shared_ptr<void> drop(nullptr, [&](void*) {
    db::DrainPool();  // its sessions first
    if (admin) PgExecAs(*admin, "DROP OWNED BY " + role + "; DROP ROLE " + role);
  });
  for (const char* user : {"", "postgres"})
    if (!lite() && !admin && PgExecAs(user, "CREATE ROLE " + role + " LOGIN")) admin = user;
  if (!lite()) {
    ASSERT_TRUE(admin.has_value()) << "neither the test user nor postgres may create a role";
    ASSERT_TRUE(PgExecAs(*admin, "GRANT USAGE ON SCHEMA " + schema + " TO " + role +
                                     "; GRANT SELECT ON ALL TABLES IN SCHEMA " + schema + " TO " +
                                     role + "; ALTER ROLE " + role +
                                     " SET standard_conforming_strings = off"));
    connection_strings.push_back(db.ConnectionString() + ";User ID=" + role);
  }
  for (const std::string& connection_string : connection_strings) {
    auto connection = OpenClient(connection_string);
    EXPECT_EQ(Scalar(connection, "SELECT count(*) FROM T WHERE C = 'NOPE\\'' OR 1=1 --'"), "0")
        << connection_string;
    if (!lite()) {
      EXPECT_EQ(Scalar(connection, "SHOW standard_conforming_strings"), "on");
      connection->Execute("SET standard_conforming_strings = off");
    }
    connection->Close();
    EXPECT_EQ(db::PooledConnectionCount(), lite() ? 1 : 0);
  }
}

TEST_P(Connections, TraceRecordsEveryEventInOrderWithTheExactText) {
  const testing::TempFolder folder;
  testing::ScopedSetting trace(Setting::SqlTrace, (folder / "trace").string());
  db.Exec("CREATE TABLE T (A INTEGER)");
  db::Connection refused;
  CaptureError([&] { refused.Open("Provider=SQLite;Data Source=/nonexistent/x.db;Password=pw"); });
  auto connection = OpenClient(db.ConnectionString());
  connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
  CaptureError([&] { OpenQuery(connection, "SELECT * FROM NOPE"); });
  connection->OpenSchema(db::kSchemaColumns, {Variant::Null(), Variant::Null(), Variant("T")});
  connection->Close();
  OpenClient(db.ConnectionString())->Close();  // the pooled session, under a new id
  SetSetting(Setting::SqlTrace, "");
  OpenClient(db.ConnectionString())->Close();  // not traced

  // Whole lines, "conn" first; "*": `connection`'s id, as every open has its own; "!": an error.
  std::vector<nlohmann::ordered_json> lines;
  std::vector<std::string> seen;
  std::ifstream in(folder / "trace");
  for (std::string text; std::getline(in, text);) {
    const auto& line = lines.emplace_back(nlohmann::ordered_json::parse(text));
    const std::string event = line["event"], sql = event == "schema" ? "" : line.value("sql", "");
    seen.push_back((line["conn"] == connection->TraceId() ? "* " : "") + line.begin().key() + " " +
                   event + (sql.empty() ? "" : " " + sql) + (line.contains("error") ? " !" : ""));
  }
  ASSERT_EQ(seen, (std::vector<std::string>{
                      "conn open Provider=SQLite;Data Source=/nonexistent/x.db;Password=*** !",
                      "* conn open " + db.ConnectionString(),
                      "* conn execute SET TRANSACTION ISOLATION LEVEL READ COMMITTED",
                      "* conn query SELECT * FROM NOPE !", "* conn schema", "* conn close",
                      "conn open " + db.ConnectionString(), "conn close"}));
  // The server actually connected, where there is one.
  EXPECT_EQ(lines[1].contains("host") + (lines[1].contains("port") && lines[1]["port"].is_number()),
            lite() ? 0 : 2);
  EXPECT_TRUE(lines[4]["table"] == "T" && lines[4]["column"].is_null()) << lines[4];
  EXPECT_EQ(lines[7]["conn"], lines[6]["conn"]);
}

CARVALEN_ON_PROVIDERS(Connections);

/// What a reader could change about a database: the file's bytes and mode, the folder's entries.
std::string FileState(const fs::path& file) {
  std::string state = std::to_string(static_cast<int>(fs::status(file).permissions())) + " " +
                      std::to_string(std::hash<std::string>{}(testing::ReadFile(file)));
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    state += "\n" + entry.path().filename().string();
  return state;
}

// A reader changes no database file, in any journal mode; one that may not write (an unprivileged
// child, so that permissions bind) still reads, a WAL file as immutable and unpooled.
TEST(SqliteFiles, AreReadWithoutBeingChanged) {
  const std::tuple<std::string, int, int, bool> cases[] = {
      {"DELETE", 0644, 0755, false},  // journal mode, file and folder modes, unprivileged
      {"DELETE", 0444, 0755, false},
      {"DELETE", 0444, 0555, true},
      {"WAL", 0444, 0555, true}};
  for (const auto& [journal, file_mode, folder_mode, unprivileged] : cases) {
    SCOPED_TRACE(journal + " " + std::to_string(file_mode) + " " + std::to_string(folder_mode));
    testing::TempFolder folder;
    const auto file = folder / "contracts.db";
    sqlite3* raw = nullptr;  // closed, a WAL one checkpointed: its -wal and -shm gone
    sqlite3_open(file.c_str(), &raw);
    const std::string sql = "PRAGMA journal_mode=" + journal +
                            "; CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1), (2);";
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    fs::permissions(file, fs::perms(file_mode));
    fs::permissions(folder.path, fs::perms(folder_mode));
    const std::string before = FileState(file);
    const bool wal = journal == "WAL";
    db::DrainPool();  // the child must not inherit sessions
    const pid_t pid = fork();
    if (pid == 0) {  // it ends in _exit, no destructors: nothing of the parent's is its to close
      if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
      try {
        auto connection = OpenClient("Provider=SQLite;Data Source=" + file.string());
        connection->Execute("SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
        const bool read = Scalar(connection, "SELECT count(*) FROM T") == "2" &&
                          (wal || Scalar(connection, "PRAGMA journal_mode") == "delete");
        connection->Close();
        _exit(read && db::PooledConnectionCount() == (wal ? 0 : 1) ? 0 : 1);
      } catch (const Error& e) {
        std::fprintf(stderr, "%s\n", e.Description().c_str());
      }
      _exit(1);
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
