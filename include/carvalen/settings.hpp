// Process-wide settings of the library's default components: where the configuration stores
// live and where the log and the SQL trace go. Each starts from its CARVALEN_* environment
// variable, read once at first use, so a host's later setenv cannot race a running call; a host
// changes them through this API instead, from any thread, at any time.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
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

/// The most array cells one operation may allocate unless a host says otherwise: far more than
/// any real call makes, and still a bound on what a caller's array bounds can ask for.
inline constexpr std::int64_t kDefaultMaxCells = 10'000'000;

/// The most array cells (elements, both dimensions of a matrix multiplied) one call of an
/// operation may allocate in all, copies included; more fails the call with 7 "Out of memory"
/// before the memory is taken. Starts from CARVALEN_MAX_CELLS (a positive count; anything else
/// there is ignored), else kDefaultMaxCells; LoadSettingsFromEnvironment reads it again.
CARVALEN_API std::int64_t GetMaxCells();

/// Sets the budget of GetMaxCells for calls that start from now on; 0 or less restores the
/// default.
CARVALEN_API void SetMaxCells(std::int64_t cells);

/// Drops every parsed configuration store kept in memory, so that the next call parses each store
/// again. Never needed for exact answers (every call sees its store as it is); it gives the
/// memory back.
CARVALEN_API void ForgetConfigurationStores();

}  // namespace carvalen
