// Contract headers: listed by partner and category, read one at a time, tested for existence,
// and the lines of one header that wait for approval.
#include <string>
#include <vector>

#include "carvalen/contract.hpp"
#include "carvalen/enums.hpp"
#include "carvalen/error.hpp"
#include "frame/operation.hpp"

namespace carvalen {

DictionaryPtr Contract::GetContractHeader(const Variant& i_lBusinessPartnerId,
                                          const Variant& i_lCategoryId) {
  return frame::RunOperation("Carvalen.Contract.GetContractHeader", [&](const frame::Query& q) {
    // Empty and Null count as supplied: only an omitted argument drops its condition, and a
    // supplied value that is no number fails in its conversion.
    std::string sql = "SELECT * FROM CONTRACTHEADER";
    if (!i_lBusinessPartnerId.IsMissing()) {
      sql +=
          frame::Concat({" WHERE BUSINESSPARTNERID = ", q.Number(i_lBusinessPartnerId.ToLong())});
      if (!i_lCategoryId.IsMissing()) {
        sql += frame::Concat({" AND CATEGORYID = ", q.Number(i_lCategoryId.ToLong())});
      }
    } else if (!i_lCategoryId.IsMissing()) {
      sql += frame::Concat({" WHERE CATEGORYID = ", q.Number(i_lCategoryId.ToLong())});
    }

    auto headers = Dictionary::Create();
    auto rs = q.Open(sql);
    Array row(0, 2);
    for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
      row.At(0) = rs->Field("CONTRACTHEADERID");
      row.At(1) = rs->Field("BUSINESSPARTNERID");
      row.At(2) = rs->Field("CATEGORYID");
      headers->Add(Variant(std::to_string(ordinal)), Variant(row));
    }
    return headers;
  });
}

Variant Contract::GetContractHeaderDetails(std::int32_t i_lContractHeaderID) {
  return frame::RunOperation(
      "Carvalen.Contract.GetContractHeaderDetails", [&](const frame::Query& q) {
        auto rs = q.Open(frame::Concat({"SELECT * FROM CONTRACTHEADER WHERE CONTRACTHEADERID = ",
                                        q.Number(i_lContractHeaderID)}));
        if (rs->Eof()) throw Error::Raised(errnum::kHeaderMissing);
        Array details(0, 1);
        details.At(0) = rs->Field("BUSINESSPARTNERID");
        details.At(1) = rs->Field("CATEGORYID");
        return Variant(std::move(details));
      });
}

Variant Contract::GetContractApprovallines(std::int32_t i_lContractHeaderID) {
  return frame::RunOperation(
      "Carvalen.Contract.GetContractApprovallines", [&](const frame::Query& q) {
        constexpr auto kUnderApproval = frame::StatusDigit(EContractLineStatus::UnderApproval);
        constexpr auto kSupplierApproved =
            frame::StatusDigit(EContractLineStatus::SupplierApproved);
        auto rs = q.Open(
            frame::Concat({"SELECT CONTRACTLINEID FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
                           q.Number(i_lContractHeaderID), " AND (CONTRACTSTATUS = ", kUnderApproval,
                           " OR CONTRACTSTATUS = ", kSupplierApproved, ")"}));
        std::vector<Variant> lines;
        for (; !rs->Eof(); rs->MoveNext()) lines.push_back(rs->Field("CONTRACTLINEID"));
        // No line: the never-allocated array, whose bounds callers cannot ask for, rather than an
        // empty one.
        if (lines.empty()) return Variant::UnallocatedArray();
        return Variant(Array::Of(std::move(lines)));
      });
}

bool Contract::ContractHeaderExists(std::int32_t i_lContractHeaderID) {
  return frame::RunOperation("Carvalen.Contract.ContractHeaderExists", [&](const frame::Query& q) {
    auto rs = q.Open(frame::Concat({"SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE ",
                                    "CONTRACTHEADERID = ", q.Number(i_lContractHeaderID)}));
    return !rs->Eof();
  });
}

}  // namespace carvalen
