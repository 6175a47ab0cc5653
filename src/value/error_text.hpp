// Reading the nested error description back for people: the chain of methods an error passed
// through and the innermost message, on one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace carvalen::text {

struct DescriptionParts {
  std::vector<std::string> methods;  // outermost first, a method repeated by its own log once
  std::string message;               // the innermost DESC, blanks and line ends collapsed
};

/// The parts of a description of nested "ERROR 0x.. / METHOD: / DESC:" blocks; a text without
/// them is all message.
DescriptionParts SplitDescription(std::string_view description);

/// "A > B: message" on one line, or the message alone when no method is named.
std::string ReadableDescription(std::string_view description);

}  // namespace carvalen::text
