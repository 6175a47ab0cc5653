#include "contractline/breaks.hpp"

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

}  // namespace carvalen::contractline
