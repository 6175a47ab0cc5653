// The tool's typed JSON: every Variant state has one JSON form, used for arguments on the command
// line and for results on stdout alike. Plain JSON covers what it can say unambiguously (null,
// booleans, 32-bit integers, doubles with a fraction or exponent, strings); everything else is an
// object with one "$" key naming the type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

/// How many entries one request may hold in all (a "$dict"'s pairs and their halves, an
/// "$array"'s elements, a record set's rows, an object's members): enough for any real bulk
/// request, and a bound on what a hostile one makes the decoder keep.
inline constexpr std::size_t kDefaultMaxEntries = 1'000'000;

/// No bound on an answer's bytes: the in-process faces, whose caller holds the result anyway.
inline constexpr std::size_t kNoAnswerLimit = static_cast<std::size_t>(-1);

/// What a face accepts in one request, and how large its answer may grow.
struct Limits {
  std::size_t max_entries = kDefaultMaxEntries;
  /// Past this many bytes an answer stops being written and the call fails with 7 "Out of
  /// memory", as an allocation beyond its budget does: nothing more is spent on it.
  std::size_t max_answer = kNoAnswerLimit;
};

/// The limits the environment sets: CARVALEN_MAX_ENTRIES (a positive count), else the
/// defaults. Anything else there, or in CARVALEN_MAX_CELLS, fails with UsageError naming the
/// variable.
Limits LimitsFromEnvironment();
/// `text` as a count of entries ("250000"); anything else fails with UsageError naming `what`.
std::size_t ParseMaxEntries(std::string_view text, std::string_view what);
/// `text` as a count of array cells, for SetMaxCells; anything else fails as ParseMaxEntries does.
std::int64_t ParseMaxCells(std::string_view text, std::string_view what);

/// The typed JSON of a value.
Json ToJson(const Variant& value);
/// Appends the one-line text of the value's typed JSON to `out`, exactly Dump(ToJson(value))
/// but written straight into `out`, with no document between.
/// Past `limit` bytes of `out` it stops, as CheckAnswerSize does.
void AppendJson(const Variant& value, std::string& out, std::size_t limit = kNoAnswerLimit);
/// Appends the typed JSON of one dictionary entry, "[key, item]".
void AppendEntry(const Variant& key, const Variant& item, std::string& out,
                 std::size_t limit = kNoAnswerLimit);
/// Fails with 7 "Out of memory" once `out` holds more than `limit` bytes. The encoders check
/// before each value they write, so an answer passes the limit by at most one value.
void CheckAnswerSize(const std::string& out, std::size_t limit);
/// The value a typed JSON document stands for; malformed input fails with UsageError.
Variant FromJson(const Json& json);

/// Parses one JSON text; bad JSON, JSON nested deeper than kMaxJsonDepth, or more than
/// `max_entries` entries (keys and list items) in all, fails with UsageError ("bad JSON
/// <EchoJson(text)>: ...").
Json ParseJson(std::string_view text, std::size_t max_entries = kDefaultMaxEntries);
/// The error of a text holding more than `max_entries` entries.
UsageError TooManyEntries(std::string_view text, std::size_t max_entries);
/// Whether brackets outside strings nest deeper than `limit` anywhere in `text`, counted
/// without building anything (and past a NUL byte, where the parser stops).
bool NestingExceeds(std::string_view text, std::size_t limit);
/// The text as a message quotes it: whole when short, else its first 200 bytes and its size.
std::string EchoJson(std::string_view text);
/// A value as a message quotes it: Dump's text when short, else its first 200 bytes and "...",
/// made without writing the rest.
std::string EchoValue(const Json& json);
/// Parses one JSON text and decodes it in one pass, straight into Variants; bad JSON fails with
/// UsageError, naming the first mistake in the text as ParseJson and FromJson would. With
/// `pricing_request`, a "$dict" whose entries are all plain bulk-pricing requests (an integer
/// key, {"$array": [partner, quantity]}) becomes the compact contract::PricingRequest instead of
/// a Dictionary.
Variant ParseValue(std::string_view text, const Limits& limits = {}, bool pricing_request = false);

/// The members of a JSON object in the order written, each value read as ParseValue reads it, in
/// the same one pass; `pricing_member(name)` says which member holds a bulk-pricing request and
/// `check_member(name)` throws the UsageError of a name the operation does not have. Fails with
/// the first mistake in the text.
using Members = std::vector<std::pair<std::string, Variant>>;
using PricingMember = std::function<bool(std::string_view name)>;
using CheckMember = std::function<void(std::string_view name)>;
Members ReadMembers(std::string_view text, const Limits& limits,
                    const PricingMember& pricing_member, const CheckMember& check_member);

/// The error document {"error": {"number": ..., "source": ..., ...}}.
Json ErrorJson(const ErrorInfo& info);

/// One-line text of a document with ", " and ": " between items, as the tool prints it. Doubles
/// keep a '.' or an exponent so that they read back as doubles; invalid UTF-8 in strings is
/// replaced rather than failing the whole output.
std::string Dump(const Json& json);

}  // namespace carvalen::api
