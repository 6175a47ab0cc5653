// Matrices laid out by supplier, for callers that compare several partners' contract terms side
// by side: contract-line columns of each partner's active line for a product, and one line's
// user-defined fields in the row of a fixed-size matrix.
#include <cstdint>
#include <string>

#include "carvalen/contract.hpp"
#include "frame/operation.hpp"

namespace carvalen {

namespace {

// The user-data matrix has always been 0..10 by 0..20, whatever the callers pass: their pages
// are laid out for it.
constexpr std::int32_t kLastPartnerRow = 10;
constexpr std::int32_t kLastFieldColumn = 20;

// Callers mark an unused slot with Empty or the empty text. A number is never blank, and neither
// is Null.
bool IsBlank(const Variant& v) { return v.IsEmpty() || (v.IsString() && v.RawString().empty()); }

// Field codes compare as text, exactly (case included), an Empty code standing for the empty
// text. A NULL FIELDCODE matches nothing, and the column is text, so a number matches nothing
// either.
bool SameCode(const Variant& code, const Variant& wanted) {
  if (!code.IsString()) return false;
  if (wanted.IsEmpty()) return code.RawString().empty();
  return wanted.IsString() && wanted.RawString() == code.RawString();
}

}  // namespace

Variant Contract::getActiveContractLineFieldsperSupplier(std::int32_t i_lProductId,
                                                         const Variant& i_aBusinessPartnerIds,
                                                         const Variant& i_aContractLineFieldNames) {
  return frame::RunOperation(
      "Carvalen.Contract.getActiveContractLineFieldsperSupplier", [&](const frame::Query& q) {
        const Array& partners = i_aBusinessPartnerIds.GetArray();
        const Array& names = i_aContractLineFieldNames.GetArray();
        Array matrix(0, partners.UBound(), 0, names.UBound());
        // Partners are taken from position 0 whatever the array's lower bound: one above 0 fails
        // with 9 at the first read.
        for (std::int32_t j = 0; j <= partners.UBound(); ++j) {
          for (std::int32_t i = names.LBound(); i <= names.UBound(); ++i) {
            const Variant& name = names.At(i);
            const Variant& partner = partners.At(j);
            if (name.IsArray() || IsBlank(partner)) {
              matrix.At(j, i) = Variant::Null();
              continue;
            }
            // The product id goes in quoted, unlike the partner id; the database compares the
            // text with the numeric column, and callers' statements have always read so.
            auto rs =
                q.Open(frame::Concat(
                           {" SELECT CONTRACTHEADER.CONTRACTHEADERID,", " CONTRACTLINE.*",
                            " FROM CONTRACTLINE, CONTRACTHEADER",
                            " WHERE CONTRACTHEADER.BUSINESSPARTNERID=", q.Number(partner.ToLong()),
                            " AND CONTRACTLINE.PRODUCTID='", q.Number(i_lProductId), "'",
                            " AND CONTRACTLINE.CONTRACTHEADERID = "
                            "CONTRACTHEADER.CONTRACTHEADERID",
                            " AND CONTRACTLINE.CONTRACTSTATUS = ",
                            frame::StatusDigit(EContractLineStatus::Active)}),
                       db::CursorType::Keyset, db::LockType::ReadOnly);
            if (!(rs->Eof() && rs->Bof())) {
              // The page calls the service level a shipping term; only this exact spelling.
              std::string column = name.ToString();
              if (column == "SHIPPINGTERM") column = "SHIPPINGSERVICELEVEL";
              matrix.At(j, i) =
                  column.empty() ? Variant(std::string()) : frame::TextOrEmpty(*rs, column);
            }
            rs->Close();  // one record set open at a time on the connection
          }
        }
        return Variant(std::move(matrix));
      });
}

Variant Contract::GetContractUserDataPerSupplier(const Variant& i_aContractHeaderIds,
                                                 const Variant& i_aContractLineIds,
                                                 const Variant& /*i_aBusinessPartnerIds*/,
                                                 const Variant& i_aContractUserDefinedFields,
                                                 std::int32_t i_lBPArrayIndex) {
  return frame::RunOperation(
      "Carvalen.Contract.GetContractUserDataPerSupplier", [&](const frame::Query& q) {
        Array matrix(0, kLastPartnerRow, 0, kLastFieldColumn);
        const std::int32_t p = i_lBPArrayIndex;
        const Variant& header = i_aContractHeaderIds.GetArray().At(p);
        const Variant& line = i_aContractLineIds.GetArray().At(p);
        if (IsBlank(header) || IsBlank(line) || header.IsNull() || line.IsNull()) {
          return Variant(std::move(matrix));  // no line at this position: nothing to ask
        }
        const std::int32_t header_id = header.ToLong();
        const std::int32_t line_id = line.ToLong();
        auto rs =
            q.Open(q.ForLine("SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = ", header_id,
                             line_id),
                   db::CursorType::Keyset, db::LockType::ReadOnly);
        if (rs->Eof() && rs->Bof()) return Variant(std::move(matrix));  // no user data at all

        const Array& codes = i_aContractUserDefinedFields.GetArray();
        // Every row is compared with every code, so of two rows with one code the later wins.
        for (; !rs->Eof(); rs->MoveNext()) {
          const Variant code = rs->Field("FIELDCODE");
          for (std::int32_t k = codes.LBound(); k <= codes.UBound(); ++k) {
            if (SameCode(code, codes.At(k))) matrix.At(p, k) = rs->Field("VALUE");
          }
        }
        // A line with user data shows "" for the codes it lacks.
        for (std::int32_t k = codes.LBound(); k <= codes.UBound(); ++k) {
          Variant& cell = matrix.At(p, k);
          if (cell.IsEmpty()) cell = Variant(std::string());
        }
        return Variant(std::move(matrix));
      });
}

}  // namespace carvalen
