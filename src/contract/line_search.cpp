// Contract line search (not built yet: every operation here fails with 445).
#include "carvalen/contract.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

DictionaryPtr Contract::GetContractLineDetails(std::int32_t, const Variant&, const Variant&,
                                               const Variant&, const Variant&, const Variant&) {
  throw Error::Runtime(445);
}

DictionaryPtr Contract::GetContractLineIdforProduct(const Variant&, const Variant&,
                                                    const Variant&) {
  throw Error::Runtime(445);
}

DictionaryPtr Contract::GetActiveContractLinesForBuyer(const std::string&) {
  throw Error::Runtime(445);
}

}  // namespace carvalen
