// What the default components share to answer calls by name, and the error they raise for
// failures of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "value/text.hpp"

namespace carvalen::components {

/// The generic failure code; the description says what went wrong.
inline constexpr std::int32_t kComponentFailure = static_cast<std::int32_t>(0x80004005u);

/// True when `name` is `member`, letters compared without regard to case.
inline bool IsMember(std::string_view name, std::string_view member) {
  return text::EqualsNoCase(name, member);
}

/// Fails with 450 "Wrong number of arguments or invalid property assignment" unless exactly
/// `count` arguments were passed.
inline void ExpectArguments(std::span<const Variant> args, std::size_t count) {
  if (args.size() != count) throw Error::Runtime(errnum::kWrongArgumentCount);
}

/// A failure of a component itself (a store that cannot be read, a log that cannot be written).
inline Error ComponentError(std::string_view source, std::string description) {
  return Error(kComponentFailure, std::move(description), std::string(source));
}

}  // namespace carvalen::components
