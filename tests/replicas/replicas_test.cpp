// Reads from a replica set: a primary and two streaming standbys, made and driven by
// scripts/pg-replica-set.sh, reached through CARVALEN_TEST_PG_REPLICAS (its conninfo). Operations
// run through the one call path with Load Balance Hosts=random and Target Session Attrs=
// prefer-standby while servers are stopped and started under them; which server served each call
// is read from the trace's `open` events. One test, since it stops and starts shared servers.
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/call.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"
#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "db/hosts.hpp"
#include "db/pool.hpp"
#include "model/schema.hpp"
#include "support/scratch.hpp"

namespace carvalen {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::ScopedSetting;
using testing::TempFolder;

struct PgFinish {
  void operator()(PGconn* c) const { PQfinish(c); }
};

/// A writable session of the test's own on one server.
std::unique_ptr<PGconn, PgFinish> Connect(const db::Endpoint& node) {
  const char* keys[] = {"host", "port", "dbname", "user", nullptr};
  const char* values[] = {node.host.c_str(), node.port.c_str(), "carvalen_test", "carvalen",
                          nullptr};
  std::unique_ptr<PGconn, PgFinish> conn(PQconnectdbParams(keys, values, 0));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(node.Key() + ": " + PQerrorMessage(conn.get()));
  }
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  return conn;
}

/// The first value of `sql`'s first row ("" for none); throws with the server's message.
std::string Scalar(PGconn* conn, const std::string& sql) {
  std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn, sql.c_str()), PQclear);
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    throw std::runtime_error(sql + ": " + PQerrorMessage(conn));
  }
  return status == PGRES_TUPLES_OK && PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0)
                                                                  : "";
}

void Control(const char* action, const db::Endpoint& node) {
  const std::string command = std::string("bash '" CARVALEN_SCRIPTS_DIR "/pg-replica-set.sh' ") +
                              action + " '" + node.host + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

/// Opens per server port in a trace file.
std::map<int, int> OpensByPort(const testing::fs::path& trace) {
  std::map<int, int> opens;
  std::istringstream lines(testing::ReadFile(trace));
  for (std::string line; std::getline(lines, line);) {
    const auto event = nlohmann::json::parse(line);
    if (event["event"] == "open" && event.contains("port")) ++opens[event["port"].get<int>()];
  }
  return opens;
}

/// One read of the contract line: "" when it succeeded, else the error document.
std::string Read() {
  const api::CallOutcome outcome =
      api::CallWithJson("ContractLine.GetContractLineNumber", R"({"i_lQuotationNumber": 1001})");
  if (outcome.status != api::kCallOk) return outcome.text;
  EXPECT_EQ(nlohmann::ordered_json::parse(outcome.text)["result"]["$array"],
            nlohmann::ordered_json::parse("[7, 3]"));
  return "";
}

class Replicas : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* set = std::getenv("CARVALEN_TEST_PG_REPLICAS");
    if (set == nullptr || *set == '\0') {
      GTEST_SKIP() << "no replica set: set CARVALEN_TEST_PG_REPLICAS to what "
                      "scripts/pg-replica-set.sh start DIR prints";
    }
    set_ = set;
    nodes_ = db::ReadHostOptions(db::ParseConnectionString(set_)).endpoints;
    ASSERT_EQ(nodes_.size(), 3u) << "the set is a primary and two standbys";
    for (const auto& node : nodes_) Control("start-node", node);  // after a failed run

    // The contract tables and one line, written on the primary, read on the standbys.
    auto primary = Connect(nodes_[0]);
    ASSERT_EQ(Scalar(primary.get(), "SELECT pg_is_in_recovery()"), "f");
    Scalar(primary.get(), "DROP SCHEMA IF EXISTS carvalen_replicas CASCADE");
    Scalar(primary.get(), "CREATE SCHEMA carvalen_replicas");
    Scalar(primary.get(), "SET search_path = carvalen_replicas");
    for (const std::string& ddl : model::SchemaStatements(model::SchemaProvider::PostgreSQL)) {
      Scalar(primary.get(), ddl);
    }
    Scalar(primary.get(),
           "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) "
           "VALUES (7, 3, 1001)");
    WaitForReplay(primary.get());
    db::DrainPool();
    db::Pool::Instance().Hosts().Reset();
  }

  void TearDown() override {
    if (nodes_.empty()) return;
    for (const auto& node : nodes_) Control("start-node", node);
    db::DrainPool();
    db::Pool::Instance().Hosts().Reset();
    carvalen::ForgetConfigurationStores();
  }

  /// Waits until both standbys have replayed what the primary has written.
  void WaitForReplay(PGconn* primary) {
    const std::string lsn = Scalar(primary, "SELECT pg_current_wal_lsn()");
    for (std::size_t i = 1; i < nodes_.size(); ++i) {
      auto standby = Connect(nodes_[i]);
      const auto deadline = Clock::now() + 30s;
      while (Scalar(standby.get(), "SELECT pg_last_wal_replay_lsn() >= '" + lsn + "'") != "t") {
        ASSERT_LT(Clock::now(), deadline) << nodes_[i].Key() << " does not catch up";
        std::this_thread::sleep_for(20ms);
      }
    }
  }

  /// Points the store at the set with `keys` added, and the trace at a new file.
  void Use(const std::string& keys) {
    folder_.Write("Vendra.toml", "[ConnectionStrings]\nEContract = \"" + set_ +
                                     ";options=-csearch_path=carvalen_replicas;" + keys + "\"\n");
    carvalen::ForgetConfigurationStores();
    NextTrace();
  }
  /// The trace so far; later opens go to a new file.
  testing::fs::path NextTrace() {
    const testing::fs::path done = trace_;
    trace_ = folder_ / ("trace" + std::to_string(++traces_) + ".jsonl");
    SetSetting(Setting::SqlTrace, trace_.string());
    return done;
  }
  int Port(std::size_t node) const { return std::stoi(nodes_[node].port); }

  std::string set_;
  std::vector<db::Endpoint> nodes_;  // primary, standby1, standby2
  TempFolder folder_;
  ScopedSetting config_{Setting::ConfigDir, folder_.path.string()};
  ScopedSetting log_{Setting::LogFile, (folder_ / "log.jsonl").string()};
  ScopedSetting trace_setting_{Setting::SqlTrace, ""};
  testing::fs::path trace_;
  int traces_ = 0;
};

