// The landed unit price of an active line: price less discount, raised by the line's tax, plus
// its freight and handling charges. The line is named directly (header and line id) or found
// from a supplier and a product.
#include <cstdint>
#include <string>

#include "carvalen/contract_line.hpp"
#include "frame/operation.hpp"

namespace carvalen {
DictionaryPtr ContractLine::GetEffectivePrice(double i_fQuantity, std::string& o_sCurrencyCode,
                                              const Variant& i_lContractHeaderID,
                                              const Variant& i_lContractLineID,
                                              const Variant& i_lProductId,
                                              const Variant& i_lBusinessPartner,
                                              const Variant& i_lCategoryId) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetEffectivePrice", [&](const frame::Query& q) -> DictionaryPtr {
        // Only active lines are priced.
        constexpr auto kActive = frame::StatusDigit(EContractLineStatus::Active);
        // Empty and Null count as supplied; only an omitted argument is missing.
        const bool by_supplier = !i_lBusinessPartner.IsMissing() && !i_lProductId.IsMissing();

        db::RecordsetPtr header_rs;
        db::RecordsetPtr line_rs;
        std::int32_t header_id = 0;
        std::int32_t line_id = 0;
        Variant header_entry;
        Variant line_entry;

        if (!by_supplier) {
          if (i_lContractLineID.IsMissing() || i_lContractHeaderID.IsMissing()) return nullptr;
          header_id = i_lContractHeaderID.ToLong();
          line_id = i_lContractLineID.ToLong();
          line_rs = q.Open(frame::Concat(
              {q.ForLine("SELECT CURRENCYCODE,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM "
                         "CONTRACTLINE WHERE CONTRACTHEADERID = ",
                         header_id, line_id),
               " AND CONTRACTSTATUS = ", kActive}));
          if (line_rs->Eof()) return nullptr;
          // The caller's own values, whatever type they came in.
          header_entry = i_lContractHeaderID;
          line_entry = i_lContractLineID;
        } else {
          std::string partner = q.Number(i_lBusinessPartner.ToLong());
          std::string category_filter;
          if (!i_lCategoryId.IsMissing()) {
            category_filter = " AND CATEGORYID = " + q.Number(i_lCategoryId.ToLong());
          }
          header_rs = q.Open(frame::Concat(
              {"SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE BUSINESSPARTNERID = ", partner,
               category_filter}));
          // Only the partner's first contract is looked at, even when it has no such line.
          if (header_rs->Eof()) return nullptr;
          header_entry = header_rs->Field("CONTRACTHEADERID");
          header_id = header_entry.ToLong();

          std::string header = q.Number(header_id);
          std::string product = q.Number(i_lProductId.ToLong());
          std::string line_filter;
          if (!i_lContractLineID.IsMissing()) {
            line_filter = " AND CONTRACTLINEID = " + q.Number(i_lContractLineID.ToLong());
          }
          // Without a line id the newest active line of the product wins.
          line_rs = q.Open(frame::Concat(
              {"SELECT CURRENCYCODE,CONTRACTLINEID,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE "
               "FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
               header, " AND PRODUCTID = ", product, line_filter, " AND CONTRACTSTATUS = ", kActive,
               i_lContractLineID.IsMissing() ? " ORDER BY CONTRACTLINEID DESC" : ""}));
          if (line_rs->Eof()) return nullptr;
          line_entry = line_rs->Field("CONTRACTLINEID");
          line_id = line_entry.ToLong();
        }

        o_sCurrencyCode = line_rs->Field("CURRENCYCODE").ToString();

        // Both nested operations open and close their own connections while ours stays open.
        // What they write into the currency is not used: the line's own column was read above.
        Variant currency;
        const double price = GetPrice(header_id, line_id, i_fQuantity, currency);
        Variant is_percentage(false);
        double discount = GetDiscount(header_id, line_id, i_fQuantity, currency, is_percentage);
        if (is_percentage.ToBool()) {
          discount = frame::Checked(frame::Checked(price * discount) / 100);
        }
        const double net = frame::Checked(price - discount);

        // Tax applies to the discounted price only; the charges are added once, as they stand.
        const double tax = line_rs->Field("TAXPERCENTAGE").ToDouble() / 100;
        const double factor = 1 + tax;
        const double taxed = frame::Checked(net * factor);
        const double freighted = frame::Checked(taxed + line_rs->Field("FREIGHTCHARGE").ToDouble());
        const double effective =
            frame::Checked(freighted + line_rs->Field("HANDLINGCHARGE").ToDouble());

        DictionaryPtr result = Dictionary::Create();
        result->Add(Variant("CONTRACTLINEID"), line_entry);
        result->Add(Variant("EFFECTIVEPRICE"), Variant(effective));
        result->Add(Variant("CONTRACTHEADERID"), header_entry);
        header_rs.reset();
        return result;
      });
}

}  // namespace carvalen
