// Contract headers (not built yet: every operation here fails with 445).
#include "carvalen/contract.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

DictionaryPtr Contract::GetContractHeader(const Variant&, const Variant&) {
  throw Error::Runtime(445);
}

Variant Contract::GetContractHeaderDetails(std::int32_t) { throw Error::Runtime(445); }

Variant Contract::GetContractApprovallines(std::int32_t) { throw Error::Runtime(445); }

bool Contract::ContractHeaderExists(std::int32_t) { throw Error::Runtime(445); }

}  // namespace carvalen
