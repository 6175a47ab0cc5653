// The public classes as the component registry and the late binder see them: metadata, a
// factory and the dispatch table of each.
#pragma once

#include <span>
#include <typeinfo>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/library.hpp"
#include "carvalen/operations.hpp"
#include "value/binding.hpp"

namespace carvalen::model {

struct ClassInfo {
  const ClassMetadata* metadata;
  const char* prog_id;
  ComponentFactory create;
  const std::vector<binding::MethodInfo>* methods;
  /// The class itself; an object of another type was registered by a host in its place.
  const std::type_info* type;
};

std::span<const ClassInfo> Classes();
/// The class registered as `Carvalen.<name>` (name without regard to case), or null.
const ClassInfo* FindClass(std::string_view name);

/// The class and the member behind an entry of the public description (same order as Classes()).
const ClassInfo& ClassOf(const ClassDescription& type);
const binding::MethodInfo& MemberOf(const ClassDescription& type,
                                    const OperationDescription& operation);

// The dispatch tables are written with these two names.
using binding::Bind;
using binding::Optional;
const std::vector<binding::MethodInfo>& ContractLineMethods();
const std::vector<binding::MethodInfo>& ContractMethods();

}  // namespace carvalen::model
