#include "components/utilities.hpp"

#include <charconv>
#include <cmath>
#include <memory>

#include "carvalen/error.hpp"
#include "components/component_error.hpp"
#include "components/defaults.hpp"
#include "value/binding.hpp"

namespace carvalen::components {

std::string Utilities::FormatSqlNumber(std::int32_t value) { return std::to_string(value); }

std::string Utilities::FormatSqlDouble(double value) {
  // SQL has no literal for NaN or infinity; quietly writing one would change the query's meaning.
  if (!std::isfinite(value)) throw Error::Runtime(errnum::kInvalidProcedureCall);
  // The shortest text that reads back as the same double: no digits are lost and none invented.
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc{}) throw Error::Runtime(errnum::kInvalidProcedureCall);
  return std::string(buffer, end);
}

std::string Utilities::QuoteSqlString(const std::string& value) {
  std::string quoted;
  quoted.reserve(value.size() + 2);
  quoted.push_back('\'');
  for (char c : value) {
    // Drivers cut a statement at a NUL, which would let the rest of the value escape its quotes.
    if (c == '\0') throw Error::Runtime(errnum::kInvalidProcedureCall);
    if (c == '\'') quoted.push_back('\'');
    quoted.push_back(c);
  }
  quoted.push_back('\'');
  return quoted;
}

std::string Utilities::FormatSqlDate(Date value) {
  // Always to the second, as dates are stored: a fraction would never equal a stored date.
  const Date::Parts p = value.Split();
  return "'" + Date::FromParts(p.year, p.month, p.day, p.hour, p.minute, p.second).ToText() + "'";
}

Variant Utilities::Invoke(std::string_view name, std::span<Variant> args) {
  using U = Utilities;
  static const std::vector<binding::MethodInfo> kMethods = {
      binding::Bind("FormatSqlNumber", &U::FormatSqlNumber, {"value"}),
      binding::Bind("FormatSqlDouble", &U::FormatSqlDouble, {"value"}),
      binding::Bind("QuoteSqlString", &U::QuoteSqlString, {"value"}),
      binding::Bind("FormatSqlDate", &U::FormatSqlDate, {"value"}),
  };
  return binding::InvokeByName(kMethods, *this, name, args);
}

ObjectPtr NewUtilities() { return std::make_shared<Utilities>(); }

}  // namespace carvalen::components
