// The default components: configuration stores, the log, SQL literals and category settings.
#include <fmt/chrono.h>
#include <gmock/gmock.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "components/configuration.hpp"
#include "components/contract_store.hpp"
#include "components/defaults.hpp"
#include "support/operation_test.hpp"
#include "support/scratch.hpp"
#include "value/error_text.hpp"

namespace carvalen {
namespace {

using testing::CaptureError;

constexpr std::int32_t kFailure = static_cast<std::int32_t>(0x80004005u);

class ConfigurationTest : public ::testing::Test {
 protected:
  Variant Call(const char* method, std::vector<Variant> args) {  // by name, as hosts call it
    return configuration_->Invoke(method, args);
  }
  testing::TempFolder folder_;
  testing::ScopedSetting folder_setting_{Setting::ConfigDir, folder_.path.string()};
  std::shared_ptr<IConfiguration> configuration_ =
      std::dynamic_pointer_cast<IConfiguration>(components::NewConfiguration());
};

// Stores are files named after them, read only once opened; a failed open leaves none open.
TEST_F(ConfigurationTest, OpensStoresByFileNameAndReadsEachTomlTypeAsItsVariant) {
  const std::pair<const char*, Variant> values[] = {
      {"'30'", Variant("30")},
      {"''", Variant()},  // empty text reads as unset
      {"3", Variant(3)},
      {"5000000000", Variant(std::int64_t{5000000000})},
      {"0.25", Variant(0.25)},
      {"true", Variant(true)},
      {"['a', 'b']", Variant("[ 'a', 'b' ]")},
  };
  std::string toml =
      "[ConnectionStrings]\nEContract = 'Provider=SQLite;Data Source=/srv/contracts.db'\n"
      "[CONNECTIONS]\n";
  for (std::size_t i = 0; i < std::size(values); ++i)
    toml += "Key" + std::to_string(i) + " = " + values[i].first + "\n";
  folder_.Write("Vendra.toml", toml);
  folder_.Write("Broken.toml", "[CONNECTIONS]\nRetries = = 3\n");
  std::filesystem::create_directory(folder_ / "Zandril.toml");  // a folder is no store
  EXPECT_EQ(Call("storeexists", {Variant("Vendra")}), Variant(true));
  const std::string outside = "../" + folder_.path.filename().string() + "/Vendra";
  for (const std::string& name : {std::string("Zandril"), std::string("vendra.toml"), outside})
    EXPECT_FALSE(configuration_->StoreExists(name)) << name;
  // Each failure is 0x80004005 from the component, its description `start` and later `then`.
  const auto fails = [&](auto call, const std::string& start, const std::string& then = "") {
    const Error e = CaptureError(call);
    EXPECT_EQ(e.Number(), kFailure) << start;
    EXPECT_EQ(e.Source(), "Halvard.Configuration") << start;
    EXPECT_TRUE(e.Description().starts_with(start)) << e.Description();
    EXPECT_NE(e.Description().find(then, start.size()), std::string::npos) << e.Description();
  };
  const auto contract = [&] { configuration_->GetConnectionString("EContract"); };
  const std::string unopened = "GetConnectionString was called before a configuration store was";
  fails(contract, unopened);
  EXPECT_TRUE(Call("OPENSTORE", {Variant("Vendra"), Variant(std::int16_t{0})}).IsEmpty());
  EXPECT_EQ(Call("getconnectionstring", {Variant("EContract")}),
            Variant("Provider=SQLite;Data Source=/srv/contracts.db"));
  for (std::size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(Call("GetConfigValue", {Variant("CONNECTIONS"), Variant("Key" + std::to_string(i))}),
              values[i].second)
        << values[i].first;
  for (const char* unset : {"Absent", "KEY0"})  // keys are case-sensitive
    EXPECT_TRUE(Call("GetConfigValue", {Variant("CONNECTIONS"), Variant(unset)}).IsEmpty());
  fails([&] { configuration_->GetConnectionString("Reporting"); },
        "Configuration store 'Vendra' (" + (folder_ / "Vendra.toml").string() +
            ") has no connection string 'Reporting'");
  fails([&] { configuration_->OpenStore("Nowhere", 0); },
        "Configuration store 'Nowhere' does not exist");
  configuration_->OpenStore("Vendra", 0);
  fails([&] { configuration_->OpenStore("Broken", 0); },
        "Configuration store '" + (folder_ / "Broken.toml").string() + "' could not be read: ",
        "(line 2, column ");
  fails(contract, unopened);
}

// Kept settings and a host's component answer alike as stores appear, change, break and move.
TEST_F(ConfigurationTest, KeptContractSettingsFollowTheStores) {
  // Only the interface of a default component, as a host's own component would be used.
  struct Forwarding : IConfiguration {
    components::Configuration inner;
    std::string ClassName() const override { return kConfigurationName; }
    bool StoreExists(const std::string& s) override { return inner.StoreExists(s); }
    void OpenStore(const std::string& s, std::int32_t m) override { inner.OpenStore(s, m); }
    std::string GetConnectionString(const std::string& n) override {
      return inner.GetConnectionString(n);
    }
    Variant GetConfigValue(std::string& s, std::string& k) override {
      return inner.GetConfigValue(s, k);
    }
  };
  auto outcome = [](IConfiguration& c) -> std::string {
    try {
      const auto read = contract_store::ReadContractConnection(c);
      if (!read) return "none";
      return read->connection_string + " " + std::to_string(read->command_timeout) + " " +
             std::to_string(read->connection_timeout) +
             " open:" + c.GetConnectionString(contract_store::kConnectionName);
    } catch (const Error& e) {
      return "error " + std::to_string(e.Number()) + " " + e.Description();
    }
  };
  auto store = [](std::string url, std::string command, std::string connection = "") {
    return "[ConnectionStrings]\nEContract = " + url +
           "\n[CONNECTIONS]\nEContractConnection_CommandTimeout = " + command + "\n" +
           (connection.empty() ? ""
                               : "EContractConnection_ConnectionTimeout = " + connection + "\n");
  };
  const testing::TempFolder other;
  other.Write("Vendra.toml", store("'w'", "1", "2"));
  // Writes (without text, removes) a store, seen by the very next read within one file-clock tick.
  auto write = [this](const char* name, std::string toml = "") -> std::function<void()> {
    if (toml.empty()) return [this, name] { std::filesystem::remove(folder_ / name); };
    return [this, name, toml] { folder_.Write(name, toml); };
  };
  auto vendra = [&](std::string toml) { return write("Vendra.toml", toml); };
  auto folder = [](std::string dir) { return [dir] { SetSetting(Setting::ConfigDir, dir); }; };
  const std::string failed = "error " + std::to_string(kFailure) + " ";
  const std::tuple<const char*, std::function<void()>, std::string> steps[] = {
      {"no store", [] {}, "none"},
      {"Zandril appears", write("Zandril.toml", store("'z'", "30", "'15'")), "z 30 15 open:z"},
      {"Vendra appears, before Zandril", vendra(store("'v'", "''")), "v 0 0 open:v"},
      {"Vendra edited", vendra(store("'v2'", "44.6", "7")), "v2 45 7 open:v2"},
      {"not TOML", vendra("[ConnectionStrings\n"), failed + "Configuration store '"},
      {"connection string not text", vendra(store("12", "1", "1")),
       failed + "Connection string 'EContract'"},
      {"no connection string", vendra("[CONNECTIONS]\n"), failed + "Configuration store 'Vendra'"},
      {"time-out not a number", vendra(store("'v'", "'soon'", "1")), "error 13 Type mismatch"},
      {"mended", vendra(store("'v3'", "3", "4")), "v3 3 4 open:v3"},
      {"same size, same tick", vendra(store("'v4'", "3", "4")), "v4 3 4 open:v4"},
      {"back again", vendra(store("'v3'", "3", "4")), "v3 3 4 open:v3"},
      {"folder switched", folder(other.path.string()), "w 1 2 open:w"},
      {"folder back", folder(folder_.path.string()), "v3 3 4 open:v3"},
      {"Vendra removed", write("Vendra.toml"), "z 30 15 open:z"},
      {"Zandril removed too", write("Zandril.toml"), "none"},
  };
  Forwarding host;
  for (const auto& [name, change, expected] : steps) {
    change();
    const std::string kept = outcome(*configuration_);  // the first call of a version reads it
    EXPECT_TRUE(kept.starts_with(expected)) << name << ": " << kept;
    EXPECT_EQ(outcome(*configuration_), kept) << name;  // answered from what was kept
    EXPECT_EQ(outcome(host), kept) << name;
  }
}

// Local time now to the second, from the log's clock (time() is coarser, a second behind at times).
std::string LocalNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}", fmt::localtime(now));
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

TEST_F(LogTest, AppendsJsonLinesInLocalTimeWithDiagnosticsReadableOrFails) {
  folder_.Write("carvalen.log", "earlier\n");
  std::string before, after;
  {
    // A time zone far from UTC shows whether the time is local.
    testing::ScopedEnv zone("TZ", "XST-05:30");
    tzset();
    before = LocalNow();
    Write("Carvalen", "\r\nERROR 0x80040404\r\n METHOD: \"x\"\\y\t.\r\n");
    after = LocalNow();
  }
  tzset();
  // By name, with a kind that is converted and written back, and a byte that is not UTF-8.
  std::vector<Variant> args{Variant(""), Variant("caf\xE9 \xC3\xA9"), Variant(std::int16_t{-1})};
  EXPECT_TRUE(components::NewLog()->Invoke("writelogentry", args).IsEmpty());
  EXPECT_EQ(args[2], Variant(std::int32_t{-1}));

  const std::string text = testing::ReadFile(file_);
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
  auto entry = nlohmann::json::parse(text.substr(8 + line.size()));  // one line, one object
  entry.erase("time");  // the stray byte becomes U+FFFD
  EXPECT_EQ(entry,
            nlohmann::json::parse(R"({"source": "", "kind": -1, "text": "caf\ufffd \u00e9"})"));
  // Known diagnostics follow the fixed members; a log that cannot be opened fails saying which.
  std::filesystem::remove(file_);
  const auto log = std::dynamic_pointer_cast<IDiagnosticLog>(components::NewLog());
  ASSERT_NE(log, nullptr);
  std::string source = "PostgreSQL", message = "t";
  std::int32_t kind = 0;
  log->WriteDiagnosticEntry(source, message, kind, {"42P01", "", "SELECT \"A\" FROM X", ""});
  log->WriteDiagnosticEntry(source, message, kind, {});
  const std::string lines = testing::ReadFile(file_);
  EXPECT_THAT(lines,
              ::testing::HasSubstr(
                  R"("kind": 0, "text": "t", "code": "42P01", "statement": "SELECT \"A\" FROM X"})"
                  "\n{"));
  EXPECT_TRUE(lines.ends_with("\"kind\": 0, \"text\": \"t\"}\n")) << lines;
  testing::ScopedSetting unwritable(Setting::LogFile,
                                    (folder_ / "no-such-folder/carvalen.log").string());
  const Error error = CaptureError([&] { Write("Carvalen", "lost"); });
  EXPECT_EQ(error.Source(), "Halvard.Log");
  EXPECT_NE(error.Description().find("no-such-folder"), std::string::npos) << error.Description();
  // At a terminal: each method once, outermost first, then the innermost text less its full stop.
  const std::pair<const char*, const char*> readable[] = {
      {"Type mismatch", "Type mismatch"},
      {" two\r\n lines\t", "two lines"},
      {"\r\nERROR 0xE\r\n METHOD: A.Op\r\n DESC: \r\nERROR 0xE\r\n METHOD: A.Op\r\n DESC: "
       "\r\nERROR 0xE\r\n METHOD: U.Open\r\n DESC: unable to open database file.\r\n.\r\n.\r\n",
       "A.Op > U.Open: unable to open database file"},
      {"\r\nERROR 0x5\r\n METHOD: A.Op\r\n DESC: Not found..\r\n INFO: key 7.\r\n",
       "A.Op: Not found."},
      {"\r\nERROR 0x5\r\n METHOD: A.Op\r\n DESC: line one\nline two", "A.Op: line one line two"},
  };
  for (const auto& [description, read] : readable)
    EXPECT_EQ(text::ReadableDescription(description), read) << description;
}

