#include "value/error_text.hpp"

namespace carvalen::text {
namespace {

constexpr std::string_view kMethod = " METHOD: ";
constexpr std::string_view kDesc = " DESC: ";
constexpr std::string_view kLineEnd = "\r\n";

// Line ends, tabs and runs of blanks become one space; blanks around the text go.
std::string Collapse(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool blank = false;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

}  // namespace

DescriptionParts SplitDescription(std::string_view description) {
  DescriptionParts parts;
  for (std::size_t at = description.find(kMethod); at != std::string_view::npos;
       at = description.find(kMethod, at + kMethod.size())) {
    const std::size_t start = at + kMethod.size();
    std::string name(description.substr(start, description.find(kLineEnd, start) - start));
    if (parts.methods.empty() || parts.methods.back() != name) {
      parts.methods.push_back(std::move(name));
    }
  }
  const std::size_t desc = description.rfind(kDesc);
  if (parts.methods.empty() || desc == std::string_view::npos) {
    parts.message = Collapse(description);
    return parts;
  }
  // The innermost block ends ".\r\n" after its message (the message's own full stop precedes it).
  std::string_view message = description.substr(desc + kDesc.size());
  if (const std::size_t end = message.find(".\r\n"); end != std::string_view::npos) {
    message = message.substr(0, end);
  }
  parts.message = Collapse(message);
  return parts;
}

std::string ReadableDescription(std::string_view description) {
  const DescriptionParts parts = SplitDescription(description);
  std::string out;
  for (const std::string& method : parts.methods) out += (out.empty() ? "" : " > ") + method;
  if (out.empty()) return parts.message;
  return out + ": " + parts.message;
}

}  // namespace carvalen::text
