#include "components/store_cache.hpp"

#include "carvalen/settings.hpp"

namespace carvalen::components {

StoreCache& StoreCache::Instance() {
  static StoreCache cache;
  return cache;
}

}  // namespace carvalen::components

namespace carvalen {

void ForgetConfigurationStores() { components::StoreCache::Instance().Forget(); }

}  // namespace carvalen
