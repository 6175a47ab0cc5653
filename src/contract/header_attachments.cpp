// Header attachments (not built yet: every operation here fails with 445).
#include "carvalen/contract.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

DictionaryPtr Contract::GetContractHeaderAttachments(std::int32_t) { throw Error::Runtime(445); }

DictionaryPtr Contract::GetApprovedHeaderAttachment(const Variant&) { throw Error::Runtime(445); }

DictionaryPtr Contract::GetActiveHeaderAttachments(std::int32_t) { throw Error::Runtime(445); }

}  // namespace carvalen
