#include "contractline/currency.hpp"

#include <string>

#include "carvalen/interfaces.hpp"
#include "frame/operation.hpp"
#include "frame/procedures.hpp"

namespace carvalen::contractline {

Variant GetContractLineCurrency(std::int32_t header, std::int32_t line,
                                const db::ConnectionPtr& connection) {
  // No trap of its own: a failure here belongs to the operation that asked.
  auto utilities = frame::GetComponent(kUtilitiesName).As<IUtilities>();
  auto rs = db::Recordset::Create();
  std::string header_text = utilities->FormatSqlNumber(header);
  std::string line_text = utilities->FormatSqlNumber(line);
  rs->Open(frame::Concat({"SELECT CURRENCYCODE FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
                          header_text, " AND CONTRACTLINEID = ", line_text}),
           connection, db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
  if (rs->Eof()) return Variant();
  return rs->Field("CURRENCYCODE");
}

}  // namespace carvalen::contractline
