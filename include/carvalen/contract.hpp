// Contract: reads of contract headers and searches over their lines.
// Create it by name ("Carvalen.Contract") or directly; it keeps no data between calls.
#pragma once

#include <string>

#include "carvalen/variant.hpp"

namespace carvalen {

class Contract final : public Object {
 public:
  std::string ClassName() const override { return "Contract"; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

/// Enums: publishes the enumerations (see enums.hpp); it has no operations.
class Enums final : public Object {
 public:
  std::string ClassName() const override { return "Enums"; }
};

}  // namespace carvalen
