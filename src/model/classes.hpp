// The public classes as the component registry and the late binder see them: metadata, a
// factory and the dispatch table of each.
#pragma once

#include <span>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/library.hpp"
#include "model/dispatch.hpp"

namespace carvalen::model {

struct ClassInfo {
  const ClassMetadata* metadata;
  const char* prog_id;
  ComponentFactory create;
  const std::vector<MethodInfo>* methods;
};

std::span<const ClassInfo> Classes();
/// The class registered as `Carvalen.<name>` (name without regard to case), or null.
const ClassInfo* FindClass(std::string_view name);

const std::vector<MethodInfo>& ContractLineMethods();
const std::vector<MethodInfo>& ContractMethods();

}  // namespace carvalen::model
