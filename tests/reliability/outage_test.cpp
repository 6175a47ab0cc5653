// Databases that go away between calls: a PostgreSQL server stopped, restarted or rid of its
// sessions, a SQLite file removed, replaced or locked by a writer. Calls during the outage fail
// cleanly within the connection time-out, the first call after it answers, and no session that
// died in the pool is used again.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "reliability/demo_calls.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A few operations that between them open, nest and read every kind of row.
const std::vector<DemoCall> kCalls = {
    {"ContractLine.GetPrice",
     R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 100.0})"},
    {"ContractLine.GetEffectivePrice",
     R"({"i_fQuantity": 60.0, "i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
    {"Contract.GetContractLineDetails", R"({"i_lContractHeaderID": 1})"},
};

std::vector<std::string> Answers() {
  std::vector<std::string> answers;
  for (const DemoCall& call : kCalls) answers.push_back(CallText(call));
  return answers;
}

/// Points the Vendra store of `db` at `source` with `timeout` seconds of connection time-out.
void WriteStore(const ContractDb& db, const std::string& source, int timeout) {
  std::ofstream(db.ConfigDir() + "/Vendra.toml")
      << "[ConnectionStrings]\nEContract = '" << source
      << "'\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
         "EContractConnection_ConnectionTimeout = \""
      << timeout << "\"\n";
}

/// Every call fails after `at_least` and within `limit` seconds with the error reported by each
/// level it passed, each level logged once; the description names `names`.
void ExpectCleanFailures(ContractDb& db, double limit, const std::string& names,
                         double at_least = 0) {
  for (const DemoCall& call : kCalls) {
    SCOPED_TRACE(call.target);
    db.ClearLog();
    const auto start = Clock::now();
    const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(outcome.status, api::kCallFailed) << outcome.text;
    const std::string description = api::Json::parse(outcome.text).at("error").at("description");
    EXPECT_EQ(
        description.rfind(ReportHeader(api::Json::parse(outcome.text).at("error").at("number"),
                                       std::string("Carvalen.") + call.target),
                          0),
        0u);
    EXPECT_NE(description.find(names), std::string::npos) << description;
    std::size_t headers = 0;
    for (auto at = description.find("\r\nERROR 0x"); at != std::string::npos;
         at = description.find("\r\nERROR 0x", at + 1)) {
      ++headers;
    }
    EXPECT_EQ(headers, db.Log().size());
    EXPECT_LT(seconds, limit);
    EXPECT_GE(seconds, at_least);
    EXPECT_EQ(db::OpenConnectionCount(), 0);
  }
}

// ---- SQLite ----------------------------------------------------------------------------------

