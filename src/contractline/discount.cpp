// The discount a quantity earns on a line (a percentage or an amount), the line's discount-break
// table, and whether the line has any discount break at all.
#include <cstdint>
#include <string>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "contractline/breaks.hpp"
#include "contractline/currency.hpp"
#include "frame/operation.hpp"

namespace carvalen {

double ContractLine::GetDiscount(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                                 double i_fQuantity, Variant& o_sCurrency, Variant& o_bPercentage) {
  return frame::RunOperation("Carvalen.ContractLine.GetDiscount", [&](const frame::Query& q) {
    double percentage = 0.0;
    double amount = 0.0;
    auto rs =
        q.Open(q.ForLine("SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,"
                         "INCLUDEDISCOUNTBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE "
                         "WHERE CONTRACTHEADERID = ",
                         i_lContractHeaderID, i_lContractLineID));
    if (rs->Eof()) throw Error::Raised(errnum::kLineMissing);

    o_sCurrency = rs->Field("CURRENCYCODE");
    if (contractline::BreaksSwitchedOff(rs->Field("INCLUDEDISCOUNTBREAKUP"))) {
      percentage = rs->Field("DISCOUNTPERCENTAGE").ToDouble();
      amount = rs->Field("DISCOUNTAMOUNT").ToDouble();
    } else {
      const bool from_below = rs->Field("MINQTYBREAKUP").ToBool();
      rs->Close();
      rs->Open(contractline::DiscountBreakSql(q.Utilities(), i_lContractHeaderID, i_lContractLineID,
                                              from_below, i_fQuantity),
               q.Connection(), db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
      // No break applies: no discount, and the line's own figures do not step in.
      if (!rs->Eof()) {
        percentage = rs->Field("DISCOUNTPERCENTAGE").ToDouble();
        amount = rs->Field("DISCOUNTAMOUNT").ToDouble();
      }
    }

    // A percentage wins over an amount; with neither, the caller's flag is left as it was.
    if (percentage != 0.0) {
      o_bPercentage = Variant(true);
      return percentage;
    }
    if (amount != 0.0) {
      o_bPercentage = Variant(false);
      return amount;
    }
    return 0.0;
  });
}

bool ContractLine::ContractDiscountBreakUpExists(std::int32_t i_lContractHeaderID,
                                                 std::int32_t i_lContractLineID) {
  return contractline::BreaksExist("Carvalen.ContractLine.ContractDiscountBreakUpExists",
                                   "CONTRACTDISCOUNT", i_lContractHeaderID, i_lContractLineID);
}

DictionaryPtr ContractLine::GetDiscountBreakUp(std::int32_t i_lContractHeaderID,
                                               std::int32_t i_lContractLineID,
                                               std::string& o_sCurrencyCode) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetDiscountBreakUp", [&](const frame::Query& q) {
        DictionaryPtr breaks = Dictionary::Create();
        const Variant currency = contractline::GetContractLineCurrency(
            i_lContractHeaderID, i_lContractLineID, q.Connection());
        o_sCurrencyCode = currency.ToString();
        auto rs =
            q.Open(q.ForLine("SELECT QUANTITY,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM "
                             "CONTRACTDISCOUNT WHERE CONTRACTHEADERID = ",
                             i_lContractHeaderID, i_lContractLineID));
        // Unlike the price-break table: numeric keys and values converted to doubles.
        Array entry(0, 2);
        std::int32_t row = 1;
        while (!rs->Eof()) {
          entry.At(0) = Variant(rs->Field("QUANTITY").ToDouble());
          entry.At(1) = Variant(rs->Field("DISCOUNTPERCENTAGE").ToDouble());
          entry.At(2) = Variant(rs->Field("DISCOUNTAMOUNT").ToDouble());
          breaks->Add(Variant(row), Variant(entry));
          rs->MoveNext();
          row = contractline::NextBreakRow(row);
        }
        return breaks;
      });
}

}  // namespace carvalen
