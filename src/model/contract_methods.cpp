// The dispatch table of Contract, in interface order.
#include "carvalen/contract.hpp"
#include "model/classes.hpp"

namespace carvalen::model {

const std::vector<binding::MethodInfo>& ContractMethods() {
  using C = Contract;
  static const std::vector<binding::MethodInfo> kMethods = {
      Bind("GetContractHeader", &C::GetContractHeader,
           {Optional("i_lBusinessPartnerId"), Optional("i_lCategoryId")}),
      Bind("GetContractHeaderDetails", &C::GetContractHeaderDetails, {"i_lContractHeaderID"}),
      Bind("GetContractLineDetails", &C::GetContractLineDetails,
           {"i_lContractHeaderID", Optional("i_sBuyerId"), Optional("i_nContractStatus"),
            Optional("i_sProductPartNumber"), Optional("i_dEffectiveDate"),
            Optional("i_dExpiryDate")}),
      Bind("GetContractLineIdforProduct", &C::GetContractLineIdforProduct,
           {Optional("i_lProductId"), Optional("i_sProductPartNumber"),
            Optional("i_lBusinessPartnerId")}),
      Bind("GetActiveContractLinesForBuyer", &C::GetActiveContractLinesForBuyer, {"i_sBuyerId"}),
      Bind("GetActiveContractLines", &C::GetActiveContractLines,
           {"i_aContractFields", Optional("i_lContractHeaderID"), Optional("i_lProductId"),
            Optional("i_lBusinessPartnerId"), Optional("i_lContractLineID")}),
      Bind("GetActiveContractLineDetails", &C::GetActiveContractLineDetails,
           {"i_lCategoryId", "i_lBusinessPartnerId"}),
      Bind("GetContractHeaderAttachments", &C::GetContractHeaderAttachments,
           {"i_lContractHeaderID"}),
      Bind("GetContractApprovallines", &C::GetContractApprovallines, {"i_lContractHeaderID"}),
      Bind("GetApprovedHeaderAttachment", &C::GetApprovedHeaderAttachment, {"i_lContractHeaderID"}),
      Bind("getActiveContractLineFieldsperSupplier", &C::getActiveContractLineFieldsperSupplier,
           {"i_lProductId", "i_aBusinessPartnerIds", "i_aContractLineFieldNames"}),
      Bind("GetContractUserDataPerSupplier", &C::GetContractUserDataPerSupplier,
           {"i_aContractHeaderIds", "i_aContractLineIds", "i_aBusinessPartnerIds",
            "i_aContractUserDefinedFields", "i_lBPArrayIndex"}),
      Bind("ContractHeaderExists", &C::ContractHeaderExists, {"i_lContractHeaderID"}),
      Bind("GetActiveHeaderAttachments", &C::GetActiveHeaderAttachments, {"i_lContractHeaderID"}),
      Bind("GetActiveContractLinesProc", &C::GetActiveContractLinesProc, {"i_oDicBPProductQuan"}),
  };
  return kMethods;
}

}  // namespace carvalen::model
