// Small text helpers: names compared without regard to case, blanks trimmed.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace carvalen::text {

/// The character in lower case when it is an ASCII letter; any other byte as it is.
constexpr char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

/// The character in upper case when it is an ASCII letter; any other byte as it is.
constexpr char UpperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

/// ASCII comparison without regard to case (names of members, "True" and "False").
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerChar(x) == LowerChar(y);
         });
}

/// The text with ASCII letters in lower case.
inline std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerChar(c);
  return out;
}

/// An ASCII decimal digit.
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

/// The blanks around words and values: space, tab and line ends.
inline constexpr std::string_view kBlanks = " \t\r\n";

// Compared directly rather than searched in kBlanks: this runs for every character the
// statement cache and the isolation check look at.
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/// The text without leading and trailing blanks.
inline std::string_view TrimBlanks(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace carvalen::text
