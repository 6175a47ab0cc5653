// The quantity-break rule shared by the unit price, the discount and the bulk pricing of many
// lines: which flag value switches a line's breaks off, and the statement that picks the one
// break an ordered quantity earns. Also what the price and discount break-ups have in common.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "carvalen/interfaces.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::contractline {

/// True only when the line's INCLUDE...BREAKUP flag holds a number equal to 0; a NULL (or
/// anything else) means the breaks decide, as it always has for lines written before the flag
/// existed.
bool BreaksSwitchedOff(const Variant& flag);

/// The statement that reads `columns` of the break a quantity earns on one line of `table`:
/// from below (MINQTYBREAKUP true) the highest break the quantity reaches, from above the
/// lowest break that still covers it. Values are formatted header id, line id, quantity.
std::string BreakSql(IUtilities& utilities, const char* columns, const char* table,
                     std::int32_t header, std::int32_t line, bool from_below, double quantity);

/// The price-break statement: "SELECT PRICE FROM CONTRACTPRICE WHERE ...".
inline std::string PriceBreakSql(IUtilities& utilities, std::int32_t header, std::int32_t line,
                                 bool from_below, double quantity) {
  return BreakSql(utilities, "PRICE", "CONTRACTPRICE", header, line, from_below, quantity);
}

/// The discount-break statement: "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM
/// CONTRACTDISCOUNT WHERE ...".
inline std::string DiscountBreakSql(IUtilities& utilities, std::int32_t header, std::int32_t line,
                                    bool from_below, double quantity) {
  return BreakSql(utilities, "DISCOUNTPERCENTAGE,DISCOUNTAMOUNT", "CONTRACTDISCOUNT", header, line,
                  from_below, quantity);
}

/// Runs the operation `qualified_name`: whether `table` (CONTRACTPRICE or CONTRACTDISCOUNT) holds
/// any break of the line.
bool BreaksExist(std::string_view qualified_name, const char* table, std::int32_t header,
                 std::int32_t line);

/// The key of the break after `row` in a break-up; past the Long range it fails as an overflow.
std::int32_t NextBreakRow(std::int32_t row);

}  // namespace carvalen::contractline
