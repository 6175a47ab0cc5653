// The dispatch table of ContractLine, in interface order. An operation is listed here once it is
// built.
#include "carvalen/contract_line.hpp"
#include "model/classes.hpp"

namespace carvalen::model {

const std::vector<binding::MethodInfo>& ContractLineMethods() {
  using CL = ContractLine;
  static const std::vector<binding::MethodInfo> kMethods = {
      Bind("GetContractLineDetail", &CL::GetContractLineDetail,
           {"i_lContractHeaderID", "i_lContractLineID"}),
      Bind("GetContractLineNumber", &CL::GetContractLineNumber, {"i_lQuotationNumber"}),
      Bind("GetEligibleContractsForRFQCreation", &CL::GetEligibleContractsForRFQCreation,
           {"i_aContractFields"}),
      Bind("GetPriceBreakup", &CL::GetPriceBreakup,
           {"i_lContractHeaderID", "i_lContractLineID", "o_sCurrencyCode"}),
      Bind("GetDiscountBreakUp", &CL::GetDiscountBreakUp,
           {"i_lContractHeaderID", "i_lContractLineID", "o_sCurrencyCode"}),
      Bind("GetEffectivePrice", &CL::GetEffectivePrice,
           {"i_fQuantity", "o_sCurrencyCode", Optional("i_lContractHeaderID"),
            Optional("i_lContractLineID"), Optional("i_lProductId"), Optional("i_lBusinessPartner"),
            Optional("i_lCategoryId")}),
      Bind("GetPrice",
           static_cast<double (CL::*)(std::int32_t, std::int32_t, double, Variant&, double&)>(
               &CL::GetPrice),
           {"i_lContractHeaderID", "i_lContractLineID", "i_fQuantity", "o_sCurrencyCode",
            Optional("i_fReturnValue", Variant(0.0))}),
      Bind("GetDiscount", &CL::GetDiscount,
           {"i_lContractHeaderID", "i_lContractLineID", "i_fQuantity", "o_sCurrency",
            "o_bPercentage"}),
      Bind("GetContractFieldValue", &CL::GetContractFieldValue,
           {"i_lContractHeaderID", "i_lContractLineID", "i_sField"}),
      Bind("GetContractLineAttachment", &CL::GetContractLineAttachment,
           {"i_lContractHeaderID", "i_lContractLineID"}),
      Bind("GetContractUserData", &CL::GetContractUserData,
           {"i_lContractHeaderID", "i_lContractLineID"}),
      Bind("GetContractBIS", &CL::GetContractBIS,
           {"i_lContractHeaderID", "i_lContractLineID", Optional("i_nContractExportStatus"),
            Optional("i_lBISId")}),
      Bind("GetBISTransactionIgnore", &CL::GetBISTransactionIgnore,
           {"i_lBISId", "i_lContractHeaderID", "i_lContractLineID"}),
      Bind("ContractLineAttachmentExists", &CL::ContractLineAttachmentExists,
           {"i_sAttachmentTypeCode"}),
      Bind("ContractPriceBreakUpExists", &CL::ContractPriceBreakUpExists,
           {"i_lContractHeaderID", "i_lContractLineID"}),
      Bind("ContractDiscountBreakUpExists", &CL::ContractDiscountBreakUpExists,
           {"i_lContractHeaderID", "i_lContractLineID"}),
      Bind("GetOldContract", &CL::GetOldContract,
           {"i_lContractHeaderID", "i_lContractLineID", "i_lProductId", "o_fNetAmount",
            "o_sCurrencyCode"}),
      Bind("MaximumQuantityExceeded", &CL::MaximumQuantityExceeded,
           {"i_lContractHeaderID", "i_lContractLineID", "i_fQuantity"}),
      Bind("OldContractExists", &CL::OldContractExists,
           {"i_lContractHeaderID", "i_lContractLineID", "i_lProductId"}),
  };
  return kMethods;
}

}  // namespace carvalen::model
