// The default log component: one JSON object a line, appended to the file CARVALEN_LOG names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "carvalen/interfaces.hpp"
#include "components/defaults.hpp"
#include "support/scratch.hpp"
#include "value/error_text.hpp"

namespace carvalen {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;

// Local time now to the second, in the log's form, for bracketing an entry's time. From the
// clock the log reads: time() reads a coarser one, which can still show the last second when the
// entry's stamp already shows the next.
std::string LocalNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

class LogTest : public ::testing::Test {
 protected:
  void Write(std::string source, std::string text, std::int32_t kind = 0) {
    std::dynamic_pointer_cast<ILog>(components::NewLog())->WriteLogEntry(source, text, kind);
  }

  testing::TempFolder folder_;
  std::filesystem::path file_ = folder_ / "carvalen.log";
  testing::ScopedSetting log_{Setting::LogFile, file_.string()};
};

TEST_F(LogTest, AppendsOneJsonObjectALineInLocalTime) {
  folder_.Write("carvalen.log", "earlier\n");
  std::string before, after;
  {
    // A time zone far from UTC shows whether the time is local.
    ScopedEnv zone("TZ", "XST-05:30");
    tzset();
    before = LocalNow();
    Write("Carvalen", "\r\nERROR 0x80040404\r\n METHOD: \"x\"\\y\t.\r\n", 0);
    after = LocalNow();
  }
  tzset();
  // By name, with a kind that is converted and written back, and a byte that is not UTF-8.
  std::vector<Variant> args{Variant(""), Variant("caf\xE9 \xC3\xA9"), Variant(std::int16_t{-1})};
  EXPECT_TRUE(components::NewLog()->Invoke("writelogentry", args).IsEmpty());
  EXPECT_EQ(args[2], Variant(std::int32_t{-1}));

  const std::string text = ReadFile(file_);
  ASSERT_TRUE(text.starts_with("earlier\n")) << text;
  const std::string line = text.substr(8, text.find('\n', 8) - 7);
  // gtest's own regex: std::regex trips a false -Wmaybe-uninitialized in GCC 12 under sanitizers.
  EXPECT_THAT(line, ::testing::ContainsRegex(R"(^\{"time": "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:)"
                                             R"([0-9]{2}:[0-9]{2}\.[0-9]{3}", "source": )"));
  EXPECT_EQ(
      line.substr(line.find(", \"source\": ")),
      R"(, "source": "Carvalen", "kind": 0, "text": "\r\nERROR 0x80040404\r\n METHOD: \"x\"\\y\t.\r\n"})"
      "\n");
  const std::string time = nlohmann::json::parse(line)["time"].get<std::string>().substr(0, 19);
  EXPECT_LE(before, time);
  EXPECT_LE(time, after);
  const auto entry = nlohmann::json::parse(text.substr(8 + line.size()));  // one line, one object
  EXPECT_EQ(entry["source"], "");
  EXPECT_EQ(entry["kind"], -1);
  EXPECT_EQ(entry["text"], "caf\xEF\xBF\xBD \xC3\xA9");  // the stray byte becomes U+FFFD
}

// Diagnostics follow the fixed members, only those that are known.
TEST_F(LogTest, AddsTheKnownDiagnostics) {
  const auto log = std::dynamic_pointer_cast<IDiagnosticLog>(components::NewLog());
  ASSERT_NE(log, nullptr);
  std::string source = "PostgreSQL", text = "t";
  std::int32_t kind = 0;
  log->WriteDiagnosticEntry(source, text, kind, {"42P01", "", "SELECT \"A\" FROM X"});
  log->WriteDiagnosticEntry(source, text, kind, {});
  const std::string lines = ReadFile(file_);
  const std::string first = lines.substr(0, lines.find('\n') + 1);
  EXPECT_TRUE(first.ends_with(
      R"("kind": 0, "text": "t", "code": "42P01", "statement": "SELECT \"A\" FROM X"})"
      "\n"))
      << first;
  EXPECT_TRUE(lines.ends_with(R"("kind": 0, "text": "t"})"
                              "\n"))
      << lines;
}

TEST_F(LogTest, FailsWhenTheFileCannotBeOpened) {
  testing::ScopedSetting unwritable(Setting::LogFile,
                                    (folder_ / "no-such-folder/carvalen.log").string());
  const Error error = testing::CaptureError([&] { Write("Carvalen", "lost", 0); });
  EXPECT_EQ(error.Source(), "Halvard.Log");
  EXPECT_NE(error.Description().find("no-such-folder"), std::string::npos) << error.Description();
}

// At a terminal an entry is the nested description read back for a person: the methods once each,
// outermost first, and the innermost message without its block's full stop and line ends.
TEST(Log, TerminalEntryReadsAsOneLine) {
  const struct {
    const char* description;
    const char* readable;
  } cases[] = {
      {"Type mismatch", "Type mismatch"},
      {" two\r\n lines\t", "two lines"},
      {"\r\nERROR 0xE\r\n METHOD: A.Op\r\n DESC: \r\nERROR 0xE\r\n METHOD: A.Op\r\n DESC: "
       "\r\nERROR 0xE\r\n METHOD: U.Open\r\n DESC: unable to open database file.\r\n.\r\n.\r\n",
       "A.Op > U.Open: unable to open database file"},
      {"\r\nERROR 0x5\r\n METHOD: A.Op\r\n DESC: Not found..\r\n INFO: key 7.\r\n",
       "A.Op: Not found."},
      {"\r\nERROR 0x5\r\n METHOD: A.Op\r\n DESC: line one\nline two", "A.Op: line one line two"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::ReadableDescription(c.description), c.readable) << c.description;
  }
}

}  // namespace
}  // namespace carvalen
