// Documents attached to a contract line, the line's user-defined fields, and whether any
// attachment of a type exists at all.
#include <string>

#include "carvalen/contract_line.hpp"
#include "frame/operation.hpp"

namespace carvalen {

DictionaryPtr ContractLine::GetContractLineAttachment(std::int32_t i_lContractHeaderID,
                                                      std::int32_t i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetContractLineAttachment", [&](const frame::Query& q) {
        auto rs = q.Open(q.ForLine(" SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTHEADERID = ",
                                   i_lContractHeaderID, i_lContractLineID),
                         db::CursorType::Keyset, db::LockType::ReadOnly);
        auto attachments = Dictionary::Create();
        Array row(0, 7);
        // Keys are the ordinals as text ("1", "2", ...): callers look them up that way.
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("ATTACHMENTID");
          row.At(1) = rs->Field("REVISIONNUMBER");
          row.At(2) = frame::TextOrEmpty(*rs, "DESCRIPTION");
          row.At(3) = rs->Field("CONTRACTHEADERID");
          row.At(4) = frame::TextOrEmpty(*rs, "ATTACHMENTTYPECODE");
          row.At(5) = rs->Field("INTERNAL");
          row.At(6) = rs->Field("ATTACHMENTSTATUS");
          row.At(7) = frame::TextOrEmpty(*rs, "FILEPATH");
          attachments->Add(Variant(std::to_string(ordinal)), Variant(row));
        }
        return attachments;
      });
}

DictionaryPtr ContractLine::GetContractUserData(std::int32_t i_lContractHeaderID,
                                                std::int32_t i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetContractUserData", [&](const frame::Query& q) {
        auto rs = q.Open(q.ForLine("SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = ",
                                   i_lContractHeaderID, i_lContractLineID));
        auto user_data = Dictionary::Create();
        // Six elements, the last never written: callers index it and expect Empty.
        Array row(0, 5);
        // Keys are the ordinals as 32-bit integers, unlike the attachments' text keys.
        for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
          row.At(0) = rs->Field("FIELDCODE");
          row.At(1) = frame::TextOrEmpty(*rs, "FIELDDESCRIPTION");
          row.At(2) = rs->Field("COSTTYPE");
          row.At(3) = rs->Field("NUMERICFIELD");
          row.At(4) = frame::TextOrEmpty(*rs, "VALUE");
          user_data->Add(Variant(ordinal), Variant(row));
        }
        return user_data;
      });
}

bool ContractLine::ContractLineAttachmentExists(const std::string& i_sAttachmentTypeCode) {
  return frame::RunOperation(
      "Carvalen.ContractLine.ContractLineAttachmentExists", [&](const frame::Query& q) {
        const std::string code = q.Quote(i_sAttachmentTypeCode);
        auto rs = q.Open(frame::Concat({" SELECT ATTACHMENTID FROM CONTRACTATTACHMENT WHERE "
                                        "ATTACHMENTTYPECODE = ",
                                        code}),
                         db::CursorType::Keyset, db::LockType::ReadOnly);
        return !rs->Eof();
      });
}

}  // namespace carvalen
