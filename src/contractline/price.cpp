// The unit price a quantity earns on a line, the line's price-break table, and whether the line
// has any price break at all.
#include <cstdint>
#include <string>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "contractline/breaks.hpp"
#include "contractline/currency.hpp"
#include "frame/operation.hpp"
#include "frame/procedures.hpp"

namespace carvalen {

double ContractLine::GetPrice(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                              double i_fQuantity, Variant& o_sCurrencyCode) {
  double no_break_price = 0.0;
  return GetPrice(i_lContractHeaderID, i_lContractLineID, i_fQuantity, o_sCurrencyCode,
                  no_break_price);
}

double ContractLine::GetPrice(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                              double i_fQuantity, Variant& o_sCurrencyCode,
                              double& i_fReturnValue) {
  return frame::RunOperation("Carvalen.ContractLine.GetPrice", [&](const frame::Query& q) {
    auto rs =
        q.Open(q.ForLine("SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP "
                         "FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
                         i_lContractHeaderID, i_lContractLineID));
    if (rs->Eof()) throw Error::Raised(errnum::kLineMissing);

    // The caller gets the currency whichever way the price is found.
    o_sCurrencyCode = rs->Field("CURRENCYCODE");
    if (contractline::BreaksSwitchedOff(rs->Field("INCLUDEPRICEBREAKUP")))
      return rs->Field("PRICE").ToDouble();

    const bool from_below = rs->Field("MINQTYBREAKUP").ToBool();
    rs->Close();

    rs->Open(contractline::PriceBreakSql(q.Utilities(), i_lContractHeaderID, i_lContractLineID,
                                         from_below, i_fQuantity),
             q.Connection(), db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
    // No break applies: the caller's fall-back, never the line's own PRICE.
    if (rs->Eof()) return i_fReturnValue;
    return rs->Field("PRICE").ToDouble();
  });
}

DictionaryPtr ContractLine::GetPriceBreakup(std::int32_t i_lContractHeaderID,
                                            std::int32_t i_lContractLineID,
                                            std::string& o_sCurrencyCode) {
  return frame::RunOperation("Carvalen.ContractLine.GetPriceBreakup", [&](const frame::Query& q) {
    DictionaryPtr breaks = Dictionary::Create();
    std::int32_t row = 1;
    // A missing line gives Empty, which is "" here; a NULL currency fails the conversion.
    o_sCurrencyCode = contractline::GetContractLineCurrency(i_lContractHeaderID, i_lContractLineID,
                                                            q.Connection())
                          .ToString();
    auto rs =
        q.Open(q.ForLine("SELECT QUANTITY,PRICE FROM CONTRACTPRICE WHERE "
                         "CONTRACTHEADERID = ",
                         i_lContractHeaderID, i_lContractLineID));
    Array entry(0, 1);
    while (!rs->Eof()) {
      // Values as read: callers of this table have always received the stored types.
      entry.At(0) = rs->Field("QUANTITY");
      entry.At(1) = rs->Field("PRICE");
      breaks->Add(Variant(std::to_string(row)), Variant(entry));
      row = contractline::NextBreakRow(row);
      rs->MoveNext();
    }
    return breaks;
  });
}

bool ContractLine::ContractPriceBreakUpExists(std::int32_t i_lContractHeaderID,
                                              std::int32_t i_lContractLineID) {
  return contractline::BreaksExist("Carvalen.ContractLine.ContractPriceBreakUpExists",
                                   "CONTRACTPRICE", i_lContractHeaderID, i_lContractLineID);
}

}  // namespace carvalen
