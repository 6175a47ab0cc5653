// One contract line read directly: all of its fields, or one named field as text.
#include <array>
#include <string_view>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "frame/operation.hpp"

namespace carvalen {

namespace {

// The keys callers know, in the order they expect them; the table's own column order may differ,
// and CONTRACTLINEID is left out although the query selects it.
constexpr std::array<std::string_view, 45> kDetailKeys = {
    "QUOTATIONID",
    "RFQID",
    "PRODUCTID",
    "CURRENCYCODE",
    "BUYERID",
    "SUPPLIERID",
    "CONTRACTSTATUS",
    "ORIGIN",
    "QUANTITY",
    "PRICE",
    "DISCOUNTPERCENTAGE",
    "DISCOUNTAMOUNT",
    "EFFECTIVEDATETIME",
    "EXPIRYDATETIME",
    "CONTRACTHEADERID",
    "REMARK",
    "CREATIONDATE",
    "DELIVERYBEGINDATE",
    "DELIVERYENDDATE",
    "ORDERINTERVAL",
    "HANDLINGCHARGE",
    "FREIGHTCHARGE",
    "TAXPERCENTAGE",
    "UNITCODE",
    "INCLUDEPRICEBREAKUP",
    "INCLUDEDISCOUNTBREAKUP",
    "RFQGENERATED",
    "CALLEDQUANTITY",
    "INVOICEDQUANTITY",
    "CALLEDVALUE",
    "INVOICEDVALUE",
    "PRODUCTPARTNUMBER",
    "PRODUCTDESCRIPTION",
    "CONTRACTDESCRIPTION",
    "INCLUDECONTRACTLINEBIS",
    "MINQTYBREAKUP",
    "SUPPLIERAPPROVAL",
    "LANDEDCOST",
    "PAYMENTTERM",
    "PAYMENTMETHOD",
    "PACKAGINGTERM",
    "SHIPPINGMETHOD",
    "SHIPPINGSERVICELEVEL",
    "WARRANTYTERM",
    "PENALTYTERM",
};

}  // namespace

DictionaryPtr ContractLine::GetContractLineDetail(std::int32_t i_lContractHeaderID,
                                                  std::int32_t i_lContractLineID) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetContractLineDetail", [&](const frame::Query& q) {
        auto detail = Dictionary::Create();
        auto rs = q.Open(q.ForLine(" SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = ",
                                   i_lContractHeaderID, i_lContractLineID));
        if (rs->Eof()) return detail;  // no such line: empty, not an error
        detail->Reserve(kDetailKeys.size());
        for (std::string_view key : kDetailKeys) {
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
