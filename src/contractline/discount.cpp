// The discount a quantity earns on a line (a percentage or an amount), the line's discount-break
// table, and whether the line has any discount break at all.
#include <cstdint>
#include <limits>
#include <string>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "contractline/currency.hpp"
#include "frame/operation.hpp"

namespace carvalen {
namespace {

// Same reading of the line's flag as for price breaks: only a stored 0 switches breaks off.
bool IsFalseFlag(const Variant& flag) { return flag.IsNumber() && flag.ToDouble() == 0.0; }

}  // namespace

double ContractLine::GetDiscount(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                                 double i_fQuantity, Variant& o_sCurrency, Variant& o_bPercentage) {
  return frame::RunOperation("Carvalen.ContractLine.GetDiscount", [&](const frame::Query& q) {
    double percentage = 0.0;
    double amount = 0.0;
    std::string header = q.Number(i_lContractHeaderID);
    std::string line = q.Number(i_lContractLineID);
    auto rs =
        q.Open(frame::Concat({"SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,"
                              "INCLUDEDISCOUNTBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE "
                              "WHERE CONTRACTHEADERID = ",
                              header, " AND CONTRACTLINEID = ", line}));
    if (rs->Eof()) throw Error::Raised(errnum::kLineMissing);

    o_sCurrency = rs->Field("CURRENCYCODE");
    if (IsFalseFlag(rs->Field("INCLUDEDISCOUNTBREAKUP"))) {
      percentage = rs->Field("DISCOUNTPERCENTAGE").ToDouble();
      amount = rs->Field("DISCOUNTAMOUNT").ToDouble();
    } else {
      const bool from_below = rs->Field("MINQTYBREAKUP").ToBool();
      rs->Close();
      std::string break_header = q.Number(i_lContractHeaderID);
      std::string break_line = q.Number(i_lContractLineID);
      std::string quantity = q.Double(i_fQuantity);
      rs->Open(frame::Concat({"SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT "
                              "WHERE CONTRACTHEADERID = ",
                              break_header, " AND CONTRACTLINEID = ", break_line,
                              from_below ? " AND QUANTITY <= " : " AND QUANTITY >= ", quantity,
                              from_below ? " ORDER BY QUANTITY DESC" : " ORDER BY QUANTITY ASC"}),
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

DictionaryPtr ContractLine::GetDiscountBreakUp(std::int32_t i_lContractHeaderID,
                                               std::int32_t i_lContractLineID,
                                               std::string& o_sCurrencyCode) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetDiscountBreakUp", [&](const frame::Query& q) {
        DictionaryPtr breaks = Dictionary::Create();
        std::int32_t row = 1;
        o_sCurrencyCode = contractline::GetContractLineCurrency(i_lContractHeaderID,
                                                                i_lContractLineID, q.Connection())
                              .ToString();
        std::string header = q.Number(i_lContractHeaderID);
        std::string line = q.Number(i_lContractLineID);
        auto rs =
            q.Open(frame::Concat({"SELECT QUANTITY,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM "
                                  "CONTRACTDISCOUNT WHERE CONTRACTHEADERID = ",
                                  header, " AND CONTRACTLINEID = ", line}));
        // Unlike the price-break table: numeric keys and values converted to doubles.
        Array entry(0, 2);
        while (!rs->Eof()) {
          entry.At(0) = Variant(rs->Field("QUANTITY").ToDouble());
          entry.At(1) = Variant(rs->Field("DISCOUNTPERCENTAGE").ToDouble());
          entry.At(2) = Variant(rs->Field("DISCOUNTAMOUNT").ToDouble());
          breaks->Add(Variant(row), Variant(entry));
          rs->MoveNext();
          if (row == std::numeric_limits<std::int32_t>::max()) {
            throw Error::Runtime(errnum::kOverflow);
          }
          ++row;
        }
        return breaks;
      });
}

bool ContractLine::ContractDiscountBreakUpExists(std::int32_t i_lContractHeaderID,
                                                 std::int32_t i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.ContractLine.ContractDiscountBreakUpExists", [&](const frame::Query& q) {
        std::string header = q.Number(i_lContractHeaderID);
        std::string line = q.Number(i_lContractLineID);
        auto rs =
            q.Open(frame::Concat({"SELECT QUANTITY FROM CONTRACTDISCOUNT WHERE "
                                  "CONTRACTHEADERID = ",
                                  header, " AND CONTRACTLINEID = ", line}));
        return !rs->Eof();
      });
}

}  // namespace carvalen
