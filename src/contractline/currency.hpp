// The currency code of one contract line, read over a connection the calling operation already
// holds. Not a public operation: the break tables use it before their own query, and any failure
// in it is reported by the calling operation under that operation's name.
#pragma once

#include <cstdint>

#include "carvalen/variant.hpp"
#include "db/client.hpp"

namespace carvalen::contractline {

/// The line's CURRENCYCODE as read (Null stays Null), or Empty when the line does not exist.
/// Opens and closes nothing but its own record set; the connection stays the caller's.
Variant GetContractLineCurrency(std::int32_t header, std::int32_t line,
                                const db::ConnectionPtr& connection);

}  // namespace carvalen::contractline