TEST(Utilities, WritesSqlLiteralsByName) {
  const auto u = components::NewUtilities();
  const auto outcome = [&](const char* name, std::vector<Variant> args) {
    try {
      return u->Invoke(name, args);
    } catch (const Error& e) {
      return Variant("error " + std::to_string(e.Number()));
    }
  };
  const std::tuple<const char*, std::vector<Variant>, Variant> calls[] = {
      {"FormatSqlNumber", {Variant(-2147483647 - 1)}, Variant("-2147483648")},
      {"FormatSqlDouble", {Variant(1e-05)}, Variant("1e-05")},
      {"FormatSqlDouble", {Variant(1.0 / 3.0)}, Variant("0.3333333333333333")},
      {"FormatSqlDouble", {Variant(5e-324)}, Variant("5e-324")},
      {"FormatSqlDate", test::Vs(Date::FromParts(2026, 6, 10, 23, 59, 59, 250000)),
       Variant("'2026-06-10 23:59:59'")},
      {"FormatSqlNumber", {Variant("12")}, Variant("12")},
      {"FORMATSQLDOUBLE", {Variant(3)}, Variant("3")},
      {"quoteSqlString", {Variant(7)}, Variant("'7'")},
      {"FormatSqlDate", {Variant("2026-06-10 08:30")}, Variant("'2026-06-10 08:30:00'")},
      // What has no SQL literal, or would cut the statement short at a NUL, fails with 5.
      {"FormatSqlDouble", {Variant(std::numeric_limits<double>::quiet_NaN())}, Variant("error 5")},
      {"QuoteSqlString", {Variant(std::string("ab\0'; x", 7))}, Variant("error 5")},
      {"FormatSqlNumber", {}, Variant("error 449")},
      {"QuoteSqlString", {Variant(1), Variant(2)}, Variant("error 450")},
      {"FormatSqlText", {Variant(1)}, Variant("error 438")},
  };
  for (const auto& [name, args, answer] : calls) EXPECT_EQ(outcome(name, args), answer) << name;
}

