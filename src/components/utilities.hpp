// "Mirelib.Utilities": turns caller values into complete SQL literals, so that the operations
// never put a caller's text into a statement by hand.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "carvalen/interfaces.hpp"

namespace carvalen::components {

class Utilities final : public IUtilities {
 public:
  std::string FormatSqlNumber(std::int32_t value) override;
  std::string FormatSqlDouble(double value) override;
  std::string QuoteSqlString(const std::string& value) override;
  std::string FormatSqlDate(Date value) override;

  std::string ClassName() const override { return kUtilitiesName; }
  /// The four operations by name; arguments convert by the Variant rules.
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

}  // namespace carvalen::components
