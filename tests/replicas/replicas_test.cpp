// Reads from the replica set of scripts/pg-replica-set.sh (CARVALEN_TEST_PG_REPLICAS): host order
// is hosts_test's; here, what only real servers show (recovery state, sessions a shutdown breaks).

#include <atomic>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "api/call.hpp"
#include "components/configuration.hpp"
#include "db/hosts.hpp"
#include "support/client_test.hpp"
#include "support/contract_db.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void Control(const char* action, const std::vector<db::Endpoint>& nodes) {
  for (const db::Endpoint& node : nodes) {
    const std::string command = std::string("bash '" CARVALEN_SCRIPTS_DIR "/pg-replica-set.sh' ") +
                                action + " '" + node.host + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
}

TEST(Replicas, ReadsGoToStandbysAndSurviveOneStopping) {
  const char* set = std::getenv("CARVALEN_TEST_PG_REPLICAS");
  if (set == nullptr || *set == '\0') GTEST_SKIP() << "no replica set: see pg-replica-set.sh";
  const auto nodes = db::ReadHostOptions(db::ParseConnectionString(set)).endpoints;
  ASSERT_EQ(nodes.size(), 3u) << "the set is a primary and two standbys";
  Control("start-node", nodes);  // after a failed run
  const std::shared_ptr<void> restart(nullptr, [&](void*) { Control("start-node", nodes); });
  const testing::ScopedEnv env("CARVALEN_TEST_PG", set);
  ContractDb db(Provider::PostgreSQL);  // its writer, like any session here, takes the primary
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) VALUES (7, 3, "
      "1001)");
  const std::string replayed = "SELECT pg_last_wal_replay_lsn() >= '" +
                               Scalar(OpenClient(set), "SELECT pg_current_wal_lsn()") + "'";
  for (std::size_t i = 1; i < 3; ++i) {
    const std::string standby =
        db.ConnectionString() + ";Pooling=False;Host=" + nodes[i].host + ";Port=" + nodes[i].port;
    for (int tries = 0; Scalar(OpenClient(standby), replayed) != "True"; ++tries) {
      ASSERT_LT(tries, 1500) << nodes[i].Key() << " does not catch up";
      std::this_thread::sleep_for(20ms);
    }
  }
  const std::string dir = db.ConfigDir() + "/";
  std::ofstream(dir + "Vendra.toml")
      << "[ConnectionStrings]\nEContract = \"" << db.ConnectionString()
      << ";Load Balance Hosts=random;Target Session Attrs=prefer-"
         "standby;Host Recheck Seconds=1;Connection Lifetime=2\"\n";
  const testing::ScopedSetting trace{Setting::SqlTrace, dir + "before"};
  ForgetConfigurationStores();
  auto opened = [&](const char* file, std::size_t node) {  // sessions it saw opened on the node
    const std::string text = testing::ReadFile(dir + file), key = "\"port\":" + nodes[node].port;
    int count = 0;
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) ++count;
    return count;
  };

  // Four threads read through pooled sessions renewed every two seconds; standby1 stops: at most
  // the calls in flight on it fail, with the server's own error, and none after.
  std::atomic<bool> stop{false};
  std::vector<std::pair<Clock::time_point, std::string>> failures[4];  // one per thread
  std::vector<std::thread> threads;
  for (auto& own : failures)
    threads.emplace_back([&] {
      for (; !stop; std::this_thread::sleep_for(2ms)) {
        const api::CallOutcome outcome = api::CallWithJson("ContractLine.GetContractLineNumber",
                                                           R"({"i_lQuotationNumber": 1001})");
        if (outcome.status != api::kCallOk ||  // a wrong answer counts as a failure too
            nlohmann::json::parse(outcome.text)["result"]["$array"] != nlohmann::json({7, 3}))
          own.emplace_back(Clock::now(), outcome.text);
      }
    });
  std::this_thread::sleep_for(2s);
  const auto stopping = Clock::now();
  Control("stop-node", {nodes[1]});
  const auto stopped = Clock::now();
  std::this_thread::sleep_for(1s);  // for the calls in flight to end
  SetSetting(Setting::SqlTrace, dir + "after");
  std::this_thread::sleep_for(2s);
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(opened("before", 0) + opened("after", 0) + opened("after", 1), 0);
  EXPECT_GT(opened("after", 2), 0);
  std::size_t failed = 0;
  for (const auto& own : failures) {
    failed += own.size();
    for (const auto& [when, error] : own)
      EXPECT_TRUE(when >= stopping && when < stopped + 1s &&
                  error.find(R"("source": "PostgreSQL")") != std::string::npos)
          << error;
  }
  EXPECT_LE(failed, std::size(failures)) << "more calls failed than were in flight";
}

}  // namespace
}  // namespace carvalen::test
