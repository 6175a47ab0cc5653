#include "model/classes.hpp"

#include <memory>

#include "carvalen/contract.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/version.hpp"
#include "value/text.hpp"

namespace carvalen {
namespace {

constexpr ClassMetadata kClassMetadata[] = {
    {"Contract", "Carvalen.Contract", "24291f9a-c2cd-416b-beee-aa0261166d0b", "_Contract",
     "4ce62ab5-4611-48d9-aa3f-b066991b17b2"},
    {"ContractLine", "Carvalen.ContractLine", "29011194-5333-45b2-ba18-92b6f20cbc34",
     "_ContractLine", "b0baf45b-6ed1-4cf5-80b4-a6b930aeef27"},
    {"Enums", "Carvalen.Enums", "24ae4979-7329-4beb-b29a-61b65d7a8205", "_Enums",
     "3d35cefc-5f08-47fc-8156-0b438d8d42a4"},
};

constexpr LibraryMetadata kLibrary = {
    "Carvalen",     kVersionMajor, kVersionMinor, 0x409, "803a3c5d-0b6c-4272-8795-80564c1f9108",
    kClassMetadata,
};

const std::vector<binding::MethodInfo> kNoMethods;

}  // namespace

const LibraryMetadata& Library() { return kLibrary; }

Variant Contract::Invoke(std::string_view name, std::span<Variant> args) {
  return binding::InvokeByName(model::ContractMethods(), *this, name, args);
}

Variant ContractLine::Invoke(std::string_view name, std::span<Variant> args) {
  return binding::InvokeByName(model::ContractLineMethods(), *this, name, args);
}

namespace model {

std::span<const ClassInfo> Classes() {
  static const ClassInfo kClasses[] = {
      {&kClassMetadata[0], "Carvalen.Contract",
       [] { return ObjectPtr(std::make_shared<Contract>()); }, &ContractMethods(),
       &typeid(Contract)},
      {&kClassMetadata[1], "Carvalen.ContractLine",
       [] { return ObjectPtr(std::make_shared<ContractLine>()); }, &ContractLineMethods(),
       &typeid(ContractLine)},
      {&kClassMetadata[2], "Carvalen.Enums", [] { return ObjectPtr(std::make_shared<Enums>()); },
       &kNoMethods, &typeid(Enums)},
  };
  return kClasses;
}

const ClassInfo* FindClass(std::string_view name) {
  for (const ClassInfo& info : Classes()) {
    if (text::EqualsNoCase(info.metadata->name, name)) return &info;
  }
  return nullptr;
}

}  // namespace model
}  // namespace carvalen
