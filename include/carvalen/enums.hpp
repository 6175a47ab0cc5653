// The enumerations callers and queries share. The C++ enumerators use legal identifiers; the
// published member names (blanks included) are kept as data, for callers that look values up by
// name.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace carvalen {

enum class EContractLineStatus : std::int32_t {
  Create = 1,
  UnderApproval = 2,
  SupplierApproved = 3,
  Rejected = 4,
  Finalized = 5,
  Active = 6,
  Expired = 7,
};

enum class EContractAttachmentStatus : std::int32_t {
  Create = 1,
  UnderApproval = 2,
  Approved = 3,
  Rejected = 4,
  Active = 5,
  Expired = 6,
};

enum class EContractField : std::int32_t {
  CONTRACTSTATUS = 0,
  EFFECTIVEDATETIME = 1,
  EXPIRYDATETIME = 2,
  TAXPERCENTAGE = 3,
  QUANTITY = 4,
  CREATIONDATE = 5,
  CALLEDQUANTITY = 6,
  INVOICEDQUANTITY = 7,
  PRODUCTDESCRIPTION = 8,
  CONTRACTDESCRIPTION = 9,
  RFQGENERATED = 10,
  FREIGHTCHARGE = 11,
  HANDLINGCHARGE = 12,
};

enum class EContractExportStatus : std::int32_t {
  Open = 1,
  Exported = 2,
};

enum class EAttachDetachAction : std::int32_t {
  Attach = 1,
  Detach = 2,
  Activate = 3,
  Revise = 4,
  Expire = 5,
  AttachTypes = 6,
};

struct EnumMember {
  std::string_view name;  // as published, e.g. "Under Approval"
  std::int32_t value;
};

struct Enumeration {
  std::string_view name;  // e.g. "EContractLineStatus"
  std::span<const EnumMember> members;
};

/// Every enumeration of the library, in published order.
CARVALEN_API std::span<const Enumeration> Enumerations();

/// The value of `member` of enumeration `enumeration` (names matched exactly, blanks included).
CARVALEN_API std::optional<std::int32_t> EnumValue(std::string_view enumeration,
                                                   std::string_view member);

}  // namespace carvalen
