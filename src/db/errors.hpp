// Errors raised by the database client itself (not by a driver): the classic data-access numbers
// of client.hpp with their classic texts, source "Carvalen.Database".
#pragma once

#include <cstdint>
#include <string>

#include "carvalen/error.hpp"
#include "db/client.hpp"

namespace carvalen::db {

inline constexpr const char* kLayerSource = "Carvalen.Database";

inline constexpr const char* kTextNotFound =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";
inline constexpr const char* kTextNoCurrentRecord =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
    "requires a current record.";
inline constexpr const char* kTextClosed = "Operation is not allowed when the object is closed.";
inline constexpr const char* kTextOpen = "Operation is not allowed when the object is open.";
inline constexpr const char* kTextProviderNotFound =
    "Provider cannot be found. It may not be properly installed.";
inline constexpr const char* kTextNotSupported =
    "Operation is not supported for this type of object.";
inline constexpr const char* kTextPoolTimeout =
    "Timeout expired: every pooled connection stayed in use until the connection time-out ran "
    "out (Max Pool Size reached).";
inline constexpr const char* kTextNoCommand = "Command text was not set for the command object.";
inline constexpr const char* kTextSecondStatement =
    "The command text holds more than one statement; only one statement is run per call.";

/// An error of this layer.
inline Error LayerError(std::int32_t number, std::string description) {
  return Error(number, std::move(description), kLayerSource);
}

}  // namespace carvalen::db
