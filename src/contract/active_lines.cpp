// The active lines of a contract, of a contract and product, or of a partner and product, read as
// the columns the caller names; and every column of a partner's active lines in a category, as a
// record set the caller keeps after the connection has closed.
#include <cstdint>
#include <string>

#include "carvalen/contract.hpp"
#include "frame/operation.hpp"

namespace carvalen {

namespace {

// The statement for the ids the caller supplied; empty for a combination that has none, so that
// opening it fails with the record set's own error, as callers have always seen it fail.
std::string ActiveLinesStatement(const frame::Query& q, const Variant& header,
                                 const Variant& product, const Variant& partner,
                                 const Variant& excluded_line) {
  const bool h = !header.IsMissing(), p = !product.IsMissing(), b = !partner.IsMissing();
  const std::string active(frame::StatusDigit(EContractLineStatus::Active));
  const auto excluding = [&](std::string_view column) {
    return excluded_line.IsMissing() ? std::string()
                                     : frame::Concat({column, q.Number(excluded_line.ToLong())});
  };
  if (h && !p && !b) {
    return frame::Concat(
        {"SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = ", q.Number(header.ToLong()),
         " AND CONTRACTSTATUS = ", active, excluding(" AND CONTRACTLINEID <> ")});
  }
  if (b && p && !h) {
    return frame::Concat({" SELECT CONTRACTHEADER.CONTRACTHEADERID,", " CONTRACTLINE.*",
                          " FROM CONTRACTHEADER, CONTRACTLINE",
                          " WHERE CONTRACTHEADER.BUSINESSPARTNERID=", q.Number(partner.ToLong()),
                          " AND CONTRACTLINE.PRODUCTID=", q.Number(product.ToLong()),
                          " AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID",
                          " AND CONTRACTLINE.CONTRACTSTATUS = ", active,
                          excluding(" AND CONTRACTLINE.CONTRACTLINEID <> ")});
  }
  if (h && p && !b) {
    return frame::Concat(
        {"SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = ", q.Number(header.ToLong()),
         " AND PRODUCTID = ", q.Number(product.ToLong()), " AND CONTRACTSTATUS = ", active,
         excluding(" AND CONTRACTLINEID <> ")});
  }
  return {};
}

}  // namespace

DictionaryPtr Contract::GetActiveContractLines(const Variant& i_aContractFields,
                                               const Variant& i_lContractHeaderID,
                                               const Variant& i_lProductId,
                                               const Variant& i_lBusinessPartnerId,
                                               const Variant& i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.Contract.GetActiveContractLines", [&](const frame::Query& q) {
        // Not an array: 13 before any query. The value array runs from 0 whatever the list's lower
        // bound, so indexes below it stay Empty.
        const Array& fields = i_aContractFields.GetArray();
        Array values(0, fields.UBound());
        auto lines = Dictionary::Create();
        auto rs = q.Open(ActiveLinesStatement(q, i_lContractHeaderID, i_lProductId,
                                              i_lBusinessPartnerId, i_lContractLineID),
                         db::CursorType::Keyset, db::LockType::ReadOnly);
        for (std::int32_t row = 1; !rs->Eof(); ++row) {
          frame::ReadNamedColumns(*rs, fields, values);
          rs->MoveNext();
          lines->Add(Variant(row), Variant(values));
        }
        return lines;
      });
}

RecordsetPtr Contract::GetActiveContractLineDetails(std::int32_t i_lCategoryId,
                                                    std::int32_t i_lBusinessPartnerId) {
  return frame::RunOperation(
      "Carvalen.Contract.GetActiveContractLineDetails", [&](const frame::Query& q) -> RecordsetPtr {
        // Client-side: every row is read at Open, so the record set can let go of the connection
        // and the caller can move through and filter it after this call has closed it.
        auto rs = db::Recordset::Create();
        rs->SetCursorLocation(db::CursorLocation::Client);
        rs->Open(frame::Concat(
                     {" SELECT CONTRACTHEADER.CONTRACTHEADERID,", " CONTRACTLINE.*",
                      " FROM CONTRACTHEADER, CONTRACTLINE",
                      " WHERE CONTRACTHEADER.BUSINESSPARTNERID=", q.Number(i_lBusinessPartnerId),
                      " AND CONTRACTHEADER.CATEGORYID =", q.Number(i_lCategoryId),
                      " AND CONTRACTLINE.CONTRACTHEADERID = "
                      "CONTRACTHEADER.CONTRACTHEADERID",
                      " AND CONTRACTLINE.CONTRACTSTATUS = ",
                      frame::StatusDigit(EContractLineStatus::Active)}),
                 q.Connection(), db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
        rs->DetachConnection();
        return rs;
      });
}

}  // namespace carvalen
