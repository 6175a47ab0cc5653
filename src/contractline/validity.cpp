// Checks of a line against its own quantities and the other lines of its contract: the value of
// the most recent earlier line for a product, whether a requested quantity exceeds what the line
// still allows, and whether an active line for the product overlaps the line's validity.
#include <cstdint>
#include <string>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "frame/operation.hpp"

namespace carvalen {
bool ContractLine::GetOldContract(std::int32_t i_lContractHeaderID,
                                  std::int32_t /*i_lContractLineID*/, std::int32_t i_lProductId,
                                  Variant& o_fNetAmount, Variant& o_sCurrencyCode) {
  return frame::RunOperation("Carvalen.ContractLine.GetOldContract", [&](const frame::Query& q) {
    // Lines that start later today are not "old" yet.
    const Date today = Date::Today();
    std::string product = q.Number(i_lProductId);
    std::string header = q.Number(i_lContractHeaderID);
    std::string today_text = q.DateLiteral(today);
    auto rs = q.OpenLimited(
        frame::Concat({"SELECT CONTRACTLINEID,QUANTITY,EFFECTIVEDATETIME FROM CONTRACTLINE WHERE "
                       "PRODUCTID = ",
                       product, " AND CONTRACTHEADERID = ", header,
                       " AND EFFECTIVEDATETIME <= ", today_text,
                       " AND (CONTRACTSTATUS = ", frame::StatusDigit(EContractLineStatus::Expired),
                       " OR CONTRACTSTATUS = ", frame::StatusDigit(EContractLineStatus::Active),
                       ") ORDER BY EFFECTIVEDATETIME DESC"}),
        1);
    if (rs->Eof()) {
      o_sCurrencyCode = Variant("");
      o_fNetAmount = Variant(std::int16_t{0});
      return false;
    }

    // The line is valued at its own contracted quantity.
    const std::int32_t line = rs->Field("CONTRACTLINEID").ToLong();
    const double quantity = rs->Field("QUANTITY").ToDouble();
    const double price = GetPrice(i_lContractHeaderID, line, quantity, o_sCurrencyCode);
    Variant is_percentage(false);
    const double discount =
        GetDiscount(i_lContractHeaderID, line, quantity, o_sCurrencyCode, is_percentage);
    const double gross = frame::Checked(price * quantity);
    const double discount_amount =
        is_percentage.ToBool() ? frame::Checked(frame::Checked(gross * discount) / 100) : discount;
    o_fNetAmount = Variant(frame::Checked(gross - discount_amount));
    return true;
  });
}

bool ContractLine::MaximumQuantityExceeded(std::int32_t i_lContractHeaderID,
                                           std::int32_t i_lContractLineID, double i_fQuantity) {
  return frame::RunOperation(
      "Carvalen.ContractLine.MaximumQuantityExceeded", [&](const frame::Query& q) {
        auto rs =
            q.Open(q.ForLine("SELECT CALLEDQUANTITY,INVOICEDQUANTITY,QUANTITY FROM "
                             "CONTRACTLINE WHERE CONTRACTHEADERID = ",
                             i_lContractHeaderID, i_lContractLineID));
        if (rs->Eof()) throw Error::Raised(errnum::kLineMissing);
        // A NULL called or invoiced quantity makes the sum unusable and fails; a NULL contracted
        // quantity only makes the comparison untrue.
        const double called = rs->Field("CALLEDQUANTITY").ToDouble();
        const double total = frame::Checked(
            frame::Checked(called + rs->Field("INVOICEDQUANTITY").ToDouble()) + i_fQuantity);
        const Variant contracted = rs->Field("QUANTITY");
        if (contracted.IsNull()) return false;
        // Reaching the contracted quantity exactly is still within it.
        return contracted.ToDouble() < total;
      });
}

bool ContractLine::OldContractExists(std::int32_t i_lContractHeaderID,
                                     std::int32_t i_lContractLineID, std::int32_t i_lProductId) {
  return frame::RunOperation("Carvalen.ContractLine.OldContractExists", [&](const frame::Query& q) {
    const Date effective =
        Variant(GetContractFieldValue(i_lContractHeaderID, i_lContractLineID, "EFFECTIVEDATETIME"))
            .ToDate();
    const std::string expiry_text =
        GetContractFieldValue(i_lContractHeaderID, i_lContractLineID, "EXPIRYDATETIME");

    // Every bound is inclusive. An open-ended line overlaps anything that has not ended
    // before it starts.
    std::string period;
    if (expiry_text.empty()) {
      period = frame::Concat(
          {" (EXPIRYDATETIME IS NULL OR ", " (EXPIRYDATETIME >= ", q.DateLiteral(effective), "))"});
    } else {
      const Date expiry =
          Variant(GetContractFieldValue(i_lContractHeaderID, i_lContractLineID, "EXPIRYDATETIME"))
              .ToDate();
      // The braced list is evaluated left to right, so the dates are formatted in the order
      // the statement names them.
      period = frame::Concat({" ((EXPIRYDATETIME IS NULL AND ",
                              " (EFFECTIVEDATETIME <= ",
                              q.DateLiteral(expiry),
                              ")) OR",
                              " (EFFECTIVEDATETIME >= ",
                              q.DateLiteral(effective),
                              " AND ",
                              "  EXPIRYDATETIME <= ",
                              q.DateLiteral(expiry),
                              ") OR",
                              " (EFFECTIVEDATETIME >= ",
                              q.DateLiteral(effective),
                              " AND ",
                              "  EFFECTIVEDATETIME <= ",
                              q.DateLiteral(expiry),
                              ") OR",
                              " (EXPIRYDATETIME >= ",
                              q.DateLiteral(effective),
                              " AND ",
                              "  EXPIRYDATETIME <= ",
                              q.DateLiteral(expiry),
                              ") OR",
                              " (EFFECTIVEDATETIME <= ",
                              q.DateLiteral(effective),
                              " AND ",
                              "  EXPIRYDATETIME >= ",
                              q.DateLiteral(expiry),
                              "))"});
    }

    std::string product = q.Number(i_lProductId);
    std::string header = q.Number(i_lContractHeaderID);
    auto rs = q.OpenLimited(
        frame::Concat({"SELECT CONTRACTLINEID,QUANTITY,EFFECTIVEDATETIME FROM CONTRACTLINE "
                       "WHERE PRODUCTID = ",
                       product, " AND CONTRACTHEADERID = ", header, " AND CONTRACTSTATUS = ",
                       frame::StatusDigit(EContractLineStatus::Active), " AND ", period}),
        1);
    // The line asked about is not excluded: an active line overlaps itself.
    return !rs->Eof();
  });
}

}  // namespace carvalen
