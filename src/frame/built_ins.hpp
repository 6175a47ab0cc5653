// What the library itself can create by name: its public classes and the default outside
// components. Defined by the top-level src/built_ins.cpp, the one file that knows both the classes
// and the components, so the registry needs neither.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "carvalen/component.hpp"

namespace carvalen {

std::vector<std::pair<std::string_view, ComponentFactory>> BuiltInComponents();

}  // namespace carvalen