Variant Names(std::vector<const char*> names) {
  return Variant(Array::Of(std::vector<Variant>(names.begin(), names.end())));
}

// GetCategoryFields called late-bound, as the library calls it.
DictionaryPtr CategoryFields(Variant category_id, Variant names) {
  std::vector<Variant> args{std::move(category_id), std::move(names)};
  return CreateObject("Morrowfen.Category")->Invoke("GetCategoryFields", args).As<Dictionary>();
}

// Leaves `store` the only store in `dir`, naming `cs` as the contract connection.
void OnlyStore(const std::filesystem::path& dir, const std::string& store, const std::string& cs) {
  std::filesystem::remove(dir / "Vendra.toml");
  if (!store.empty())
    std::ofstream(dir / (store + ".toml")) << "[ConnectionStrings]\nEContract = '" << cs << "'\n";
  carvalen::ForgetConfigurationStores();
}

class CategoryTest : public test::LineReadTest {
 protected:
  CategoryTest() {
    db.Exec(
        "INSERT INTO CATEGORYSETTING (CATEGORYID, FIELDNAME, FIELDVALUE) VALUES "
        "(4, 'AUTOMATICRFQGENERATION', '1'), (4, 'GENERATIONINTERVAL', NULL), "
        "(4, 'BUYERGROUP', 'North'), (4, NULL, 'nameless'), (9, 'AUTOMATICRFQGENERATION', '0')");
  }
};

