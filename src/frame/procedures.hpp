// The four procedures every operation relies on: creating a component by name (inside the
// caller's object context when there is one), opening the contract database connection from the
// configuration store, and closing connections and record sets. Each arms its own error trap only
// when no error is pending, so clean-up on an error path never disturbs the error being reported.
#pragma once

#include <string_view>

#include "carvalen/variant.hpp"
#include "db/client.hpp"

namespace carvalen::frame {

inline constexpr const char* kGetComponentName = "VendraUtilies.GetComponent";
inline constexpr const char* kCloseRecordsetName = "VendraUtilities.CloseRecordset";
inline constexpr const char* kGetSourceConnectionName = "EContractUtilities.GetSourceConnection";
inline constexpr const char* kCloseConnectionName = "EContractUtilities.CloseConnection";

/// Creates the component `name`, through the object context when the thread has one.
Variant GetComponent(std::string_view name);

/// Opens the contract database connection configured in the "Vendra" (else "Zandril") store,
/// with its time-outs, and sets READ COMMITTED isolation.
db::ConnectionPtr GetSourceConnection();

/// Closes the connection if it is open and empties the reference.
void CloseConnection(db::ConnectionPtr& connection);

/// Closes the record set if it is open and empties the reference.
void CloseRecordset(db::RecordsetPtr& recordset);

}  // namespace carvalen::frame
