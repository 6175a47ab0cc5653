// The library's settings: read from the environment once, changed by a host through the API.
#include "carvalen/settings.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace carvalen {
namespace {

TEST(Settings, StartFromTheEnvironmentAndIgnoreItsLaterChanges) {
  for (Setting setting : {Setting::ConfigDir, Setting::LogFile, Setting::SqlTrace}) {
    const char* variable = SettingVariable(setting);
    SCOPED_TRACE(variable);
    ::setenv(variable, "/from/environment", 1);
    LoadSettingsFromEnvironment();
    EXPECT_EQ(GetSetting(setting), "/from/environment");
    // A host's setenv while calls run is not seen: only the API changes a setting.
    ::setenv(variable, "/changed/later", 1);
    EXPECT_EQ(GetSetting(setting), "/from/environment");
    SetSetting(setting, "/from/host");
    EXPECT_EQ(GetSetting(setting), "/from/host");
    ::unsetenv(variable);
    LoadSettingsFromEnvironment();
    EXPECT_EQ(GetSetting(setting), "");
  }
}

}  // namespace
}  // namespace carvalen
