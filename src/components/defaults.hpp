// Factories of the library's default outside components. The component factory registers them
// under their names; a host that registers its own implementation of a name replaces them.
#pragma once

#include "carvalen/variant.hpp"

namespace carvalen::components {

/// "Mirelib.Utilities": SQL literals of caller values.
ObjectPtr NewUtilities();
/// "Halvard.Configuration": TOML configuration stores.
ObjectPtr NewConfiguration();
/// "Halvard.Log": one JSON line per entry.
ObjectPtr NewLog();
/// "Morrowfen.Category": category settings read from the contract database.
ObjectPtr NewCategory();

}  // namespace carvalen::components
