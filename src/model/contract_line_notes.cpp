// What each operation of ContractLine means, in interface order.
#include "carvalen/error.hpp"
#include "contractline/detail_keys.hpp"
#include "model/notes.hpp"

namespace carvalen::model {
namespace {

using S = ResultShape;

const ParameterNotes kHeader{"i_lContractHeaderID", "Id of the contract header (CONTRACTHEADERID).",
                             ""};
const ParameterNotes kLine{"i_lContractLineID",
                           "Id of the line within that contract (CONTRACTLINEID).", ""};
const ParameterNotes kQuantity{"i_fQuantity",
                               "Ordered quantity, in the line's unit; selects the break that "
                               "applies.",
                               ""};
const ParameterNotes kCurrencyOut{"o_sCurrencyCode",
                                  "Receives the line's currency code (CURRENCYCODE).", "string"};
const ErrorDescription kLineMissing{errnum::kLineMissing, "No contract line has those ids."};

ResultDescription Flag(std::string summary) {
  return {S::Scalar, std::move(summary), "", "", {}, ""};
}

ResultDescription Rows(std::string summary, std::string key_type,
                       std::vector<std::string> positions) {
  std::string key = key_type == "Long"
                        ? "The row's ordinal: 1, 2, ... in the order read."
                        : "The row's ordinal as text: \"1\", \"2\", ... in the order read.";
  return {S::Dictionary,
          std::move(summary),
          std::move(key_type),
          std::move(key),
          std::move(positions),
          "",
          true};
}

std::vector<std::string> DetailKeys() {
  return {contractline::kDetailKeys.begin(), contractline::kDetailKeys.end()};
}

}  // namespace

const std::vector<OperationNotes>& ContractLineNotes() {
  static const std::vector<OperationNotes> kNotes = {
      {"GetContractLineDetail",
       "Reads every field of one contract line.",
       {kHeader, kLine},
       {S::Named,
        "The line's 45 fields by column name, values as stored (Null for NULL); no entries when "
        "the line does not exist.",
        "String", "The column name.", DetailKeys(), ""},
       {}},
      {"GetContractLineNumber",
       "Finds the contract line created from a quotation.",
       {{"i_lQuotationNumber", "Id of the quotation the line was made from (QUOTATIONID).", ""}},
       {S::Row,
        "The line's ids; both 0 when no line comes from that quotation.",
        "",
        "",
        {"CONTRACTHEADERID", "CONTRACTLINEID"},
        ""},
       {}},
      {"GetEligibleContractsForRFQCreation",
       "Lists the Active lines (status 6) whose request for quotation is due: not yet generated, "
       "of a category with automatic generation, expiring within the category's interval in days "
       "from today (or already expired).",
       {{"i_aContractFields",
         "Names of the columns of CONTRACTHEADER or CONTRACTLINE to return for each due line.",
         "string[]"}},
       {S::Dictionary,
        "One entry per due line, ordered by category; a NULL value is given as \"\". Empty when "
        "no line is due.",
        "Long",
        "The row's ordinal: 1, 2, ... in the order read.",
        {},
        "i_aContractFields",
        true},
       {}},
      {"GetPriceBreakup",
       "Lists the price breaks of one line.",
       {kHeader, kLine, kCurrencyOut},
       Rows("One entry per break (CONTRACTPRICE row), values as stored; the currency is \"\" when "
            "the line does not exist.",
            "String", {"QUANTITY", "PRICE"}),
       {}},
      {"GetDiscountBreakUp",
       "Lists the discount breaks of one line.",
       {kHeader, kLine, kCurrencyOut},
       Rows("One entry per break (CONTRACTDISCOUNT row), as numbers; the currency is \"\" when "
            "the line does not exist.",
            "Long", {"QUANTITY", "DISCOUNTPERCENTAGE", "DISCOUNTAMOUNT"}),
       {}},
      {"GetEffectivePrice",
       "Prices an Active line (status 6) at a quantity: unit price less discount, plus tax, "
       "freight and handling. Either both ids are given (direct), or a product and a business "
       "partner (the partner's first contract, optionally of one category).",
       {kQuantity,
        {"o_sCurrencyCode",
         "Receives the found line's currency code; untouched when none is found.", ""},
        {"i_lContractHeaderID", "Contract header id (direct).", "integer"},
        {"i_lContractLineID", "Contract line id (direct; by partner, the line to take).",
         "integer"},
        {"i_lProductId", "Product id (PRODUCTID), by partner.", "integer"},
        {"i_lBusinessPartner", "Business partner (supplier) id, by partner.", "integer"},
        {"i_lCategoryId", "Category id of the contract, by partner (optional narrowing).",
         "integer"}},
       {S::Named,
        "The line priced, or Nothing (null) when no Active line qualifies. EFFECTIVEPRICE is "
        "(price - discount) x (1 + TAXPERCENTAGE/100) + FREIGHTCHARGE + HANDLINGCHARGE.",
        "String",
        "The name of the value.",
        {"CONTRACTLINEID", "EFFECTIVEPRICE", "CONTRACTHEADERID"},
        ""},
       {}},
      {"GetPrice",
       "The unit price of one line at a quantity: the line's PRICE, or the price break that "
       "applies when the line uses breaks.",
       {kHeader,
        kLine,
        kQuantity,
        kCurrencyOut,
        {"i_fReturnValue", "Price to answer when the line uses breaks and none applies; default 0.",
         ""}},
       Flag("The unit price, in the line's currency."),
       {kLineMissing}},
      {"GetDiscount",
       "The discount of one line at a quantity: the line's own, or the discount break that "
       "applies when the line uses breaks.",
       {kHeader,
        kLine,
        kQuantity,
        {"o_sCurrency", "Receives the line's currency code (CURRENCYCODE).", "string"},
        {"o_bPercentage",
         "Receives true when the answer is a percentage, false when an amount; untouched when "
         "the discount is 0.",
         "boolean"}},
       Flag("The discount: a percentage or an amount, as o_bPercentage says; 0 when none."),
       {kLineMissing}},
      {"GetContractFieldValue",
       "Reads one field of one contract line as text.",
       {kHeader,
        kLine,
        {"i_sField", "Column name of CONTRACTLINE, such as PRICE or EXPIRYDATETIME.", ""}},
       Flag("The value as text; \"\" when it is NULL or the name is not a column."),
       {{errnum::kLineMissing, "The field is a column and no contract line has those ids."}}},
      {"GetContractLineAttachment",
       "Lists every attachment of one line, in any status.",
       {kHeader, kLine},
       Rows("One entry per attachment; DESCRIPTION, ATTACHMENTTYPECODE and FILEPATH are \"\" when "
            "NULL; ATTACHMENTSTATUS 1 Create ... 5 Active, 6 expired.",
            "String",
            {"ATTACHMENTID", "REVISIONNUMBER", "DESCRIPTION", "CONTRACTHEADERID",
             "ATTACHMENTTYPECODE", "INTERNAL", "ATTACHMENTSTATUS", "FILEPATH"}),
       {}},
      {"GetContractUserData",
       "Lists the user-defined fields of one line.",
       {kHeader, kLine},
       Rows("One entry per field; FIELDDESCRIPTION and VALUE are \"\" when NULL; UNUSED is always "
            "empty (null).",
            "Long",
            {"FIELDCODE", "FIELDDESCRIPTION", "COSTTYPE", "NUMERICFIELD", "VALUE", "UNUSED"}),
       {}},
      {"GetContractBIS",
       "Lists the back-end integration status records of one line.",
       {kHeader,
        kLine,
        {"i_nContractExportStatus",
         "Only records of this export status: 1 = Open, 2 = Exported; all when left out.",
         "integer"},
        {"i_lBISId", "Only the record of this BIS id; all when left out.", "integer"}},
       Rows("One entry per record; the text columns are \"\" when NULL.", "String",
            {"BISID", "EXPORTSTATUS", "BACKENDHEADERID", "BACKENDLINEID", "ERRORFIELD",
             "CALLEDQUANTITY", "INVOICEDQUANTITY", "CALLEDVALUE", "INVOICEDVALUE",
             "PREVENTTRANSACTION", "PRICESERIES", "CONTRACTSERIES", "DISCOUNTSERIES"}),
       {{errnum::kTypeMismatch, "Both optionals are given and i_lBISId is not a plain number."}}},
      {"GetBISTransactionIgnore",
       "Whether one back-end status record says transactions on the line are to be ignored.",
       {{"i_lBISId", "Id of the record (BISID).", ""}, kHeader, kLine},
       Flag("PREVENTTRANSACTION as true or false."),
       {{errnum::kBisMissing, "No status record has that id on that line."}}},
      {"ContractLineAttachmentExists",
       "Whether any attachment of a type exists, in any contract, header or line, any status.",
       {{"i_sAttachmentTypeCode", "Attachment type code (ATTACHMENTTYPECODE), exact case.", ""}},
       Flag("True when at least one exists."),
       {}},
      {"ContractPriceBreakUpExists",
       "Whether a line has at least one price break.",
       {kHeader, kLine},
       Flag("True when a CONTRACTPRICE row exists for the line."),
       {}},
      {"ContractDiscountBreakUpExists",
       "Whether a line has at least one discount break.",
       {kHeader, kLine},
       Flag("True when a CONTRACTDISCOUNT row exists for the line."),
       {}},
      {"GetOldContract",
       "Finds the latest line of a contract for a product that is Active (6) or expired (7) and "
       "began no later than today, and values it at its contracted quantity.",
       {kHeader,
        {"i_lContractLineID", "Not used.", ""},
        {"i_lProductId", "Product id (PRODUCTID).", ""},
        {"o_fNetAmount", "Receives price x QUANTITY less the discount; 0 when none is found.",
         "number"},
        {"o_sCurrencyCode", "Receives the found line's currency code; \"\" when none.", "string"}},
       Flag("True when a line was found."),
       {}},
      {"MaximumQuantityExceeded",
       "Whether a quantity on top of what was called off and invoiced exceeds the line's "
       "contracted QUANTITY.",
       {kHeader, kLine, {"i_fQuantity", "Quantity requested now, in the line's unit.", ""}},
       Flag("True when CALLEDQUANTITY + INVOICEDQUANTITY + the quantity > QUANTITY."),
       {kLineMissing}},
      {"OldContractExists",
       "Whether an Active line (6) of the same contract for a product overlaps the validity "
       "period of the given line (bounds inclusive; the line itself counts).",
       {kHeader, kLine, {"i_lProductId", "Product id (PRODUCTID) of the lines to look for.", ""}},
       Flag("True when such a line exists."),
       {kLineMissing}},
  };
  return kNotes;
}

}  // namespace carvalen::model
