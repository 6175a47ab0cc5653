// Documents attached to a contract: the header's own attachments in every status or only the
// active ones, and the revisions under approval of the header and its lines.
#include <string>

#include "carvalen/contract.hpp"
#include "carvalen/enums.hpp"
#include "frame/operation.hpp"

namespace carvalen {

// A header attachment is one whose CONTRACTLINEID is NULL.

DictionaryPtr Contract::GetContractHeaderAttachments(std::int32_t i_lContractHeaderID) {
  return frame::RunOperation(
      "Carvalen.Contract.GetContractHeaderAttachments", [&](const frame::Query& q) {
        auto attachments = Dictionary::Create();
        auto rs =
            q.Open(frame::Concat({"SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTLINEID "
                                  "IS NULL AND CONTRACTHEADERID = ",
                                  q.Number(i_lContractHeaderID)}));
        Array row(0, 7);
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("ATTACHMENTID");
          row.At(1) = rs->Field("REVISIONNUMBER");
          row.At(2) = frame::TextOrEmpty(*rs, "DESCRIPTION");
          row.At(3) = rs->Field("CONTRACTLINEID");
          row.At(4) = frame::TextOrEmpty(*rs, "ATTACHMENTTYPECODE");
          row.At(5) = rs->Field("INTERNAL");
          row.At(6) = rs->Field("ATTACHMENTSTATUS");
          row.At(7) = rs->Field("FILEPATH");  // unlike a line attachment's, NULL stays Null
          attachments->Add(Variant(std::to_string(ordinal)), Variant(row));
        }
        return attachments;
      });
}

DictionaryPtr Contract::GetApprovedHeaderAttachment(const Variant& i_lContractHeaderID) {
  return frame::RunOperation(
      "Carvalen.Contract.GetApprovedHeaderAttachment", [&](const frame::Query& q) {
        // "Approved" here means waiting for approval (2), not Approved (3); and with no condition
        // on the line, the lines' attachments are listed too.
        constexpr auto kUnderApproval =
            frame::StatusDigit(EContractAttachmentStatus::UnderApproval);
        auto revisions = Dictionary::Create();
        auto rs = q.Open(frame::Concat(
            {"SELECT ATTACHMENTID,REVISIONNUMBER FROM "
             "CONTRACTATTACHMENT WHERE CONTRACTHEADERID = ",
             q.Number(i_lContractHeaderID.ToLong()), " AND ATTACHMENTSTATUS = ", kUnderApproval}));
        Array row(0, 1);
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          // Both as 32-bit integers, so a NULL revision fails the call with 94.
          row.At(0) = Variant(rs->Field("ATTACHMENTID").ToLong());
          row.At(1) = Variant(rs->Field("REVISIONNUMBER").ToLong());
          revisions->Add(Variant(std::to_string(ordinal)), Variant(row));
        }
        return revisions;
      });
}

DictionaryPtr Contract::GetActiveHeaderAttachments(std::int32_t i_lContractHeaderID) {
  return frame::RunOperation(
      "Carvalen.Contract.GetActiveHeaderAttachments", [&](const frame::Query& q) {
        constexpr auto kActive = frame::StatusDigit(EContractAttachmentStatus::Active);
        auto attachments = Dictionary::Create();
        auto rs = q.Open(
            frame::Concat({"SELECT * FROM CONTRACTATTACHMENT WHERE ", "CONTRACTLINEID IS NULL AND ",
                           "CONTRACTHEADERID = ", q.Number(i_lContractHeaderID),
                           " AND ATTACHMENTSTATUS = ", kActive}));
        // Eight elements, the last two never written: callers index them and expect Empty.
        Array row(0, 7);
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("ATTACHMENTID");
          row.At(1) = rs->Field("REVISIONNUMBER");
          row.At(2) = frame::TextOrEmpty(*rs, "DESCRIPTION");
          row.At(3) = frame::TextOrEmpty(*rs, "ATTACHMENTTYPECODE");
          row.At(4) = rs->Field("INTERNAL");
          row.At(5) = rs->Field("FILEPATH");
          attachments->Add(Variant(std::to_string(ordinal)), Variant(row));
        }
        return attachments;
      });
}

}  // namespace carvalen
