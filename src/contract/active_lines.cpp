// Active contract lines (not built yet: every operation here fails with 445).
#include "carvalen/contract.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

DictionaryPtr Contract::GetActiveContractLines(const Variant&, const Variant&, const Variant&,
                                               const Variant&, const Variant&) {
  throw Error::Runtime(445);
}

RecordsetPtr Contract::GetActiveContractLineDetails(std::int32_t, std::int32_t) {
  throw Error::Runtime(445);
}

}  // namespace carvalen
