// The error the default components raise for failures of their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "carvalen/error.hpp"

namespace carvalen::components {

/// The generic failure code; the description says what went wrong.
inline constexpr std::int32_t kComponentFailure = static_cast<std::int32_t>(0x80004005u);

/// A failure of a component itself (a store that cannot be read, a log that cannot be written).
inline Error ComponentError(std::string_view source, std::string description) {
  return Error(kComponentFailure, std::move(description), std::string(source));
}

}  // namespace carvalen::components
