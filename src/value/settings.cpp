// The settings live in one process-wide table behind a mutex: they are read at every connection
// open and log entry, and written rarely (a host's start-up, tests).
#include "carvalen/settings.hpp"

#include <array>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace carvalen {
namespace {

constexpr std::array kSettings = {Setting::ConfigDir, Setting::LogFile, Setting::SqlTrace,
                                  Setting::ServiceTokens};

class Settings {
 public:
  Settings() { Load(); }

  std::string Get(Setting setting) {
    std::lock_guard lock(mutex_);
    return values_[Index(setting)];
  }

  void Set(Setting setting, std::string value) {
    std::lock_guard lock(mutex_);
    values_[Index(setting)] = std::move(value);
  }

  void Load() {
    std::array<std::string, kSettings.size()> loaded;
    for (Setting setting : kSettings) {
      const char* value = std::getenv(SettingVariable(setting));
      loaded[Index(setting)] = value != nullptr ? value : "";
    }
    std::lock_guard lock(mutex_);
    values_ = std::move(loaded);
  }

 private:
  static std::size_t Index(Setting setting) { return static_cast<std::size_t>(setting); }

  std::mutex mutex_;
  std::array<std::string, kSettings.size()> values_;
};

Settings& TheSettings() {
  static Settings settings;  // the environment is read here, once
  return settings;
}

}  // namespace

const char* SettingVariable(Setting setting) {
  switch (setting) {
    case Setting::ConfigDir:
      return "CARVALEN_CONFIG_DIR";
    case Setting::LogFile:
      return "CARVALEN_LOG";
    case Setting::SqlTrace:
      return "CARVALEN_SQL_TRACE";
    case Setting::ServiceTokens:
      break;
  }
  return "CARVALEN_SERVICE_TOKENS";
}

std::string GetSetting(Setting setting) { return TheSettings().Get(setting); }

void SetSetting(Setting setting, std::string value) {
  TheSettings().Set(setting, std::move(value));
}

void LoadSettingsFromEnvironment() { TheSettings().Load(); }

}  // namespace carvalen
