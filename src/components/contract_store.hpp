// Where the contract database's connection settings live in the configuration stores, and reading
// them. The library's own connections and the default category component read the same settings;
// each reports a missing store in its own words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "carvalen/interfaces.hpp"
#include "db/client.hpp"

namespace carvalen::contract_store {

/// Tried in this order; the first that exists is used.
inline constexpr const char* kStores[] = {"Vendra", "Zandril"};
inline constexpr const char* kConnectionName = "EContract";
inline constexpr const char* kTimeoutSection = "CONNECTIONS";
inline constexpr const char* kCommandTimeoutKey = "EContractConnection_CommandTimeout";
inline constexpr const char* kConnectionTimeoutKey = "EContractConnection_ConnectionTimeout";

/// The contract database's connection string and time-outs (seconds, 0 for no limit).
struct ContractConnection {
  std::string connection_string;
  std::int32_t command_timeout = 0;
  std::int32_t connection_timeout = 0;

  /// Sets them on `connection`, ready for Open.
  void ApplyTo(db::Connection& connection) const;
};

/// Opens the first of kStores that exists and reads the connection settings from it (a time-out
/// that is Empty, absent or "", converts to 0); nullopt, with no store opened, when none exists.
/// The library's own configuration component answers from settings it keeps with each parsed
/// store; any other goes through the interface on every call.
std::optional<ContractConnection> ReadContractConnection(IConfiguration& configuration);

/// The connection settings in the store `configuration` has open.
ContractConnection ReadOpenStore(IConfiguration& configuration);

}  // namespace carvalen::contract_store
