#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "components/scratch.hpp"
#include "platform/components/defaults.hpp"

namespace carvalen {
namespace {

using testing::ErrorOf;
using testing::ScopedEnv;
using testing::TempFolder;

constexpr std::int32_t kFailure = static_cast<std::int32_t>(0x80004005u);

constexpr const char* kVendra = R"(
[ConnectionStrings]
EContract = "Provider=SQLite;Data Source=/srv/carvalen/contracts.db"
Numbered = 12

[CONNECTIONS]
EContractConnection_CommandTimeout = "30"
EContractConnection_ConnectionTimeout = ""
Retries = 3
Negative = -2147483648
Huge = 5000000000
Ratio = 0.25
Enabled = true
Since = 2026-06-10T08:00:00
Hosts = ["a", "b"]
)";

std::shared_ptr<IConfiguration> NewTestConfiguration() {
  return std::dynamic_pointer_cast<IConfiguration>(components::NewConfiguration());
}

Variant Value(IConfiguration& configuration, std::string section, std::string key) {
  return configuration.GetConfigValue(section, key);
}

class ConfigurationTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  ScopedEnv env_{"CARVALEN_CONFIG_DIR", folder_.Path().string()};
};

TEST_F(ConfigurationTest, FindsStoresByFileName) {
  folder_.Write("Vendra.toml", kVendra);
  folder_.Write("Zandril.d/readme.txt", "");
  auto configuration = NewTestConfiguration();
  EXPECT_TRUE(configuration->StoreExists("Vendra"));
  EXPECT_FALSE(configuration->StoreExists("Zandril"));
  EXPECT_FALSE(configuration->StoreExists("vendra.toml"));
  EXPECT_FALSE(configuration->StoreExists(""));
  EXPECT_FALSE(configuration->StoreExists("../" + folder_.Path().filename().string() + "/Vendra"));
}

TEST_F(ConfigurationTest, ReadsEachTomlTypeAsItsVariant) {
  folder_.Write("Vendra.toml", kVendra);
  auto configuration = NewTestConfiguration();
  configuration->OpenStore("Vendra", 0);
  const struct {
    const char* key;
    Variant expected;
  } cases[] = {
      {"EContractConnection_CommandTimeout", Variant("30")},
      {"EContractConnection_ConnectionTimeout", Variant()},  // empty text reads as unset
      {"Retries", Variant(std::int32_t{3})},
      {"Negative", Variant(std::int32_t{-2147483647 - 1})},
      {"Huge", Variant(std::int64_t{5000000000})},
      {"Ratio", Variant(0.25)},
      {"Enabled", Variant(true)},
      {"Since", Variant("2026-06-10T08:00:00")},
      {"Hosts", Variant("[ 'a', 'b' ]")},
      {"Absent", Variant()},
      {"retries", Variant()},  // keys are case-sensitive
  };
  for (const auto& c : cases) {
    const Variant value = Value(*configuration, "CONNECTIONS", c.key);
    EXPECT_EQ(value, c.expected) << c.key << ": " << value.TypeName();
  }
  EXPECT_TRUE(Value(*configuration, "NoSuchSection", "Retries").IsEmpty());
  EXPECT_TRUE(Value(*configuration, "ConnectionStrings", "EContract").IsString());
}

TEST_F(ConfigurationTest, ReadsConnectionStrings) {
  folder_.Write("Zandril.toml", kVendra);
  auto configuration = NewTestConfiguration();
  configuration->OpenStore("Zandril", 0);
  EXPECT_EQ(configuration->GetConnectionString("EContract"),
            "Provider=SQLite;Data Source=/srv/carvalen/contracts.db");

  const Error absent = ErrorOf([&] { configuration->GetConnectionString("Reporting"); });
  EXPECT_EQ(absent.Number(), kFailure);
  EXPECT_EQ(absent.Source(), "Halvard.Configuration");
  EXPECT_NE(absent.Description().find("'Zandril'"), std::string::npos) << absent.Description();
  EXPECT_NE(absent.Description().find("'Reporting'"), std::string::npos) << absent.Description();

  const Error not_text = ErrorOf([&] { configuration->GetConnectionString("Numbered"); });
  EXPECT_EQ(not_text.Number(), kFailure);
}

