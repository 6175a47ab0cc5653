// The default configuration component: TOML stores in the folder CARVALEN_CONFIG_DIR names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carvalen/interfaces.hpp"
#include "components/configuration.hpp"
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

// Parsed stores are kept per process; a rewritten store is read again once they are forgotten
// (and by itself within a second), also by a component that opened the old one.
TEST_F(ConfigurationTest, ReadsARewrittenStoreAgain) {
  auto url = [&](IConfiguration& c) {
    c.OpenStore("Vendra", 0);
    return c.GetConnectionString("EContract");
  };
  folder_.Write("Vendra.toml", "[ConnectionStrings]\nEContract = 'a'\n");
  EXPECT_EQ(url(*configuration_), "a");
  folder_.Write("Vendra.toml", "[ConnectionStrings]\nEContract = 'b'\n");
  components::ForgetConfigurationStores();
  EXPECT_EQ(url(*configuration_), "b");
  std::filesystem::remove(folder_ / "Vendra.toml");
  components::ForgetConfigurationStores();
  EXPECT_FALSE(configuration_->StoreExists("Vendra"));
  EXPECT_EQ(CaptureError([&] { url(*configuration_); }).Number(), kFailure);
}

}  // namespace
}  // namespace carvalen
