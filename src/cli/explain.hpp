// The one line a person reads on stderr when a call fails: what failed, the innermost message,
// and where to look (the store folder and files, the database, the parameter that did not
// convert). The error document on stdout stays exactly what the operation raised.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "api/call.hpp"

namespace carvalen::cli {

/// The scalar arguments of a call, kept before it runs, to name the one a conversion failed on.
struct GivenScalar {
  const ParameterDescription* param = nullptr;
  Variant value;
};
std::vector<GivenScalar> Scalars(const api::Target& target, const std::vector<Variant>& args);

/// "carvalen: ContractLine.GetPrice failed: <message> (error N in <method>); <where>".
std::string ExplainFailure(const api::Target& target, const std::vector<GivenScalar>& given,
                           std::string_view error_document);

}  // namespace carvalen::cli
