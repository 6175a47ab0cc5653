// The dispatch table of Contract, in interface order. An operation is listed here once it is
// built.
#include "carvalen/contract.hpp"
#include "model/classes.hpp"

namespace carvalen::model {

const std::vector<MethodInfo>& ContractMethods() {
  static const std::vector<MethodInfo> kMethods = {};
  return kMethods;
}

}  // namespace carvalen::model
