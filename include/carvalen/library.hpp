// The library's identity as a component library: name, version, locale and the identifiers of
// its classes and interfaces.
#pragma once

#include "carvalen/export.h"

#include <span>
#include <string_view>

namespace carvalen {

struct ClassMetadata {
  std::string_view name;     // "ContractLine"
  std::string_view prog_id;  // "Carvalen.ContractLine"
  std::string_view class_id;
  std::string_view interface_name;  // "_ContractLine"
  std::string_view interface_id;
};

struct LibraryMetadata {
  std::string_view name;  // "Carvalen"
  int version_major;
  int version_minor;
  unsigned locale;  // 0x409
  std::string_view library_id;
  std::span<const ClassMetadata> classes;
};

CARVALEN_API const LibraryMetadata& Library();

}  // namespace carvalen
