// The SQL trace: one JSON object a line per event, in order, with the exact texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "carvalen/settings.hpp"
#include "support/client_test.hpp"

namespace carvalen::test {
namespace {

using Json = nlohmann::ordered_json;
using SqlTrace = DatabaseTest;

TEST_P(SqlTrace, RecordsEveryEventInOrderWithTheExactText) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("carvalen-trace-" + std::to_string(::getpid()) + ".jsonl");
  std::filesystem::remove(path);
  SetSetting(Setting::SqlTrace, path.string());
  db().Exec("CREATE TABLE T (A INTEGER)");
  db::Connection refused;
  CaptureError([&] { refused.Open("Provider=SQLite;Data Source=/nonexistent/x.db;Password=pw"); });
  auto connection = OpenClient(db().ConnectionString());
  connection->Execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
  OpenQuery(connection, " SELECT A FROM T WHERE A = 1");
  CaptureError([&] { OpenQuery(connection, "SELECT * FROM NOPE"); });
  connection->OpenSchema(db::kSchemaColumns, {Variant::Null(), Variant::Null(), Variant("T")});
  connection->Close();
  OpenClient(db().ConnectionString())->Close();  // the pooled session, under a new id
  SetSetting(Setting::SqlTrace, "");
  OpenClient(db().ConnectionString())->Close();  // not traced

  std::vector<Json> lines;  // each parses: no line was torn
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  std::filesystem::remove(path);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0]["event"], "open");
  EXPECT_EQ(lines[0]["sql"], "Provider=SQLite;Data Source=/nonexistent/x.db;Password=***");
  EXPECT_TRUE(lines[0].contains("error"));
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
  // The server actually connected, where there is one.
  const bool server = GetParam() == Provider::PostgreSQL;
  EXPECT_EQ(lines[1].contains("host"), server);
  EXPECT_EQ(lines[1].contains("port") && lines[1]["port"].is_number(), server);
  EXPECT_EQ(lines[5]["table"], "T");
  EXPECT_TRUE(lines[5]["column"].is_null());
  // Every open, failed or pooled, gets an id of its own.
  EXPECT_NE(lines[0]["conn"], lines[1]["conn"]);
  EXPECT_EQ(lines[7]["event"], "open");
  EXPECT_EQ(lines[8]["conn"], lines[7]["conn"]);
  EXPECT_NE(lines[7]["conn"], lines[1]["conn"]);
}

CARVALEN_ON_PROVIDERS(SqlTrace);

}  // namespace
}  // namespace carvalen::test
