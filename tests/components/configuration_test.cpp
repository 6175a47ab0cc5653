// The default configuration component: TOML stores in the folder CARVALEN_CONFIG_DIR names.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "carvalen/interfaces.hpp"
#include "components/configuration.hpp"
#include "components/contract_settings.hpp"
#include "components/defaults.hpp"
#include "support/scratch.hpp"

namespace carvalen {
namespace {

using testing::CaptureError;

constexpr std::int32_t kFailure = static_cast<std::int32_t>(0x80004005u);

class ConfigurationTest : public ::testing::Test {
 protected:
  testing::TempFolder folder_;
  testing::ScopedSetting folder_setting_{Setting::ConfigDir, folder_.path.string()};
  std::shared_ptr<IConfiguration> configuration_ =
      std::dynamic_pointer_cast<IConfiguration>(components::NewConfiguration());
};

TEST_F(ConfigurationTest, ReadsEachTomlTypeAsItsVariant) {
  const struct {
    const char* toml;
    Variant expected;
  } cases[] = {
      {"'30'", Variant("30")},
      {"''", Variant()},  // empty text reads as unset
      {"3", Variant(3)},
      {"5000000000", Variant(std::int64_t{5000000000})},
      {"0.25", Variant(0.25)},
      {"true", Variant(true)},
      {"['a', 'b']", Variant("[ 'a', 'b' ]")},
  };
  std::string toml = "[CONNECTIONS]\n";
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    toml += "Key" + std::to_string(i) + " = " + cases[i].toml + "\n";
  }
  folder_.Write("Vendra.toml", toml);
  std::vector<Variant> open{Variant("Vendra"), Variant(std::int16_t{0})};
  EXPECT_TRUE(configuration_->Invoke("OPENSTORE", open).IsEmpty());
  auto value = [&](const char* section, const std::string& key) {  // by name, as hosts call it
    std::vector<Variant> args{Variant(section), Variant(key)};
    return configuration_->Invoke("GetConfigValue", args);
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(value("CONNECTIONS", "Key" + std::to_string(i)), cases[i].expected) << cases[i].toml;
  }
  // Absent keys and sections read as unset; keys are case-sensitive.
  EXPECT_TRUE(value("CONNECTIONS", "Absent").IsEmpty());
  EXPECT_TRUE(value("CONNECTIONS", "KEY0").IsEmpty());
}

// Stores are files named after them; connection strings are read from the open store only, and
// a failed open leaves none open.
TEST_F(ConfigurationTest, OpensStoresByFileNameAndReadsConnectionStrings) {
  folder_.Write("Vendra.toml",
                "[ConnectionStrings]\nEContract = 'Provider=SQLite;Data Source=/srv/contracts.db'\n"
                "Numbered = 12\n");
  folder_.Write("Broken.toml", "[CONNECTIONS]\nRetries = = 3\n");
  std::filesystem::create_directory(folder_ / "Zandril.toml");  // a folder is no store
  std::vector<Variant> vendra{Variant("Vendra")};
  EXPECT_EQ(configuration_->Invoke("storeexists", vendra), Variant(true));
  const std::string outside = "../" + folder_.path.filename().string() + "/Vendra";
  for (const std::string& name : {std::string("Zandril"), std::string("vendra.toml"), outside}) {
    EXPECT_FALSE(configuration_->StoreExists(name)) << name;
  }
  auto failure = [&](const char* name) {
    return CaptureError([&] { configuration_->GetConnectionString(name); });
  };
  EXPECT_EQ(failure("EContract").Number(), kFailure);
  configuration_->OpenStore("Vendra", 0);
  std::vector<Variant> name{Variant("EContract")};
  EXPECT_EQ(configuration_->Invoke("getconnectionstring", name),
            Variant("Provider=SQLite;Data Source=/srv/contracts.db"));
  const Error absent = failure("Reporting");
  EXPECT_EQ(absent.Number(), kFailure);
  EXPECT_EQ(absent.Source(), "Halvard.Configuration");
  EXPECT_NE(absent.Description().find("'Reporting'"), std::string::npos) << absent.Description();
  EXPECT_EQ(failure("Numbered").Number(), kFailure);  // not text

  const Error missing = CaptureError([&] { configuration_->OpenStore("Nowhere", 0); });
  EXPECT_EQ(missing.Number(), kFailure);
  EXPECT_TRUE(missing.Description().starts_with("Configuration store 'Nowhere' does not exist"))
      << missing.Description();
  configuration_->OpenStore("Vendra", 0);
  const Error broken = CaptureError([&] { configuration_->OpenStore("Broken", 0); });
  EXPECT_EQ(broken.Number(), kFailure);
  EXPECT_TRUE(broken.Description().starts_with(
      "Configuration store '" + (folder_ / "Broken.toml").string() + "' could not be read: "))
      << broken.Description();
  EXPECT_NE(broken.Description().find("(line 2, column "), std::string::npos);
  EXPECT_EQ(failure("EContract").Number(), kFailure);
}

// The default component answers the contract settings from what it keeps with each parsed store;
// a host's component goes through the interface. Both must give the same answer (or error) as
// stores appear, change, break and move, and the kept answer must never outlive its store.
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
      const auto read = settings::ReadContractConnection(c);
      if (!read) return "none";
      return read->connection_string + " " + std::to_string(read->command_timeout) + " " +
             std::to_string(read->connection_timeout) +
             " open:" + c.GetConnectionString(settings::kConnectionName);
    } catch (const Error& e) {
      return "error " + std::to_string(e.Number()) + " " + e.Description();
    }
  };
  auto store = [](const char* url, const char* command, const char* connection) {
    std::string toml = "[ConnectionStrings]\nEContract = " + std::string(url) + "\n[CONNECTIONS]\n";
    if (command) toml += "EContractConnection_CommandTimeout = " + std::string(command) + "\n";
    if (connection)
      toml += "EContractConnection_ConnectionTimeout = " + std::string(connection) + "\n";
    return toml;
  };
  const testing::TempFolder other;
  other.Write("Vendra.toml", store("'w'", "1", "2"));
  auto write = [&](const char* name, const std::string& toml) {
    folder_.Write(name, toml);  // seen by the very next read, within the same file-clock tick
  };
  auto remove = [&](const char* name) { std::filesystem::remove(folder_ / name); };
  const std::string failed = "error " + std::to_string(kFailure) + " ";
  const struct {
    const char* name;
    std::function<void()> change;
    std::string expected;  // start of the outcome
  } steps[] = {
      {"no store", [] {}, "none"},
      {"Zandril appears", [&] { write("Zandril.toml", store("'z'", "30", "'15'")); },
       "z 30 15 open:z"},
      {"Vendra appears, before Zandril", [&] { write("Vendra.toml", store("'v'", "''", nullptr)); },
       "v 0 0 open:v"},
      {"Vendra edited", [&] { write("Vendra.toml", store("'v2'", "44.6", "7")); },
       "v2 45 7 open:v2"},
      {"not TOML", [&] { write("Vendra.toml", "[ConnectionStrings\n"); },
       failed + "Configuration store '"},
      {"connection string not text", [&] { write("Vendra.toml", store("12", "1", "1")); },
       failed + "Connection string 'EContract'"},
      {"no connection string", [&] { write("Vendra.toml", "[CONNECTIONS]\n"); },
       failed + "Configuration store 'Vendra'"},
      {"time-out not a number", [&] { write("Vendra.toml", store("'v'", "'soon'", "1")); },
       "error 13 "},
      {"mended", [&] { write("Vendra.toml", store("'v3'", "3", "4")); }, "v3 3 4 open:v3"},
      {"same size, same tick", [&] { write("Vendra.toml", store("'v4'", "3", "4")); },
       "v4 3 4 open:v4"},
      {"back again", [&] { write("Vendra.toml", store("'v3'", "3", "4")); }, "v3 3 4 open:v3"},
      {"folder switched", [&] { SetSetting(Setting::ConfigDir, other.path.string()); },
       "w 1 2 open:w"},
      {"folder back", [&] { SetSetting(Setting::ConfigDir, folder_.path.string()); },
       "v3 3 4 open:v3"},
      {"Vendra removed", [&] { remove("Vendra.toml"); }, "z 30 15 open:z"},
      {"Zandril removed too", [&] { remove("Zandril.toml"); }, "none"},
  };
  Forwarding host;
  for (const auto& step : steps) {
    step.change();
    const std::string kept = outcome(*configuration_);  // the first call of a version reads it
    EXPECT_TRUE(kept.starts_with(step.expected)) << step.name << ": " << kept;
    EXPECT_EQ(outcome(*configuration_), kept) << step.name;  // answered from what was kept
    EXPECT_EQ(outcome(host), kept) << step.name;
  }
}

}  // namespace
}  // namespace carvalen
