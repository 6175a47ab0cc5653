#include "contractline/breaks.hpp"

#include <limits>

#include "carvalen/error.hpp"
#include "frame/operation.hpp"

namespace carvalen::contractline {

bool BreaksSwitchedOff(const Variant& flag) { return flag.IsNumber() && flag.ToDouble() == 0.0; }

std::string BreakSql(IUtilities& utilities, const char* columns, const char* table,
                     std::int32_t header, std::int32_t line, bool from_below, double quantity) {
  // Formatted in the order the statement names them.
  const std::string header_text = utilities.FormatSqlNumber(header);
  const std::string line_text = utilities.FormatSqlNumber(line);
  const std::string quantity_text = utilities.FormatSqlDouble(quantity);
  return frame::Concat({"SELECT ", columns, " FROM ", table, " WHERE CONTRACTHEADERID = ",
                        header_text, " AND CONTRACTLINEID = ", line_text,
                        from_below ? " AND QUANTITY <= " : " AND QUANTITY >= ", quantity_text,
                        from_below ? " ORDER BY QUANTITY DESC" : " ORDER BY QUANTITY ASC"});
}

bool BreaksExist(std::string_view qualified_name, const char* table, std::int32_t header,
                 std::int32_t line) {
  return frame::RunOperation(qualified_name, [&](const frame::Query& q) {
    auto rs = q.Open(
        q.ForLine(frame::Concat({"SELECT QUANTITY FROM ", table, " WHERE CONTRACTHEADERID = "}),
                  header, line));
    return !rs->Eof();
  });
}

std::int32_t NextBreakRow(std::int32_t row) {
  if (row == std::numeric_limits<std::int32_t>::max()) throw Error::Runtime(errnum::kOverflow);
  return row + 1;
}

}  // namespace carvalen::contractline
