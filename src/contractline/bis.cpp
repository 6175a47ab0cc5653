// Back-end integration status (BIS) records of a contract line.
#include <string>
#include <string_view>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "frame/operation.hpp"
#include "value/text.hpp"

namespace carvalen {

using frame::TextOrEmpty;

namespace {

// Digits with an optional leading sign and at most one decimal point.
bool IsPlainNumber(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  bool digit = false;
  bool point = false;
  for (char c : text) {
    if (text::IsDigit(c)) {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

// The BIS id of the statement that names both optionals goes in as its own text, not through the
// utilities component (callers' statements have always been built that way). It reaches SQL
// unescaped, so nothing but a plain number may pass.
std::string BisIdText(const Variant& bis_id) {
  // Null joins text as nothing, which is no number either.
  std::string text = bis_id.IsNull() ? std::string() : bis_id.ToString();
  if (!IsPlainNumber(text)) throw Error::Runtime(errnum::kTypeMismatch);
  return text;
}

}  // namespace

DictionaryPtr ContractLine::GetContractBIS(std::int32_t i_lContractHeaderID,
                                           std::int32_t i_lContractLineID,
                                           const Variant& i_nContractExportStatus,
                                           const Variant& i_lBISId) {
  return frame::RunOperation("Carvalen.ContractLine.GetContractBIS", [&](const frame::Query& q) {
    auto records = Dictionary::Create();
    const bool with_status = !i_nContractExportStatus.IsMissing();
    const bool with_bis = !i_lBISId.IsMissing();

    // Each value is converted and formatted in the order the statement names it, so a value that
    // does not convert fails before anything is sent.
    std::string sql;
    if (with_status && with_bis) {
      const std::string bis = BisIdText(i_lBISId);
      const std::string header = q.Number(i_lContractHeaderID);
      const std::string line = q.Number(i_lContractLineID);
      const std::string status = q.Number(i_nContractExportStatus.ToLong());
      sql = frame::Concat({"SELECT * FROM CONTRACTLINEBIS WHERE BISID = ", bis,
                           " AND CONTRACTHEADERID = ", header, " AND CONTRACTLINEID = ", line,
                           " AND EXPORTSTATUS = ", status});
    } else if (with_bis) {
      const std::string bis = q.Number(i_lBISId.ToLong());
      const std::string header = q.Number(i_lContractHeaderID);
      const std::string line = q.Number(i_lContractLineID);
      sql = frame::Concat({"SELECT * FROM CONTRACTLINEBIS WHERE BISID = ", bis,
                           " AND CONTRACTHEADERID = ", header, " AND CONTRACTLINEID = ", line});
    } else {
      sql =
          q.ForLine("SELECT * FROM CONTRACTLINEBIS WHERE CONTRACTHEADERID = ", i_lContractHeaderID,
                    i_lContractLineID);
      // "And" in mixed case: the statement text is compared as sent.
      if (with_status) {
        const std::string status = q.Number(i_nContractExportStatus.ToLong());
        sql += frame::Concat({" And EXPORTSTATUS = ", status});
      }
    }

    auto rs = q.Open(sql);
    Array row(0, 12);
    for (std::int32_t ordinal = 1; !rs->Eof(); rs->MoveNext(), ++ordinal) {
      row.At(0) = rs->Field("BISID");
      row.At(1) = rs->Field("EXPORTSTATUS");
      row.At(2) = frame::TextOrEmpty(*rs, "BACKENDHEADERID");
      row.At(3) = frame::TextOrEmpty(*rs, "BACKENDLINEID");
      row.At(4) = frame::TextOrEmpty(*rs, "ERRORFIELD");
      row.At(5) = rs->Field("CALLEDQUANTITY");
      row.At(6) = rs->Field("INVOICEDQUANTITY");
      row.At(7) = rs->Field("CALLEDVALUE");
      row.At(8) = rs->Field("INVOICEDVALUE");
      row.At(9) = rs->Field("PREVENTTRANSACTION");
      row.At(10) = frame::TextOrEmpty(*rs, "PRICESERIES");
      row.At(11) = frame::TextOrEmpty(*rs, "CONTRACTSERIES");
      row.At(12) = frame::TextOrEmpty(*rs, "DISCOUNTSERIES");
      records->Add(Variant(std::to_string(ordinal)), Variant(row));
    }
    return records;
  });
}

bool ContractLine::GetBISTransactionIgnore(std::int32_t i_lBISId, std::int32_t i_lContractHeaderID,
                                           std::int32_t i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetBISTransactionIgnore", [&](const frame::Query& q) {
        const std::string bis = q.Number(i_lBISId);
        const std::string header = q.Number(i_lContractHeaderID);
        const std::string line = q.Number(i_lContractLineID);
        // Optimistic lock, the one exception among these reads; nothing is written through it.
        auto rs = q.Open(
            frame::Concat({"SELECT PREVENTTRANSACTION FROM CONTRACTLINEBIS WHERE BISID = ", bis,
                           " AND CONTRACTHEADERID = ", header, " AND CONTRACTLINEID = ", line}),
            db::CursorType::ForwardOnly, db::LockType::Optimistic);
        if (rs->Eof()) throw Error::Raised(errnum::kBisMissing);
        return rs->Field("PREVENTTRANSACTION").ToBool();  // NULL fails with 94
      });
}

}  // namespace carvalen
