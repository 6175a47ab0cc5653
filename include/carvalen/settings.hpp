// Process-wide settings of the library's default components: where the configuration stores
// live and where the log and the SQL trace go. Each starts from its CARVALEN_* environment
// variable, read once at first use, so a host's later setenv cannot race a running call; a host
// changes them through this API instead, from any thread, at any time.
#pragma once

#include "carvalen/export.h"

#include <string>

namespace carvalen {

enum class Setting {
  ConfigDir,      ///< CARVALEN_CONFIG_DIR: folder of the configuration stores; empty: "config"
  LogFile,        ///< CARVALEN_LOG: file of the default log; empty: standard error
  SqlTrace,       ///< CARVALEN_SQL_TRACE: file of the SQL trace; empty: no trace
  ServiceTokens,  ///< CARVALEN_SERVICE_TOKENS: bearer tokens of `carvalen serve`, comma-separated
};

/// The environment variable a setting starts from ("CARVALEN_LOG", ...).
CARVALEN_API const char* SettingVariable(Setting setting);

/// The current value of `setting`; empty when unset.
CARVALEN_API std::string GetSetting(Setting setting);

/// Sets `setting` for the whole process; an empty value unsets it. Calls already running may
/// still use the old value.
CARVALEN_API void SetSetting(Setting setting, std::string value);

/// Reads every setting from its environment variable again (an unset variable unsets it).
CARVALEN_API void LoadSettingsFromEnvironment();

/// Drops every parsed configuration store kept in memory, so that the next call parses each store
/// again. Never needed for exact answers (every call sees its store as it is); it gives the
/// memory back.
CARVALEN_API void ForgetConfigurationStores();

}  // namespace carvalen
