// The tool's typed JSON: every Variant state has one JSON form, used for arguments on the command
// line and for results on stdout alike. Plain JSON covers what it can say unambiguously (null,
// booleans, 32-bit integers, doubles with a fraction or exponent, strings); everything else is an
// object with one "$" key naming the type.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::api {

using Json = nlohmann::ordered_json;

/// A mistake in what the user typed (bad JSON, unknown names): reported on stderr, exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// How deep a document may nest, in brackets of the text and in values of the decoded document:
/// decoding and printing recurse, and no argument needs more than a few levels.
inline constexpr std::size_t kMaxJsonDepth = 256;

/// The typed JSON of a value.
Json ToJson(const Variant& value);
/// The value a typed JSON document stands for; malformed input fails with UsageError.
Variant FromJson(const Json& json);

/// Parses one JSON text; bad JSON, or JSON nested deeper than kMaxJsonDepth, fails with
/// UsageError ("bad JSON <EchoJson(text)>: ...").
Json ParseJson(std::string_view text);
/// The text as a message quotes it: whole when short, else its first bytes and its size.
std::string EchoJson(std::string_view text);
/// Parses one JSON text and decodes it; bad JSON fails with UsageError.
Variant ParseValue(std::string_view text);

/// The error document {"error": {"number": ..., "source": ..., ...}}.
Json ErrorJson(const ErrorInfo& info);

/// One-line text of a document with ", " and ": " between items, as the tool prints it. Doubles
/// keep a '.' or an exponent so that they read back as doubles; invalid UTF-8 in strings is
/// replaced rather than failing the whole output.
std::string Dump(const Json& json);

}  // namespace carvalen::api
