// One contract line read directly: all of its fields, or one named field as text.
#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "contractline/detail_keys.hpp"
#include "frame/operation.hpp"

namespace carvalen {

DictionaryPtr ContractLine::GetContractLineDetail(std::int32_t i_lContractHeaderID,
                                                  std::int32_t i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetContractLineDetail", [&](const frame::Query& q) {
        auto detail = Dictionary::Create();
        auto rs = q.Open(q.ForLine(" SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
                                   i_lContractHeaderID, i_lContractLineID));
        if (rs->Eof()) return detail;  // no such line: empty, not an error
        detail->Reserve(contractline::kDetailKeys.size());
        for (std::string_view key : contractline::kDetailKeys) {
          detail->Add(Variant(key), rs->Field(key));
        }
        return detail;
      });
}

std::string ContractLine::GetContractFieldValue(std::int32_t i_lContractHeaderID,
                                                std::int32_t i_lContractLineID,
                                                const std::string& i_sField) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetContractFieldValue", [&](const frame::Query& q) -> std::string {
        // The name goes to the catalog as a restriction value, never into SQL text; the catalog
        // matches it the way the database resolves an unquoted identifier.
        auto columns = q.Connection()->OpenSchema(
            db::kSchemaColumns,
            {Variant::Null(), Variant::Null(), Variant("CONTRACTLINE"), Variant(i_sField)});
        if (columns->Eof()) return {};  // not a column: no line query, no error
        columns.reset();

        auto rs = q.Open(q.ForLine("SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
                                   i_lContractHeaderID, i_lContractLineID));
        if (rs->Eof()) throw Error::Raised(errnum::kLineMissing);
        const Variant value = rs->Field(i_sField);
        return value.IsNull() ? std::string() : value.ToString();
      });
}

}  // namespace carvalen
