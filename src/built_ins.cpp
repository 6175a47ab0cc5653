// The library's own registrations: the default outside components and the public classes.
#include "frame/built_ins.hpp"

#include "carvalen/interfaces.hpp"
#include "components/defaults.hpp"
#include "model/classes.hpp"

namespace carvalen {

std::vector<std::pair<std::string_view, ComponentFactory>> BuiltInComponents() {
  std::vector<std::pair<std::string_view, ComponentFactory>> built_ins = {
      {kUtilitiesName, components::NewUtilities},
      {kConfigurationName, components::NewConfiguration},
      {kLogName, components::NewLog},
      {kCategoryName, components::NewCategory},
  };
  for (const model::ClassInfo& info : model::Classes())
    built_ins.emplace_back(info.prog_id, info.create);
  return built_ins;
}

}  // namespace carvalen
