// Where the contract database's connection settings live in the configuration stores. The
// library's own connections and the default category component read the same settings.
#pragma once

#include <cstdint>
#include <string>

#include "carvalen/interfaces.hpp"

namespace carvalen::settings {

/// Tried in this order; the first that exists is used.
inline constexpr const char* kStores[] = {"Vendra", "Zandril"};
inline constexpr const char* kConnectionName = "EContract";
inline constexpr const char* kTimeoutSection = "CONNECTIONS";
inline constexpr const char* kCommandTimeoutKey = "EContractConnection_CommandTimeout";
inline constexpr const char* kConnectionTimeoutKey = "EContractConnection_ConnectionTimeout";

/// A time-out in seconds from section CONNECTIONS; Empty (absent or "") converts to 0, no limit.
inline std::int32_t ReadTimeout(IConfiguration& configuration, const char* key) {
  std::string section = kTimeoutSection;
  std::string name = key;
  return configuration.GetConfigValue(section, name).ToLong();
}

}  // namespace carvalen::settings
