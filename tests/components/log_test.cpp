#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "components/scratch.hpp"
#include "platform/components/defaults.hpp"

namespace carvalen {
namespace {

using testing::ErrorOf;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempFolder;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Local time now, in the log's form, for bracketing an entry's time.
std::string LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char with_millis[40];
  std::snprintf(with_millis, sizeof with_millis, "%s.%03d", text, static_cast<int>(millis));
  return with_millis;
}

// Runs the test in a time zone far from UTC, which shows whether times are local.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : env_(std::in_place, "TZ", zone) { tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    tzset();
  }

 private:
  std::optional<ScopedEnv> env_;
};

class LogTest : public ::testing::Test {
 protected:
  void Write(std::string source, std::string text, std::int32_t kind = 0) {
    auto log = std::dynamic_pointer_cast<ILog>(components::NewLog());
    log->WriteLogEntry(source, text, kind);
  }

  TempFolder folder_;
  std::filesystem::path file_ = folder_ / "carvalen.log";
  ScopedEnv env_{"CARVALEN_LOG", file_.string()};
};

TEST_F(LogTest, WritesOneJsonObjectALine) {
  ScopedTimeZone zone("XST-05:30");
  const std::string before = LocalNow();
  Write("Carvalen", "\r\nERROR 0x80040404\r\n METHOD: \"x\"\\y\t.\r\n", 0);
  const std::string after = LocalNow();

  const std::string written = ReadFile(file_);
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back(), '\n');
  const auto lines = Lines(written);
  ASSERT_EQ(lines.size(), 1u);
  const std::string& line = lines[0];

  // gtest's own (POSIX) regex: std::regex trips a false -Wmaybe-uninitialized in GCC 12 under
  // the sanitizers.
  EXPECT_THAT(
      line,
      ::testing::ContainsRegex(
          R"(^\{"time": "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}", "source": )"));
  EXPECT_EQ(
      line.substr(line.find(", \"source\": ")),
      R"(, "source": "Carvalen", "kind": 0, "text": "\r\nERROR 0x80040404\r\n METHOD: \"x\"\\y\t.\r\n"})");

  const auto entry = nlohmann::ordered_json::parse(line);
  std::vector<std::string> keys;
  for (const auto& item : entry.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"time", "source", "kind", "text"}));
  EXPECT_EQ(entry["kind"], 0);
  EXPECT_EQ(entry["text"], "\r\nERROR 0x80040404\r\n METHOD: \"x\"\\y\t.\r\n");
  const std::string time = entry["time"];
  EXPECT_LE(before, time);
  EXPECT_LE(time, after);
}

TEST_F(LogTest, AppendsToTheFile) {
  folder_.Write("carvalen.log", "earlier\n");
  Write("A", "first", 0);
  Write("", "", -1);
  const auto lines = Lines(ReadFile(file_));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier");
  EXPECT_EQ(nlohmann::json::parse(lines[1])["text"], "first");
  const auto second = nlohmann::json::parse(lines[2]);
  EXPECT_EQ(second["source"], "");
  EXPECT_EQ(second["kind"], -1);
}

TEST_F(LogTest, KeepsEntriesWithBytesThatAreNotUtf8) {
  Write("Driver", "caf\xE9 \xC3\xA9", 0);
  const auto entry = nlohmann::json::parse(Lines(ReadFile(file_)).at(0));
  EXPECT_EQ(entry["text"], "caf\xEF\xBF\xBD \xC3\xA9");  // the stray byte becomes U+FFFD
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kEntries = 100;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kEntries; ++i) {
        Write("writer " + std::to_string(t), std::string(6000, static_cast<char>('a' + t)), i);
      }
    });
  }
  for (auto& writer : writers) writer.join();

  const auto lines = Lines(ReadFile(file_));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEntries));
  for (const auto& line : lines) {
    const auto entry = nlohmann::json::parse(line);
    const std::string source = entry["source"];
    const char letter = static_cast<char>('a' + (source.back() - '0'));
    EXPECT_EQ(entry["text"], std::string(6000, letter));
  }
}

TEST_F(LogTest, FailsWhenTheFileCannotBeOpened) {
  ScopedEnv unwritable("CARVALEN_LOG", (folder_ / "no-such-folder/carvalen.log").string());
  const Error error = ErrorOf([&] { Write("Carvalen", "lost", 0); });
  EXPECT_EQ(error.Source(), "Halvard.Log");
  EXPECT_NE(error.Description().find("no-such-folder"), std::string::npos) << error.Description();
}

TEST_F(LogTest, AnswersCallsByName) {
  auto log = components::NewLog();
  EXPECT_EQ(log->ClassName(), "Halvard.Log");
  std::vector<Variant> args{Variant("Carvalen"), Variant("text"), Variant(std::int16_t{0})};
  EXPECT_TRUE(log->Invoke("writelogentry", args).IsEmpty());
  EXPECT_EQ(args[2], Variant(std::int32_t{0}));
  const auto entry = nlohmann::json::parse(Lines(ReadFile(file_)).at(0));
  EXPECT_EQ(entry["source"], "Carvalen");
  EXPECT_EQ(entry["text"], "text");

  std::vector<Variant> two{Variant("Carvalen"), Variant("text")};
  EXPECT_EQ(ErrorOf([&] { log->Invoke("WriteLogEntry", two); }).Number(), 450);
}

}  // namespace
}  // namespace carvalen