/// Calls from several threads until stopped, each failure with its time.
class Load {
 public:
  explicit Load(int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        while (!stop_) {
          if (std::string error = Read(); error.empty()) {
            ++calls_;
          } else {
            std::lock_guard lock(mutex_);
            failures_.emplace_back(Clock::now(), std::move(error));
          }
          std::this_thread::sleep_for(2ms);  // a steady load, not a flood
        }
      });
    }
  }
  ~Load() { Stop(); }
  void Stop() {
    stop_ = true;
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  /// The error documents of the failures in [from, to).
  std::vector<std::string> FailuresBetween(Clock::time_point from, Clock::time_point to) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto& failure : failures_) {
      if (failure.first >= from && failure.first < to) found.push_back(failure.second);
    }
    return found;
  }
  int Calls() const { return calls_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> calls_{0};
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, std::string>> failures_;
  std::vector<std::thread> threads_;
};

TEST_F(Replicas, ReadsGoToStandbysSpreadAndSurviveServersStopping) {
  const int primary = Port(0), standby1 = Port(1), standby2 = Port(2);

  // Without pooling every call opens its own session: the spread per call.
  Use("Load Balance Hosts=random;Target Session Attrs=prefer-standby;Pooling=False");
  constexpr int kCalls = 200;
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(Read(), "");
  std::map<int, int> opens = OpensByPort(NextTrace());
  std::cout << "spread of " << kCalls << " unpooled calls: standby1 " << opens[standby1]
            << ", standby2 " << opens[standby2] << ", primary " << opens[primary] << "\n";
  EXPECT_EQ(opens[primary], 0);
  EXPECT_EQ(opens[standby1] + opens[standby2], kCalls);
  EXPECT_GT(opens[standby1], kCalls / 5);
  EXPECT_GT(opens[standby2], kCalls / 5);

  // Pooled, from four threads, with sessions renewed every two seconds.
  constexpr int kThreads = 4;
  Use("Load Balance Hosts=random;Target Session Attrs=prefer-standby;Host Recheck Seconds=1;"
      "Connection Lifetime=2");
  Load load(kThreads);
  std::this_thread::sleep_for(2s);
  opens = OpensByPort(NextTrace());
  const int before = load.Calls();
  std::cout << "pooled, " << kThreads << " threads, 2 s: " << before << " calls, served by "
            << "standby1 " << opens[standby1] << ", standby2 " << opens[standby2] << "\n";
  EXPECT_EQ(opens[primary], 0);

  // A standby stops: at most the calls in flight on it fail, none after.
  const auto stopping = Clock::now();
  Control("stop-node", nodes_[1]);
  const auto stopped = Clock::now();
  std::this_thread::sleep_for(1s);  // for the calls in flight to end
  NextTrace();
  std::this_thread::sleep_for(2s);
  EXPECT_THAT(load.FailuresBetween(Clock::time_point{}, stopping), IsEmpty());
  const std::vector<std::string> in_flight = load.FailuresBetween(stopping, stopped + 1s);
  std::cout << "standby1 stopped: " << in_flight.size() << " calls failed while it shut down\n";
  EXPECT_LE(in_flight.size(), std::size_t{kThreads});
  for (const std::string& error : in_flight) {
    std::cout << "  " << error << "\n";
    // The server's own words for its going away, through the ordinary error path.
    EXPECT_THAT(error, HasSubstr(R"("source": "PostgreSQL")"));
  }
  EXPECT_THAT(load.FailuresBetween(stopped + 1s, Clock::now()), IsEmpty());
  opens = OpensByPort(NextTrace());
  EXPECT_EQ(opens[standby1], 0);
  EXPECT_GT(opens[standby2], 0);

  // The primary stops too: the other standby serves alone, no call fails.
  const auto primary_stopping = Clock::now();
  Control("stop-node", nodes_[0]);
  std::this_thread::sleep_for(2s);
  EXPECT_THAT(load.FailuresBetween(primary_stopping, Clock::now()), IsEmpty());

  // The standby comes back and is used again once its back-off passes.
  Control("start-node", nodes_[1]);
  const auto restarted = Clock::now();
  const testing::fs::path trace = NextTrace();
  while (OpensByPort(trace_)[standby1] == 0 && Clock::now() < restarted + 20s) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_GT(OpensByPort(trace_)[standby1], 0) << "the restarted standby is not used again";
  EXPECT_THAT(load.FailuresBetween(restarted, Clock::now()), IsEmpty());
  load.Stop();
  std::cout << "standby1 used again after "
            << std::chrono::duration<double>(Clock::now() - restarted).count() << " s; "
            << load.Calls() << " calls in all\n";

  // No standby left: prefer-standby falls back to the primary, without a failed call.
  Control("start-node", nodes_[0]);
  Control("stop-node", nodes_[1]);
  Control("stop-node", nodes_[2]);
  NextTrace();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Read(), "");
  opens = OpensByPort(NextTrace());
  EXPECT_GT(opens[primary], 0);
  EXPECT_EQ(opens[standby1] + opens[standby2], 0);
}

}  // namespace
}  // namespace carvalen