TEST_P(CategoryTest, ChecksNamesAnswersInOrderWithOneQueryAndFails) {
  std::vector<Variant> args{Variant("4"), Names({"GENERATIONINTERVAL", "NOSUCHFIELD", "buyergroup",
                                                 "AUTOMATICRFQGENERATION", "GENERATIONINTERVAL"})};
  const auto answer =
      CreateObject("Morrowfen.Category")->Invoke("getcategoryfields", args).As<Dictionary>();
  EXPECT_EQ(args[0], Variant(4));  // the id comes back converted
  // Names match in case; one asked twice is answered once.
  EXPECT_EQ(test::KeysOf(*answer), test::Vs("GENERATIONINTERVAL", "AUTOMATICRFQGENERATION"));
  EXPECT_EQ(test::ElementsOf(Variant(answer->Items())), (test::Vs(Variant::Null(), "1")));
  EXPECT_EQ(CategoryFields(Variant(77), Names({"GENERATIONINTERVAL"}))->Count(), 0);
  // Without a store, any error but 0x8004041D shows the names were checked first.
  OnlyStore(db.ConfigDir(), "", "");
  const std::pair<Variant, std::int32_t> cases[] = {
      {Variant("GENERATIONINTERVAL"), 13},                     // no array
      {Variant(Array(0, 1, 0, 1)), 13},                        // two dimensions
      {Variant(Array::Of({Variant::Null()})), 94},             // a name that is no text
      {Names({"X"}), static_cast<std::int32_t>(0x8004041Du)},  // no store
  };
  for (const auto& c : cases)
    EXPECT_EQ(CaptureError([&] { CategoryFields(Variant(4), c.first); }).Number(), c.second);
  EXPECT_EQ(CaptureError([] { CategoryFields(Variant(4), Names({"X"})); }).Source(),
            "Morrowfen.Category");
  // One traced query, the id as digits; without Vendra the Zandril store names the database.
  OnlyStore(db.ConfigDir(), "Zandril", db.ConnectionString());
  {
    test::SqlTrace trace;
    EXPECT_EQ(CategoryFields(Variant(-4), Names({"X"}))->Count(), 0);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{"SELECT FIELDNAME,FIELDVALUE FROM "
                                                        "CATEGORYSETTING WHERE CATEGORYID = -4"});
  }
  OnlyStore(db.ConfigDir(), "Vendra", db.ConnectionString() + ";Colour=red");
  EXPECT_THROW(CategoryFields(Variant(4), Names({"X"})), Error);
  OnlyStore(db.ConfigDir(), "Vendra", db.ConnectionString());
  db.Exec("DROP TABLE CATEGORYSETTING");
  EXPECT_THROW(CategoryFields(Variant(4), Names({"X"})), Error);
}

CARVALEN_ON_PROVIDERS(CategoryTest);

}  // namespace
}  // namespace carvalen
