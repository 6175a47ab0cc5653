// Contract lines found by criteria other than their key: the lines of a header narrowed by
// optional criteria, the lines of a product, and the active lines of a buyer.
#include <string>

#include "carvalen/contract.hpp"
#include "carvalen/enums.hpp"
#include "frame/operation.hpp"

namespace carvalen {

DictionaryPtr Contract::GetContractLineDetails(std::int32_t i_lContractHeaderID,
                                               const Variant& i_sBuyerId,
                                               const Variant& i_nContractStatus,
                                               const Variant& i_sProductPartNumber,
                                               const Variant& i_dEffectiveDate,
                                               const Variant& i_dExpiryDate) {
  return frame::RunOperation(
      "Carvalen.Contract.GetContractLineDetails", [&](const frame::Query& q) {
        // The conditions of the supplied criteria, in this fixed order; the tail is built before
        // the header id is formatted.
        std::string tail;
        if (!i_sBuyerId.IsMissing()) {
          tail += frame::Concat({" AND BUYERID = ", q.Quote(i_sBuyerId.ToString())});
        }
        if (!i_nContractStatus.IsMissing()) {
          tail += frame::Concat({" AND CONTRACTSTATUS = ", q.Number(i_nContractStatus.ToLong())});
        }
        if (!i_sProductPartNumber.IsMissing()) {
          tail += frame::Concat(
              {" AND PRODUCTPARTNUMBER = ", q.Quote(i_sProductPartNumber.ToString())});
        }
        // Equalities: a date finds a line only when the stored date-time is exactly that.
        if (!i_dEffectiveDate.IsMissing()) {
          tail += frame::Concat(
              {" AND EFFECTIVEDATETIME = ", q.DateLiteral(i_dEffectiveDate.ToDate())});
        }
        if (!i_dExpiryDate.IsMissing()) {
          tail += frame::Concat({" AND EXPIRYDATETIME = ", q.DateLiteral(i_dExpiryDate.ToDate())});
        }
        const std::string header = q.Number(i_lContractHeaderID);

        auto lines = Dictionary::Create();
        auto rs = q.Open(frame::Concat({"SELECT CONTRACTLINEID,BUYERID,SUPPLIERID,",
                                        "CONTRACTSTATUS,EFFECTIVEDATETIME,EXPIRYDATETIME,",
                                        "PRODUCTDESCRIPTION,CONTRACTDESCRIPTION,PRODUCTID FROM ",
                                        "CONTRACTLINE WHERE CONTRACTHEADERID = ", header, tail}));
        Array row(0, 8);
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("CONTRACTLINEID");
          row.At(1) = rs->Field("BUYERID");
          row.At(2) = frame::TextOrEmpty(*rs, "SUPPLIERID");
          row.At(3) = rs->Field("CONTRACTSTATUS");
          row.At(4) = rs->Field("EFFECTIVEDATETIME");
          row.At(5) = frame::TextOrEmpty(*rs, "EXPIRYDATETIME");
          row.At(6) = frame::TextOrEmpty(*rs, "PRODUCTDESCRIPTION");
          row.At(7) = frame::TextOrEmpty(*rs, "CONTRACTDESCRIPTION");
          row.At(8) = rs->Field("PRODUCTID");
          lines->Add(Variant(std::to_string(ordinal)), Variant(row));
        }
        return lines;
      });
}

DictionaryPtr Contract::GetContractLineIdforProduct(const Variant& i_lProductId,
                                                    const Variant& i_sProductPartNumber,
                                                    const Variant& i_lBusinessPartnerId) {
  return frame::RunOperation(
      "Carvalen.Contract.GetContractLineIdforProduct", [&](const frame::Query& q) {
        const bool by_id = !i_lProductId.IsMissing();
        const bool by_part = !by_id && !i_sProductPartNumber.IsMissing();
        const bool joined = !i_lBusinessPartnerId.IsMissing();

        // Without a product there is no statement: the record set stays unopened and the first
        // end-of-rows test fails with the record set's own "closed" error, which callers know.
        auto rs = db::Recordset::Create();
        if ((by_id || by_part) && joined) {
          const std::string partner = q.Number(i_lBusinessPartnerId.ToLong());
          const std::string product =
              by_id
                  ? frame::Concat({" AND CONTRACTLINE.PRODUCTID=", q.Number(i_lProductId.ToLong())})
                  : frame::Concat({" AND CONTRACTLINE.PRODUCTPARTNUMBER=",
                                   q.Quote(i_sProductPartNumber.ToString())});
          rs =
              q.Open(frame::Concat({"SELECT CONTRACTHEADER.CONTRACTHEADERID,",
                                    " CONTRACTLINE.CONTRACTLINEID,", " CONTRACTLINE.CONTRACTSTATUS",
                                    " FROM CONTRACTHEADER, CONTRACTLINE",
                                    " WHERE CONTRACTHEADER.BUSINESSPARTNERID=", partner, product,
                                    " AND CONTRACTLINE.CONTRACTHEADERID = "
                                    "CONTRACTHEADER.CONTRACTHEADERID"}),
                     db::CursorType::Keyset, db::LockType::ReadOnly);
        } else if (by_id) {
          rs =
              q.Open(frame::Concat({"SELECT CONTRACTHEADERID,CONTRACTLINEID,CONTRACTSTATUS FROM "
                                    "CONTRACTLINE WHERE PRODUCTID = ",
                                    q.Number(i_lProductId.ToLong())}));
        } else if (by_part) {
          rs =
              q.Open(frame::Concat({"SELECT CONTRACTHEADERID,CONTRACTLINEID,CONTRACTSTATUS FROM "
                                    "CONTRACTLINE WHERE PRODUCTPARTNUMBER = ",
                                    q.Quote(i_sProductPartNumber.ToString())}));
        }

        auto lines = Dictionary::Create();
        Array row(0, 2);
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("CONTRACTHEADERID");
          row.At(1) = rs->Field("CONTRACTLINEID");
          row.At(2) = rs->Field("CONTRACTSTATUS");
          lines->Add(Variant(std::to_string(ordinal)), Variant(row));
        }
        if (joined) rs->Close();
        return lines;
      });
}

DictionaryPtr Contract::GetActiveContractLinesForBuyer(const std::string& i_sBuyerId) {
  return frame::RunOperation(
      "Carvalen.Contract.GetActiveContractLinesForBuyer", [&](const frame::Query& q) {
        // Active by status alone: a line past its expiry date-time is still listed.
        constexpr auto kActive = frame::StatusDigit(EContractLineStatus::Active);
        auto lines = Dictionary::Create();
        auto rs = q.Open(frame::Concat(
            {" SELECT CONTRACTLINE.CONTRACTHEADERID,", " CONTRACTLINE.CONTRACTLINEID,",
             " CONTRACTHEADER.BUSINESSPARTNERID", " FROM CONTRACTHEADER, CONTRACTLINE",
             " WHERE CONTRACTLINE.BUYERID= ", q.Quote(i_sBuyerId),
             " AND CONTRACTLINE.CONTRACTSTATUS= ", kActive,
             " AND CONTRACTHEADER.CONTRACTHEADERID = CONTRACTLINE.CONTRACTHEADERID"}));
        Array row(0, 2);
        // Keys are the ordinals as 32-bit integers, unlike the other searches' text keys.
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("CONTRACTHEADERID");
          row.At(1) = rs->Field("CONTRACTLINEID");
          row.At(2) = rs->Field("BUSINESSPARTNERID");
          lines->Add(Variant(ordinal), Variant(row));
        }
        return lines;
      });
}

}  // namespace carvalen