TEST_F(ConfigurationTest, DefaultsToConfigUnderTheWorkingDirectory) {
  folder_.Write("config/Vendra.toml", "[CONNECTIONS]\nRetries = 4\n");
  ScopedEnv unset("CARVALEN_CONFIG_DIR", std::nullopt);
  testing::ScopedWorkingDirectory cwd(folder_.Path());
  auto configuration = NewTestConfiguration();
  ASSERT_TRUE(configuration->StoreExists("Vendra"));
  configuration->OpenStore("Vendra", 0);
  EXPECT_EQ(Value(*configuration, "CONNECTIONS", "Retries"), Variant(std::int32_t{4}));
}

TEST_F(ConfigurationTest, FailsToOpenMissingOrInvalidStores) {
  folder_.Write("Broken.toml", "[CONNECTIONS]\nRetries = = 3\n");
  auto configuration = NewTestConfiguration();

  const Error missing = ErrorOf([&] { configuration->OpenStore("Vendra", 0); });
  EXPECT_EQ(missing.Number(), kFailure);
  EXPECT_EQ(missing.Source(), "Halvard.Configuration");
  EXPECT_EQ(missing.Description().rfind("Configuration store 'Vendra' does not exist", 0), 0u)
      << missing.Description();

  const Error broken = ErrorOf([&] { configuration->OpenStore("Broken", 0); });
  const std::string path = (folder_ / "Broken.toml").string();
  EXPECT_EQ(broken.Number(), kFailure);
  EXPECT_EQ(broken.Description().rfind("Configuration store '" + path + "' could not be read: ", 0),
            0u)
      << broken.Description();
  EXPECT_NE(broken.Description().find("(line 2, column "), std::string::npos)
      << broken.Description();
}

TEST_F(ConfigurationTest, ReadingNeedsAnOpenStore) {
  folder_.Write("Vendra.toml", kVendra);
  folder_.Write("Broken.toml", "[[[");
  auto configuration = NewTestConfiguration();
  EXPECT_EQ(ErrorOf([&] { configuration->GetConnectionString("EContract"); }).Number(), kFailure);
  EXPECT_EQ(ErrorOf([&] { Value(*configuration, "CONNECTIONS", "Retries"); }).Number(), kFailure);

  // A failed open does not leave the store opened before readable.
  configuration->OpenStore("Vendra", 0);
  EXPECT_THROW(configuration->OpenStore("Broken", 0), Error);
  EXPECT_EQ(ErrorOf([&] { configuration->GetConnectionString("EContract"); }).Number(), kFailure);
}

TEST_F(ConfigurationTest, AnswersCallsByName) {
  folder_.Write("Vendra.toml", kVendra);
  auto configuration = components::NewConfiguration();
  EXPECT_EQ(configuration->ClassName(), "Halvard.Configuration");

  std::vector<Variant> store{Variant("Vendra")};
  EXPECT_EQ(configuration->Invoke("storeexists", store), Variant(true));
  std::vector<Variant> open{Variant("Vendra"), Variant(std::int32_t{0})};
  EXPECT_TRUE(configuration->Invoke("OPENSTORE", open).IsEmpty());
  std::vector<Variant> name{Variant("EContract")};
  EXPECT_EQ(configuration->Invoke("GetConnectionString", name),
            Variant("Provider=SQLite;Data Source=/srv/carvalen/contracts.db"));
  std::vector<Variant> by_reference{Variant("CONNECTIONS"), Variant("Retries")};
  EXPECT_EQ(configuration->Invoke("GetConfigValue", by_reference), Variant(std::int32_t{3}));
  EXPECT_EQ(by_reference[0], Variant("CONNECTIONS"));

  std::vector<Variant> one{Variant("Vendra")};
  EXPECT_EQ(ErrorOf([&] { configuration->Invoke("OpenStore", one); }).Number(), 450);
}

}  // namespace
}  // namespace carvalen
