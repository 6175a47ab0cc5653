// What the public classes offer, as a host or a tool lists it: every class with its operations
// in interface order and each operation's parameters (name, type, by reference, optional,
// default). Calls themselves go through CreateObject and Object::Invoke.
#pragma once

#include "carvalen/export.h"

#include <string>
#include <string_view>
#include <vector>

#include "carvalen/library.hpp"
#include "carvalen/variant.hpp"

namespace carvalen {

/// The type a parameter is declared with.
enum class ParameterType { Long, Double, String, Boolean, Date, Variant, Dictionary };

/// "Long", "Double", "String", "Boolean", "Date", "Variant" or "Dictionary", as listings show it.
CARVALEN_API std::string_view TypeName(ParameterType type);

struct ParameterDescription {
  std::string name;
  ParameterType type = ParameterType::Variant;
  bool by_ref = false;
  bool optional = false;
  /// What an omitted optional argument becomes (missing unless declared otherwise).
  Variant default_value = Variant::Missing();
};

struct OperationDescription {
  std::string name;
  std::vector<ParameterDescription> parameters;
  /// "Dictionary", "Variant", "Double", "Boolean", "String" or "Recordset".
  std::string result;
};

struct ClassDescription {
  const ClassMetadata* metadata = nullptr;
  std::vector<OperationDescription> operations;
};

/// Every public class, in the library's order.
CARVALEN_API const std::vector<ClassDescription>& DescribeClasses();
/// The class `name` ("ContractLine", without regard to case), or null.
CARVALEN_API const ClassDescription* FindClassDescription(std::string_view name);
/// The operation `name` of `type` (without regard to case), or null.
CARVALEN_API const OperationDescription* FindOperation(const ClassDescription& type,
                                                       std::string_view name);

}  // namespace carvalen
