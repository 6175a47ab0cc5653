// Databases that go away between calls: a PostgreSQL server stopped or restarted, a SQLite file
// removed, replaced or locked by a writer. Calls during the outage fail cleanly within the
// connection time-out, the first call after it answers, and no session that died in the pool is
// used again.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/client.hpp"
#include "reliability/demo_calls.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A few operations that between them open, nest and read every kind of row.
const std::vector<ExampleCall> kCalls = {
    {"ContractLine.GetPrice",
     R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 100.0})"},
    {"ContractLine.GetEffectivePrice",
     R"({"i_fQuantity": 60.0, "i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
    {"Contract.GetContractLineDetails", R"({"i_lContractHeaderID": 1})"},
};

/// Every call fails after `at_least` and within `limit` seconds with a description naming `names`,
/// one header per level it passed, each level logged once.
void ExpectCleanFailures(ContractDb& db, double limit, const std::string& names,
                         double at_least = 0) {
  for (const ExampleCall& call : kCalls) {
    SCOPED_TRACE(call.target);
    db.ClearLog();
    const auto start = Clock::now();
    const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(outcome.status, api::kCallFailed) << outcome.text;
    const api::Json error = api::Json::parse(outcome.text).at("error");
    const std::string description = error.at("description");
    EXPECT_EQ(description.rfind(ReportHeader(error.at("number"), "Carvalen." + call.target), 0), 0u)
        << description;
    EXPECT_NE(description.find(names), std::string::npos) << description;
    EXPECT_EQ(ReportCount(description), db.Log().size()) << description;
    EXPECT_LT(seconds, limit);
    EXPECT_GE(seconds, at_least);
    EXPECT_EQ(db::OpenConnectionCount(), 0);
  }
}

db::DbPtr OpenWritable(const std::string& file) {
  sqlite3* raw = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  return db::DbPtr(raw);
}

class SqliteOutage : public ::testing::Test {
 protected:
  void SetUp() override {
    db::DrainPool();
    db_.Exec("PRAGMA journal_mode=DELETE");  // so that a writer's lock keeps readers out
    WriteStore(db_, db_.ConnectionString(), 1);
    expected_ = Answers(kCalls);
    ASSERT_GT(db::PooledConnectionCount(), 0);  // later calls lease kept sessions
  }
  void TearDown() override {
    EXPECT_EQ(db::OpenConnectionCount(), 0);
    db::DrainPool();
  }
  DemoDb db_{Provider::SQLite};
  const std::string file_ = db_.Location();
  std::vector<std::string> expected_;
};

TEST_F(SqliteOutage, RemovedFileFailsTheCallsAndAReturnedOneServesThemAgain) {
  fs::rename(file_, file_ + ".kept");
  ExpectCleanFailures(db_, 3.0, "EContractUtilities.GetSourceConnection");
  fs::rename(file_ + ".kept", file_);
  EXPECT_EQ(Answers(kCalls), expected_);
}

TEST_F(SqliteOutage, FileReplacedMidRunIsReadAfresh) {
  fs::copy_file(file_, file_ + ".new", fs::copy_options::overwrite_existing);
  ASSERT_EQ(sqlite3_exec(OpenWritable(file_ + ".new").get(),
                         "UPDATE CONTRACTPRICE SET PRICE = PRICE * 2", nullptr, nullptr, nullptr),
            SQLITE_OK);
  fs::rename(file_ + ".new", file_);  // the very next call reads the new file
  const std::vector<std::string> answers = Answers(kCalls);
  EXPECT_NE(answers[0].find(R"("result": 14.0)"), std::string::npos) << answers[0];
  EXPECT_NE(answers, expected_);
}

TEST_F(SqliteOutage, WriterLockWaitsTheBusyTimeOutThenFailsOrAnswersOnceReleased) {
  db::DbPtr writer = OpenWritable(file_);
  ASSERT_EQ(sqlite3_exec(writer.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  // Each call waits about the one-second busy time-out, then fails with SQLITE_BUSY.
  ExpectCleanFailures(db_, 3.5, "database is locked", 0.9);
  // Released while a call waits: the call answers.
  std::thread release([&] {
    std::this_thread::sleep_for(300ms);
    sqlite3_exec(writer.get(), "COMMIT", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(CallText(kCalls[0]), expected_[0]);
  release.join();
  EXPECT_EQ(Answers(kCalls), expected_);
}

/// A PostgreSQL cluster of this test's own on port 54331, made by the repository's script in a
/// temporary folder (which the server's user must reach), stopped and removed at the end.
class PrivateCluster {
 public:
  PrivateCluster() { fs::permissions(dir_.path, fs::perms(0755)); }
  ~PrivateCluster() { Run("stop"); }
  bool Run(const std::string& action) {
    const std::string command = "CARVALEN_PG_PORT=54331 bash '" CARVALEN_SOURCE_DIR
                                "/scripts/pg-test-cluster.sh' " +
                                action + " '" + (dir_ / "pg").string() + "'";
    return std::system(command.c_str()) == 0;
  }
  std::string ConnectionString() const {
    return "Provider=PostgreSQL;Host=" + (dir_ / "pg").string() +
           ";Port=54331;Database=carvalen_test;User ID=carvalen";
  }

 private:
  testing::TempFolder dir_;
};

TEST(PostgresOutage, StoppedOrRestartedServerLosesNoCall) {
  std::error_code ec;
  bool installed = false;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec))
    installed = installed || fs::exists(entry.path() / "bin/pg_ctl");
  if (!installed) GTEST_SKIP() << "no pg_ctl under /usr/lib/postgresql";
  PrivateCluster cluster;
  // With the server programs there, a cluster that does not start is a failure, not a skip: the
  // test must not pass unseen where it could run.
  ASSERT_TRUE(cluster.Run("start")) << "cannot start a private PostgreSQL cluster on port 54331";
  testing::ScopedEnv private_cluster("CARVALEN_TEST_PG", cluster.ConnectionString().c_str());
  DemoDb db(Provider::PostgreSQL);
  WriteStore(db, db.ConnectionString(), 3);
  db::DrainPool();
  const std::vector<std::string> expected = Answers(kCalls);
  ASSERT_FALSE(HasFailure());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Stopped between calls: every call fails in GetSourceConnection within the time-out.
    ASSERT_TRUE(cluster.Run("stop"));
    for (int i = 0; i < 2; ++i)
      ExpectCleanFailures(db, 4.0, "EContractUtilities.GetSourceConnection");
    ASSERT_TRUE(cluster.Run("start"));
    EXPECT_EQ(Answers(kCalls), expected);  // the first calls after the restart answer
    // Restarted under a pool full of sessions: none of the dead ones is used.
    ASSERT_GT(db::PooledConnectionCount(), 0);
    ASSERT_TRUE(cluster.Run("stop"));
    ASSERT_TRUE(cluster.Run("start"));
    EXPECT_EQ(Answers(kCalls), expected);
  }
  EXPECT_EQ(db::OpenConnectionCount(), 0);
}

}  // namespace
}  // namespace carvalen::test
