// Bulk pricing (not built yet: every operation here fails with 445).
#include "carvalen/contract.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

DictionaryPtr Contract::GetActiveContractLinesProc(const DictionaryPtr&) {
  throw Error::Runtime(445);
}

}  // namespace carvalen
