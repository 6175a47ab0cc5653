// Per-supplier matrices (not built yet: every operation here fails with 445).
#include "carvalen/contract.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

Variant Contract::getActiveContractLineFieldsperSupplier(std::int32_t, const Variant&,
                                                         const Variant&) {
  throw Error::Runtime(445);
}

Variant Contract::GetContractUserDataPerSupplier(const Variant&, const Variant&, const Variant&,
                                                 const Variant&, std::int32_t) {
  throw Error::Runtime(445);
}

}  // namespace carvalen
