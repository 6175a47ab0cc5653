// The settings live in one process-wide table behind a mutex: they are read on every call, from
// every thread, and written rarely (a host's start-up, tests). So each thread reads its own copy
// of the table, taken again under the mutex only when the table's version has moved.
#include "carvalen/settings.hpp"

#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

namespace carvalen {
namespace {

// A positive decimal count, else the default.
std::int64_t CellsFrom(const char* text) {
  if (text == nullptr) return kDefaultMaxCells;
  const std::string_view digits(text);
  std::int64_t cells = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), cells);
  if (error != std::errc() || end != digits.data() + digits.size() || cells <= 0) {
    return kDefaultMaxCells;
  }
  return cells;
}

constexpr std::array kSettings = {Setting::ConfigDir, Setting::LogFile, Setting::SqlTrace,
                                  Setting::ServiceTokens};

class Settings {
 public:
  Settings() { Load(); }

  std::string Get(Setting setting) {
    thread_local Copy copy;
    if (copy.version != version_.load(std::memory_order_acquire)) {
      std::lock_guard lock(mutex_);
      copy.values = values_;
      copy.version = version_.load(std::memory_order_relaxed);
    }
    return copy.values[Index(setting)];
  }

  void Set(Setting setting, std::string value) {
    std::lock_guard lock(mutex_);
    values_[Index(setting)] = std::move(value);
    version_.fetch_add(1, std::memory_order_release);
  }

  void Load() {
    std::array<std::string, kSettings.size()> loaded;
    for (Setting setting : kSettings) {
      const char* value = std::getenv(SettingVariable(setting));
      loaded[Index(setting)] = value != nullptr ? value : "";
    }
    max_cells_.store(CellsFrom(std::getenv("CARVALEN_MAX_CELLS")), std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    values_ = std::move(loaded);
    version_.fetch_add(1, std::memory_order_release);
  }

  // One number read at every call's start: an atomic, not the table of texts.
  std::int64_t MaxCells() const { return max_cells_.load(std::memory_order_relaxed); }
  void SetMaxCells(std::int64_t cells) {
    max_cells_.store(cells > 0 ? cells : kDefaultMaxCells, std::memory_order_relaxed);
  }

 private:
  static std::size_t Index(Setting setting) { return static_cast<std::size_t>(setting); }

  using Values = std::array<std::string, kSettings.size()>;
  struct Copy {
    std::uint64_t version = 0;  // the table's first version is 1: a new copy is always taken
    Values values;
  };

  std::mutex mutex_;
  Values values_;
  std::atomic<std::uint64_t> version_ = 0;
  std::atomic<std::int64_t> max_cells_ = kDefaultMaxCells;
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

std::int64_t GetMaxCells() { return TheSettings().MaxCells(); }

void SetMaxCells(std::int64_t cells) { TheSettings().SetMaxCells(cells); }

}  // namespace carvalen
