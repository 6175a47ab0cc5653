#include "carvalen/enums.hpp"

namespace carvalen {
namespace {

constexpr EnumMember kLineStatus[] = {
    {"Create", 1},    {"Under Approval", 2}, {"Supplier Approved", 3}, {"Rejected", 4},
    {"Finalized", 5}, {"Active", 6},         {"expired", 7},
};
constexpr EnumMember kAttachmentStatus[] = {
    {"Create", 1},   {"Under Approval", 2}, {"Approved", 3},
    {"Rejected", 4}, {"Active", 5},         {"expired", 6},
};
constexpr EnumMember kField[] = {
    {"CONTRACTSTATUS", 0},      {"EFFECTIVEDATETIME", 1}, {"EXPIRYDATETIME", 2},
    {"TAXPERCENTAGE", 3},       {"QUANTITY", 4},          {"CREATIONDATE", 5},
    {"CALLEDQUANTITY", 6},      {"INVOICEDQUANTITY", 7},  {"PRODUCTDESCRIPTION", 8},
    {"CONTRACTDESCRIPTION", 9}, {"RFQGENERATED", 10},     {"FREIGHTCHARGE", 11},
    {"HANDLINGCHARGE", 12},
};
constexpr EnumMember kExportStatus[] = {
    {"ContractExportStatus Open", 1},
    {"ContractExportStatus Exported", 2},
};
constexpr EnumMember kAttachDetach[] = {
    {"Attach", 1}, {"Detach", 2}, {"Activate", 3}, {"Revise", 4}, {"Expire", 5}, {"AttachTypes", 6},
};

constexpr Enumeration kEnumerations[] = {
    {"EContractLineStatus", kLineStatus},
    {"EContractAttachmentStatus", kAttachmentStatus},
    {"EContractField", kField},
    {"EContractExportStatus", kExportStatus},
    {"EAttachDetachAction", kAttachDetach},
};

}  // namespace

std::span<const Enumeration> Enumerations() { return kEnumerations; }

std::optional<std::int32_t> EnumValue(std::string_view enumeration, std::string_view member) {
  for (const Enumeration& e : kEnumerations) {
    if (e.name != enumeration) continue;
    for (const EnumMember& m : e.members) {
      if (m.name == member) return m.value;
    }
  }
  return std::nullopt;
}

}  // namespace carvalen