class SqliteOutage : public ::testing::Test {
 protected:
  void SetUp() override {
    db::DrainPool();
    // A rollback journal, so that a writer's exclusive lock keeps readers out.
    db_.Exec("PRAGMA journal_mode=DELETE");
    file_ = *db::ParseConnectionString(db_.ConnectionString()).Find("data source");
    WriteStore(db_, db_.ConnectionString(), 1);
    expected_ = Answers();
    for (const std::string& answer : expected_) ASSERT_EQ(answer.substr(0, 2), "0 ") << answer;
    ASSERT_GT(db::PooledConnectionCount(), 0);  // later calls lease kept sessions
  }
  void TearDown() override {
    EXPECT_EQ(db::OpenConnectionCount(), 0);
    db::DrainPool();
  }
  /// A copy of the database with every price break doubled.
  fs::path DoubledCopy() {
    const fs::path copy = file_ + ".new";
    fs::copy_file(file_, copy, fs::copy_options::overwrite_existing);
    sqlite3* raw = nullptr;
    sqlite3_open_v2(copy.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    db::DbPtr writer(raw);
    EXPECT_EQ(sqlite3_exec(writer.get(), "UPDATE CONTRACTPRICE SET PRICE = PRICE * 2", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    return copy;
  }

  DemoDb db_{Provider::SQLite};
  std::string file_;
  std::vector<std::string> expected_;
};

TEST_F(SqliteOutage, RemovedFileFailsTheCallsAndAReturnedOneServesThemAgain) {
  const fs::path kept = file_ + ".kept";
  fs::rename(file_, kept);
  ExpectCleanFailures(db_, 3.0, "EContractUtilities.GetSourceConnection");
  fs::rename(kept, file_);
  EXPECT_EQ(Answers(), expected_);
}

TEST_F(SqliteOutage, FileReplacedMidRunIsReadAfresh) {
  const fs::path copy = DoubledCopy();
  fs::rename(copy, file_);  // the very next call reads the new file
  const std::vector<std::string> answers = Answers();
  EXPECT_NE(answers[0].find(R"("result": 14.0)"), std::string::npos) << answers[0];
  EXPECT_NE(answers, expected_);
}

TEST_F(SqliteOutage, WriterLockWaitsTheBusyTimeOutThenFailsOrAnswersOnceReleased) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  db::DbPtr writer(raw);
  ASSERT_EQ(sqlite3_exec(writer.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  // Each call waits about the one-second busy time-out, then fails with SQLITE_BUSY.
  ExpectCleanFailures(db_, 3.5, "database is locked", 0.9);
  // Released while a call waits: the call answers.
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(writer.get(), "COMMIT", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(CallText(kCalls[0]), expected_[0]);
  release.join();
  EXPECT_EQ(Answers(), expected_);
}

// ---- PostgreSQL ------------------------------------------------------------------------------

/// A private PostgreSQL cluster of this test on port 54331, made by the repository's script in a
/// temporary folder (the server's user must reach it), stopped and removed at the end.
class PrivateCluster {
 public:
  PrivateCluster() { fs::permissions(dir_.path, fs::perms(0755)); }
  ~PrivateCluster() { Stop(); }
  bool Start() { return Run("start"); }
  bool Stop() { return Run("stop"); }
  std::string ConnectionString() const {
    return "Provider=PostgreSQL;Host=" + Folder() +
           ";Port=54331;Database=carvalen_test;User ID=carvalen";
  }
  /// Terminates the backends of the sessions named `application`; answers how many.
  int Terminate(const std::string& application) {
    const std::string conninfo =
        "host=" + Folder() + " port=54331 dbname=carvalen_test user=carvalen";
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    auto scalar = [&](const std::string& sql) {
      std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()),
                                                            &PQclear);
      return PQresultStatus(result.get()) == PGRES_TUPLES_OK
                 ? std::atoi(PQgetvalue(result.get(), 0, 0))
                 : -1;
    };
    const std::string where =
        " FROM pg_stat_activity WHERE application_name = '" + application + "'";
    const int terminated = scalar("SELECT count(pg_terminate_backend(pid))" + where);
    for (int i = 0; i < 500 && scalar("SELECT count(*)" + where) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return terminated;
  }

 private:
  /// The cluster's folder, which holds its socket.
  std::string Folder() const { return (dir_.path / "pg").string(); }
  bool Run(const std::string& action) {
    const fs::path script = fs::path(CARVALEN_SOURCE_DIR) / "scripts/pg-test-cluster.sh";
    const std::string command =
        "CARVALEN_PG_PORT=54331 bash '" + script.string() + "' " + action + " '" + Folder() + "'";
    return std::system(command.c_str()) == 0;
  }
  testing::TempFolder dir_;
};

bool ServerProgramsInstalled() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    if (fs::exists(entry.path() / "bin/pg_ctl")) return true;
  }
  return false;
}

TEST(PostgresOutage, StoppedRestartedOrTerminatedServerLosesNoCall) {
  if (!ServerProgramsInstalled()) GTEST_SKIP() << "no pg_ctl under /usr/lib/postgresql";
  PrivateCluster cluster;
  // With the server programs there, a cluster that does not start is a failure, not a skip: the
  // test must not pass unseen where it could run.
  ASSERT_TRUE(cluster.Start()) << "cannot start a private PostgreSQL cluster on port 54331";
  std::unique_ptr<DemoDb> db;
  {
    testing::ScopedEnv private_cluster("CARVALEN_TEST_PG", cluster.ConnectionString().c_str());
    db = std::make_unique<DemoDb>(Provider::PostgreSQL);
  }
  // Named, so that the test terminates the library's sessions and no others; three seconds to
  // connect.
  const std::string application = "carvalen-outage-test";
  WriteStore(*db, db->ConnectionString() + ";application_name=" + application, 3);
  db::DrainPool();
  const std::vector<std::string> expected = Answers();
  for (const std::string& answer : expected) ASSERT_EQ(answer.substr(0, 2), "0 ") << answer;

  int outages = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Stopped between calls: every call fails in GetSourceConnection within the time-out.
    ASSERT_TRUE(cluster.Stop());
    for (int i = 0; i < 2; ++i)
      ExpectCleanFailures(*db, 4.0, "EContractUtilities.GetSourceConnection");
    ASSERT_TRUE(cluster.Start());
    EXPECT_EQ(Answers(), expected);  // the first calls after the restart answer
    ++outages;
    // Restarted under a pool full of sessions: none of the dead ones is used.
    ASSERT_GT(db::PooledConnectionCount(), 0);
    ASSERT_TRUE(cluster.Stop());
    ASSERT_TRUE(cluster.Start());
    EXPECT_EQ(Answers(), expected);
    ++outages;
  }
  // Backends terminated by the server while pooled: discarded, and the next calls answer.
  ASSERT_GT(db::PooledConnectionCount(), 0);
  EXPECT_GT(cluster.Terminate(application), 0);
  EXPECT_EQ(Answers(), expected);
  ++outages;
  std::cout << "PostgreSQL outages survived: " << outages << "\n";
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  db.reset();
}

}  // namespace
}  // namespace carvalen::test
