// What each operation of Contract means, in interface order.
#include "carvalen/error.hpp"
#include "model/notes.hpp"
#include "model/schema.hpp"

namespace carvalen::model {
namespace {

using S = ResultShape;

const ParameterNotes kHeader{"i_lContractHeaderID", "Id of the contract header (CONTRACTHEADERID).",
                             ""};
const ParameterNotes kFields{
    "i_aContractFields", "Names of the CONTRACTLINE columns to return for each line.", "string[]"};
const std::string kTextKey = "The row's ordinal as text: \"1\", \"2\", ... in the order read.";
const std::string kLongKey = "The row's ordinal: 1, 2, ... in the order read.";
const std::vector<std::string> kAttachment = {
    "ATTACHMENTID",       "REVISIONNUMBER", "DESCRIPTION",      "CONTRACTLINEID",
    "ATTACHMENTTYPECODE", "INTERNAL",       "ATTACHMENTSTATUS", "FILEPATH"};

ResultDescription Rows(std::string summary, bool text_key, std::vector<std::string> positions) {
  return {S::Dictionary,
          std::move(summary),
          text_key ? "String" : "Long",
          text_key ? kTextKey : kLongKey,
          std::move(positions),
          "",
          true};
}

std::vector<std::string> ActiveLineColumns() {
  std::vector<std::string> columns{"CONTRACTHEADERID"};
  for (std::string& name : ColumnsOf("CONTRACTLINE")) columns.push_back(std::move(name));
  return columns;
}

}  // namespace

std::vector<std::string> ColumnsOf(std::string_view table) {
  std::vector<std::string> names;
  if (const Table* found = FindTable(table)) {
    for (const Column& column : found->columns) names.emplace_back(column.name);
  }
  return names;
}

const std::vector<OperationNotes>& ContractNotes() {
  static const std::vector<OperationNotes> kNotes = {
      {"GetContractHeader",
       "Lists contract headers, all of them or those of a business partner and/or a category.",
       {{"i_lBusinessPartnerId", "Only headers of this business partner (BUSINESSPARTNERID).",
         "integer"},
        {"i_lCategoryId", "Only headers of this purchasing category (CATEGORYID).", "integer"}},
       Rows("One entry per header, values as stored.", true,
            {"CONTRACTHEADERID", "BUSINESSPARTNERID", "CATEGORYID"}),
       {}},
      {"GetContractHeaderDetails",
       "Reads the business partner and category of one contract header.",
       {kHeader},
       {S::Row,
        "The header's partner and category, as stored.",
        "",
        "",
        {"BUSINESSPARTNERID", "CATEGORYID"},
        ""},
       {{errnum::kHeaderMissing, "No contract header has that id."}}},
      {"GetContractLineDetails",
       "Lists the lines of one contract, narrowed by the optional filters (each an equality).",
       {kHeader,
        {"i_sBuyerId", "Only lines of this buyer (BUYERID), exact case.", "string"},
        {"i_nContractStatus",
         "Only lines in this status: 1 Create, 2 Under Approval, 3 Supplier Approved, 4 "
         "Rejected, 5 Finalized, 6 Active, 7 expired.",
         "integer"},
        {"i_sProductPartNumber", "Only lines of this part number (PRODUCTPARTNUMBER).", "string"},
        {"i_dEffectiveDate", "Only lines whose EFFECTIVEDATETIME equals this date-time exactly.",
         "date"},
        {"i_dExpiryDate", "Only lines whose EXPIRYDATETIME equals this date-time exactly.",
         "date"}},
       Rows("One entry per line; SUPPLIERID, EXPIRYDATETIME, PRODUCTDESCRIPTION and "
            "CONTRACTDESCRIPTION are \"\" when NULL.",
            true,
            {"CONTRACTLINEID", "BUYERID", "SUPPLIERID", "CONTRACTSTATUS", "EFFECTIVEDATETIME",
             "EXPIRYDATETIME", "PRODUCTDESCRIPTION", "CONTRACTDESCRIPTION", "PRODUCTID"}),
       {}},
      {"GetContractLineIdforProduct",
       "Lists the lines of a product, given by id or else by part number, optionally only in "
       "contracts of one business partner.",
       {{"i_lProductId", "Product id (PRODUCTID); takes precedence over the part number.",
         "integer"},
        {"i_sProductPartNumber", "Part number (PRODUCTPARTNUMBER), when no id is given.", "string"},
        {"i_lBusinessPartnerId", "Only contracts of this business partner.", "integer"}},
       Rows("One entry per line, in any status; values as stored.", true,
            {"CONTRACTHEADERID", "CONTRACTLINEID", "CONTRACTSTATUS"}),
       {}},
      {"GetActiveContractLinesForBuyer",
       "Lists the Active lines (status 6) of a buyer.",
       {{"i_sBuyerId", "Buyer id (BUYERID), exact case.", ""}},
       Rows("One entry per line, values as stored.", false,
            {"CONTRACTHEADERID", "CONTRACTLINEID", "BUSINESSPARTNERID"}),
       {}},
      {"GetActiveContractLines",
       "Lists the Active lines (status 6) of one contract, of one contract and product, or of "
       "one business partner and product, with the columns asked for.",
       {kFields,
        {"i_lContractHeaderID", "Lines of this contract header.", "integer"},
        {"i_lProductId", "Lines of this product (with the header or the partner).", "integer"},
        {"i_lBusinessPartnerId", "Lines of this business partner's contracts (with the product).",
         "integer"},
        {"i_lContractLineID", "Leaves this line out.", "integer"}},
       {S::Dictionary,
        "One entry per line; a NULL value is given as \"\".",
        "Long",
        kLongKey,
        {},
        "i_aContractFields",
        true},
       {}},
      {"GetActiveContractLineDetails",
       "Reads every column of the Active lines (status 6) of a business partner's contracts in "
       "one category.",
       {{"i_lCategoryId", "Category id of the contracts (CATEGORYID).", ""},
        {"i_lBusinessPartnerId", "Business partner id of the contracts (BUSINESSPARTNERID).", ""}},
       {S::Recordset,
        "A record set of the lines: the header's CONTRACTHEADERID, then every column of "
        "CONTRACTLINE (the repeated CONTRACTHEADERID becomes CONTRACTHEADERID_2 in plain JSON).",
        "", "", ActiveLineColumns(), ""},
       {}},
      {"GetContractHeaderAttachments",
       "Lists the attachments of a contract header itself (not of its lines), in any status.",
       {kHeader},
       Rows("One entry per attachment; DESCRIPTION and ATTACHMENTTYPECODE are \"\" when NULL; "
            "CONTRACTLINEID is always null; ATTACHMENTSTATUS 1 Create ... 5 Active, 6 expired.",
            true, kAttachment),
       {}},
      {"GetContractApprovallines",
       "Lists the lines of a contract that are Under Approval (2) or Supplier Approved (3).",
       {kHeader},
       {S::List,
        "The CONTRACTLINEID of each line; an unallocated array (null) when none.",
        "",
        "",
        {"CONTRACTLINEID"},
        ""},
       {}},
      {"GetApprovedHeaderAttachment",
       "Lists the attachments of a contract and its lines that are Under Approval (status 2).",
       {{"i_lContractHeaderID", "Id of the contract header; a number or its digits as text.",
         "integer"}},
       Rows("One entry per attachment, both values as integers.", true,
            {"ATTACHMENTID", "REVISIONNUMBER"}),
       {}},
      {"getActiveContractLineFieldsperSupplier",
       "For one product, reads named columns of an Active line (6) of each business partner.",
       {{"i_lProductId", "Product id (PRODUCTID).", ""},
        {"i_aBusinessPartnerIds",
         "Business partner ids, one row of the answer each; a blank "
         "(\"\") gives a row of nulls.",
         "integer[]"},
        {"i_aContractLineFieldNames", "CONTRACTLINE column names, one position of each row.",
         "string[]"}},
       {S::Matrix,
        "One row per partner: a value per name, \"\" for NULL, empty (null) when the partner "
        "has no Active line for the product.",
        "",
        "",
        {},
        "i_aContractLineFieldNames"},
       {}},
      {"GetContractUserDataPerSupplier",
       "Reads the values of user-defined fields of one line, into a fixed 11 x 21 matrix at "
       "the row of the partner's index.",
       {{"i_aContractHeaderIds", "Contract header ids, one per partner index.", "integer[]"},
        {"i_aContractLineIds", "Contract line ids, parallel to the header ids.", "integer[]"},
        {"i_aBusinessPartnerIds", "Not used.", "integer[]"},
        {"i_aContractUserDefinedFields", "Field codes (FIELDCODE) to read, one position each.",
         "string[]"},
        {"i_lBPArrayIndex", "Index (0 to 10) of the partner: the ids read and the row written.",
         ""}},
       {S::Matrix,
        "11 rows of 21 positions; only row i_lBPArrayIndex is filled, at the positions of the "
        "field codes, with each field's VALUE; every other cell is empty (null). Positions past "
        "the field codes are named by their index.",
        "",
        "",
        {},
        "i_aContractUserDefinedFields"},
       {}},
      {"ContractHeaderExists",
       "Whether a contract header exists.",
       {kHeader},
       {S::Scalar, "True when it exists.", "", "", {}, ""},
       {}},
      {"GetActiveHeaderAttachments",
       "Lists the Active attachments (status 5) of a contract header itself.",
       {kHeader},
       Rows("One entry per attachment; DESCRIPTION and ATTACHMENTTYPECODE are \"\" when NULL; "
            "UNUSED6 and UNUSED7 are always empty (null).",
            true,
            {"ATTACHMENTID", "REVISIONNUMBER", "DESCRIPTION", "ATTACHMENTTYPECODE", "INTERNAL",
             "FILEPATH", "UNUSED6", "UNUSED7"}),
       {}},
      {"GetActiveContractLinesProc",
       "Prices many products in one call: for each requested product and business partner, "
       "the Active line (6) with its unit price and discount at the requested quantity.",
       {{"i_oDicBPProductQuan",
         "Requests keyed by product id (PRODUCTID), each item [business partner id, quantity].",
         "object"}},
       {S::Dictionary,
        "One entry per line found; PRICE, DISCOUNTPERCENTAGE and DISCOUNTAMOUNT are those at the "
        "requested quantity; PRICEFOUND (DISCOUNTFOUND) is false when the line uses price "
        "(discount) breaks and none applies.",
        "Long",
        "The line's PRODUCTID.",
        {"CONTRACTHEADERID", "CONTRACTLINEID", "PRICE", "DISCOUNTPERCENTAGE", "DISCOUNTAMOUNT",
         "CURRENCYCODE", "TAXPERCENTAGE", "FREIGHTCHARGE", "PRICEFOUND", "DISCOUNTFOUND"},
        ""},
       {{errnum::kObjectNotSet, "The request is Nothing."},
        {errnum::kDuplicateKey, "Two lines found have the same product."}}},
  };
  return kNotes;
}

}  // namespace carvalen::model
