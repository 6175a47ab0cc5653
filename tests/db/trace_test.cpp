// The SQL trace: one JSON object a line per event, in order, with the exact texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "db/db_test_helpers.hpp"

namespace carvalen::test {
namespace {

using Json = nlohmann::ordered_json;

class SqlTrace : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    std::filesystem::remove(path_);
    ::setenv("CARVALEN_SQL_TRACE", path_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("CARVALEN_SQL_TRACE");
    std::filesystem::remove(path_);
    DatabaseTest::TearDown();
  }
  std::vector<Json> Lines() {  // each parses: no line was torn
    std::vector<Json> lines;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
    return lines;
  }

  const std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                      ("carvalen-trace-" + std::to_string(::getpid()) + ".jsonl");
};

TEST_P(SqlTrace, RecordsEveryEventInOrderWithTheExactText) {
  db().Exec("CREATE TABLE T (A INTEGER)");
  db::Connection refused;
  CaptureError([&] { refused.Open("Provider=SQLite;Data Source=/nonexistent/x.db;Password=pw"); });
  auto connection = OpenClient(db().ConnectionString());
  connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
  OpenQuery(connection, " SELECT A FROM T WHERE A = 1");
  CaptureError([&] { OpenQuery(connection, "SELECT * FROM NOPE"); });
  connection->OpenSchema(db::kSchemaColumns, {Variant::Null(), Variant::Null(), Variant("T")});
  connection->Close();
  ::unsetenv("CARVALEN_SQL_TRACE");
  OpenClient(db().ConnectionString())->Close();  // not traced

  const std::vector<Json> lines = Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0]["event"], "open");
  EXPECT_EQ(lines[0]["sql"], "Provider=SQLite;Data Source=/nonexistent/x.db;Password=***");
  EXPECT_TRUE(lines[0].contains("error"));
  EXPECT_NE(lines[0]["conn"], connection->TraceId());
  const std::pair<const char*, std::string> expected[] = {
      {"open", db().ConnectionString()},
      {"execute", "SET TRANSACTION ISOLATION LEVEL READ COMMITTED"},
      {"query", " SELECT A FROM T WHERE A = 1"},
      {"query", "SELECT * FROM NOPE"},
      {"schema", ""},
      {"close", ""},
  };
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const Json& line = lines[i + 1];
    EXPECT_EQ(line.begin().key(), "conn");  // members in the documented order
    EXPECT_EQ(line["conn"], connection->TraceId());
    EXPECT_EQ(line["event"], expected[i].first);
    if (!expected[i].second.empty()) {
      EXPECT_EQ(line["sql"], expected[i].second);
    }
    EXPECT_EQ(line.contains("error"), expected[i].second == "SELECT * FROM NOPE");
  }
  EXPECT_EQ(lines[5]["table"], "T");
  EXPECT_TRUE(lines[5]["column"].is_null());
}

TEST_P(SqlTrace, ConcurrentConnectionsWriteWholeLinesInEachConnectionsOrder) {
  db().Exec("CREATE TABLE T (A INTEGER); INSERT INTO T VALUES (1)");
  constexpr int kThreads = 4, kCalls = 40;
  const std::string cs = db().ConnectionString() + ";Max Pool Size=2";
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&cs] {
      for (int i = 0; i < kCalls; ++i) {
        auto connection = OpenClient(cs);
        OpenQuery(connection, "SELECT A FROM T")->Close();
        connection->Close();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(db::PooledConnectionCount(), 2);

  std::map<std::int64_t, std::vector<std::string>> events;  // per connection, in file order
  const std::vector<Json> lines = Lines();                  // each parses: no line was torn
  ASSERT_EQ(lines.size(), 3u * kThreads * kCalls);
  for (const Json& line : lines) events[line["conn"]].push_back(line["event"]);
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kThreads * kCalls));
  for (const auto& [conn, list] : events) {
    EXPECT_EQ(list, (std::vector<std::string>{"open", "query", "close"})) << conn;
  }
}

CARVALEN_INSTANTIATE_DATABASE_TESTS(SqlTrace);

}  // namespace
}  // namespace carvalen::test
