// ContractLine: reads of one contract line, its attachments, user data and back-end status, and
// the pricing of a line (unit price, discount, effective price) with its checks.
// Create it by name ("Carvalen.ContractLine") or directly; it keeps no data between calls.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <string>

#include "carvalen/dictionary.hpp"
#include "carvalen/variant.hpp"

namespace carvalen {

class CARVALEN_API ContractLine final : public Object {
 public:
  /// The header and line ids of the line made from a quotation: a two-element array, both 0
  /// (16-bit) when there is none.
  Variant GetContractLineNumber(std::int32_t i_lQuotationNumber);

  /// The line's 45 fields by column name; empty when the line does not exist.
  DictionaryPtr GetContractLineDetail(std::int32_t i_lContractHeaderID,
                                      std::int32_t i_lContractLineID);
  /// One column of a line as text; "" for a NULL value or a column that does not exist.
  std::string GetContractFieldValue(std::int32_t i_lContractHeaderID,
                                    std::int32_t i_lContractLineID, const std::string& i_sField);
  /// Active lines due for automatic RFQ generation, with the columns named in the array.
  DictionaryPtr GetEligibleContractsForRFQCreation(const Variant& i_aContractFields);

  /// Every attachment of a line (keys "1", "2", ...).
  DictionaryPtr GetContractLineAttachment(std::int32_t i_lContractHeaderID,
                                          std::int32_t i_lContractLineID);
  /// Every user-defined field of a line (keys 1, 2, ...).
  DictionaryPtr GetContractUserData(std::int32_t i_lContractHeaderID,
                                    std::int32_t i_lContractLineID);
  /// Whether any attachment of any contract has this type code.
  bool ContractLineAttachmentExists(const std::string& i_sAttachmentTypeCode);

  /// A line's back-end integration records, optionally narrowed by export status and BIS id.
  DictionaryPtr GetContractBIS(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                               const Variant& i_nContractExportStatus = Variant::Missing(),
                               const Variant& i_lBISId = Variant::Missing());
  /// Whether a back-end record says transactions on the line are to be ignored.
  bool GetBISTransactionIgnore(std::int32_t i_lBISId, std::int32_t i_lContractHeaderID,
                               std::int32_t i_lContractLineID);

  /// The unit price a quantity earns; `i_fReturnValue` when breaks are used and none applies.
  double GetPrice(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                  double i_fQuantity, Variant& o_sCurrencyCode, double& i_fReturnValue);
  double GetPrice(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                  double i_fQuantity, Variant& o_sCurrencyCode);
  /// A line's price breaks (keys "1", "2", ...; items {QUANTITY, PRICE} as read).
  DictionaryPtr GetPriceBreakup(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                                std::string& o_sCurrencyCode);
  bool ContractPriceBreakUpExists(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID);

  /// The discount a quantity earns; `o_bPercentage` says percentage (True) or amount (False).
  double GetDiscount(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                     double i_fQuantity, Variant& o_sCurrency, Variant& o_bPercentage);
  /// A line's discount breaks (keys 1, 2, ...; items {QUANTITY, percentage, amount} as doubles).
  DictionaryPtr GetDiscountBreakUp(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                                   std::string& o_sCurrencyCode);
  bool ContractDiscountBreakUpExists(std::int32_t i_lContractHeaderID,
                                     std::int32_t i_lContractLineID);

  /// The landed unit price of an active line, named directly or by supplier and product;
  /// null when no line qualifies.
  DictionaryPtr GetEffectivePrice(double i_fQuantity, std::string& o_sCurrencyCode,
                                  const Variant& i_lContractHeaderID = Variant::Missing(),
                                  const Variant& i_lContractLineID = Variant::Missing(),
                                  const Variant& i_lProductId = Variant::Missing(),
                                  const Variant& i_lBusinessPartner = Variant::Missing(),
                                  const Variant& i_lCategoryId = Variant::Missing());

  /// Values the most recent earlier active or expired line of the contract for a product.
  bool GetOldContract(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                      std::int32_t i_lProductId, Variant& o_fNetAmount, Variant& o_sCurrencyCode);
  /// Whether called + invoiced + the requested quantity exceeds the line's quantity.
  bool MaximumQuantityExceeded(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                               double i_fQuantity);
  /// Whether an active line of the contract for the product overlaps the line's validity.
  bool OldContractExists(std::int32_t i_lContractHeaderID, std::int32_t i_lContractLineID,
                         std::int32_t i_lProductId);

  std::string ClassName() const override { return "ContractLine"; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

}  // namespace carvalen
