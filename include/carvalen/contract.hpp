// Contract: reads of contract headers, searches over their lines, active lines, per-supplier
// matrices, header attachments and bulk pricing of many supplier/product requests.
// Create it by name ("Carvalen.Contract") or directly; it keeps no data between calls.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <string>

#include "carvalen/dictionary.hpp"
#include "carvalen/recordset.hpp"
#include "carvalen/variant.hpp"

namespace carvalen {

class CARVALEN_API Contract final : public Object {
 public:
  /// Headers, all or of one partner and/or category (keys "1", "2", ...; items {header id,
  /// partner, category}).
  DictionaryPtr GetContractHeader(const Variant& i_lBusinessPartnerId = Variant::Missing(),
                                  const Variant& i_lCategoryId = Variant::Missing());
  /// {partner, category} of a header; 0x80040402 when it does not exist.
  Variant GetContractHeaderDetails(std::int32_t i_lContractHeaderID);
  /// Lines of a header, narrowed by the optional criteria (keys "1", "2", ...).
  DictionaryPtr GetContractLineDetails(std::int32_t i_lContractHeaderID,
                                       const Variant& i_sBuyerId = Variant::Missing(),
                                       const Variant& i_nContractStatus = Variant::Missing(),
                                       const Variant& i_sProductPartNumber = Variant::Missing(),
                                       const Variant& i_dEffectiveDate = Variant::Missing(),
                                       const Variant& i_dExpiryDate = Variant::Missing());
  /// Lines of a product by id or part number, optionally of one partner (keys "1", "2", ...).
  DictionaryPtr GetContractLineIdforProduct(
      const Variant& i_lProductId = Variant::Missing(),
      const Variant& i_sProductPartNumber = Variant::Missing(),
      const Variant& i_lBusinessPartnerId = Variant::Missing());
  /// Active lines of a buyer (keys 1, 2, ...).
  DictionaryPtr GetActiveContractLinesForBuyer(const std::string& i_sBuyerId);
  /// The named columns of the active lines of a header, header and product, or partner and
  /// product (keys 1, 2, ...).
  DictionaryPtr GetActiveContractLines(const Variant& i_aContractFields,
                                       const Variant& i_lContractHeaderID = Variant::Missing(),
                                       const Variant& i_lProductId = Variant::Missing(),
                                       const Variant& i_lBusinessPartnerId = Variant::Missing(),
                                       const Variant& i_lContractLineID = Variant::Missing());
  /// Every column of a partner's active lines in a category, as a record set that needs no
  /// connection.
  RecordsetPtr GetActiveContractLineDetails(std::int32_t i_lCategoryId,
                                            std::int32_t i_lBusinessPartnerId);
  /// The header's own attachments, in every status (keys "1", "2", ...).
  DictionaryPtr GetContractHeaderAttachments(std::int32_t i_lContractHeaderID);
  /// Line ids of a header awaiting approval; the never-allocated array when there is none.
  Variant GetContractApprovallines(std::int32_t i_lContractHeaderID);
  /// {attachment id, revision} of the contract's attachments under approval (keys "1", ...).
  DictionaryPtr GetApprovedHeaderAttachment(const Variant& i_lContractHeaderID);
  /// A partners x names matrix of the columns of each partner's active line for a product.
  Variant getActiveContractLineFieldsperSupplier(std::int32_t i_lProductId,
                                                 const Variant& i_aBusinessPartnerIds,
                                                 const Variant& i_aContractLineFieldNames);
  /// An 11 x 21 matrix whose row `i_lBPArrayIndex` holds one line's user-defined fields.
  Variant GetContractUserDataPerSupplier(const Variant& i_aContractHeaderIds,
                                         const Variant& i_aContractLineIds,
                                         const Variant& i_aBusinessPartnerIds,
                                         const Variant& i_aContractUserDefinedFields,
                                         std::int32_t i_lBPArrayIndex);
  bool ContractHeaderExists(std::int32_t i_lContractHeaderID);
  /// The header's own active attachments (keys "1", "2", ...).
  DictionaryPtr GetActiveHeaderAttachments(std::int32_t i_lContractHeaderID);
  /// Price, discount, currency, tax and freight of the active lines of many partner/product
  /// requests at their quantities (keys: the lines' product ids).
  DictionaryPtr GetActiveContractLinesProc(const DictionaryPtr& i_oDicBPProductQuan);

  std::string ClassName() const override { return "Contract"; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

/// Enums: publishes the enumerations (see enums.hpp); it has no operations.
class CARVALEN_API Enums final : public Object {
 public:
  std::string ClassName() const override { return "Enums"; }
};

}  // namespace carvalen
