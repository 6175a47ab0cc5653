// The pieces the typed-JSON reader (value_reader.cpp) builds values from: the tags, one scalar as
// the parser gives it, the frames of the values being read, and what a finished frame makes.
// Private to src/api/.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/variant.hpp"
#include "contract/bulk_pricing.hpp"

namespace carvalen::api::reader {

constexpr std::int64_t kLongMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kLongMax = std::numeric_limits<std::int32_t>::max();

enum class Tag : std::uint8_t {
  Empty,
  Nothing,
  Missing,
  Int16,
  Int64,
  Double,
  Date,
  Array,
  Dict,
  Recordset
};

std::optional<Tag> TagNamed(std::string_view key);
std::string_view TagName(Tag tag);

// One JSON scalar as the parser gives it.
struct Scalar {
  enum class Kind : std::uint8_t { Null, Boolean, Signed, Unsigned, Float, Text };
  explicit Scalar(Kind k) : kind(k) {}
  Kind kind;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t natural = 0;
  double real = 0.0;
  std::string* text = nullptr;
};

/// A scalar of a document as the parser gave it; a text is copied into `text`.
Scalar ScalarOf(const Json& json, std::string& text);
/// The scalar as a document holds it, for a message to quote.
Json JsonOf(const Scalar& s);

std::optional<std::int32_t> LongOf(const Scalar& s);
/// The 32-bit integer "lbound" holds, or the usage error naming `lbound`, quoted as `echo`.
std::int32_t LowerBound(const Scalar& s);

Variant PlainValue(Scalar& s);

// The value a tag's body makes, for the tags whose body is a scalar; else the usage error.
Variant TaggedScalar(Tag tag, const Scalar& s);

// The messages of what typed JSON refuses, the same from either decoder.
[[noreturn]] void Fail(const std::string& message);
namespace message {
inline constexpr const char* kNoValue =
    "{} is no value; typed values are objects with one \"$\" key";
inline constexpr const char* kArrayBody = "\"$array\" must be a list of values, or null";
inline constexpr const char* kDictBody = "\"$dict\" must be a list of [key, item] pairs";
inline constexpr const char* kRecordset =
    "\"$recordset\" is {\"fields\": [...], \"rows\": [[...], ...]}";
inline constexpr const char* kFields = "\"fields\" of \"$recordset\" are texts";
inline constexpr const char* kRows = "\"rows\" of \"$recordset\" is a list of rows";
inline constexpr const char* kRecordsetRow = "a row of \"$recordset\" is a list of values";
inline constexpr const char* kUnallocatedBounds =
    "a never-allocated \"$array\" (null) takes no \"lbound\"";
inline constexpr const char* kMixed =
    "\"$array\" mixes lists and values: rows of a two-dimensional array are lists, and a list is "
    "no value of its own";
inline constexpr const char* kOneDimensional =
    "a one-dimensional \"$array\" holds values, not lists (\"lbound\" is one number)";
inline constexpr const char* kRowsAreLists = "rows of a two-dimensional \"$array\" are lists";
inline constexpr const char* kBoundsPair =
    "\"lbound\" of a two-dimensional array is a pair [l1, l2]";
inline constexpr const char* kNoRoom =
    "\"$array\" has more elements than its lower bound leaves room for";
inline constexpr const char* kArguments = "the arguments are a JSON object of NAME: value";
std::string FirstKey(std::string_view key);  // a first key that names no tag
std::string Beside(std::string_view key, std::string_view tag);
std::string BadBody(Tag tag, const std::string& echo);  // a scalar tag's body, quoted
std::string Lbound(const std::string& echo);
std::string List(const std::string& echo);
std::string Entry(const std::string& echo);
std::string EntryLength(std::size_t count);
std::string ArrayKey(std::size_t entry);
std::string KeyTwice(std::size_t entry);
std::string RowLengths(std::size_t first, std::size_t other);
std::string RecordsetRowLength(std::size_t fields);
}  // namespace message

/// The upper bound of `count` elements from `lower`, or the usage error when it leaves the
/// 32-bit range (an empty dimension from the lowest index ends below it).
std::int32_t Upper(std::int32_t lower, std::size_t count);

// The plain form of one pricing entry, when it has it: an integer key and a zero-based pair of
// an integer partner and a number.
std::optional<contract::PricingAsk> PlainAsk(const Variant& key, const Variant& item);

enum class Kind : std::uint8_t {
  Root,       // the one value of the text
  Arguments,  // the call's object of NAME: value
  Tagged,     // {"$tag": body} and "lbound" beside "$array"
  Items,      // the list of "$array": values, or rows of values
  Row,        // a list of values: a row of a two-dimensional "$array" or of "$recordset"
  Bounds,     // the pair of "lbound"
  Entries,    // the list of "$dict"
  Pair,       // one [key, item] of "$dict"
  Records,    // the object of "$recordset"
  Fields,     // its "fields"
  Rows,       // its "rows"
};

struct Frame {
  explicit Frame(Kind k) : kind(k) {}
  Kind kind;
  std::vector<std::string> keys;           // Arguments: the names read
  std::vector<Variant> values;             // Row, Pair, Items of values, Bounds, Fields
  std::vector<std::vector<Variant>> rows;  // Items of rows, Rows
  // Tagged
  std::optional<Tag> tag;
  bool awaiting_bounds = false;  // "lbound" read, its value next
  bool has_bounds = false;
  bool bounds_pair = false;
  std::int32_t lower1 = 0;
  std::int32_t lower2 = 0;
  std::optional<Variant> body;  // a scalar tag's value, the never-allocated array, or the built
                                // dictionary or record set
  bool items_are_rows = false;
  bool pricing = false;  // Tagged, Entries: this is the pricing request
  // Entries
  DictionaryPtr dictionary;
  std::vector<contract::PricingAsk> asks;
  std::vector<bool> whole_quantities;  // each ask's quantity was read as a Long, not a Double
  // Records
  std::optional<std::vector<std::string>> fields;
  std::optional<std::vector<std::vector<Variant>>> record_rows;
  int records_member = 0;  // 1 fields, 2 rows: which member the next value is
  // Arguments: the member being read
  std::optional<std::string> member;
  bool member_is_pricing = false;
};

/// The value of a finished {"$tag": body} frame.
Variant BuildTagged(Frame& frame);
/// The record set of a finished {"fields": ..., "rows": ...} frame, once both are there and
/// every row has as many values as there are fields.
Variant BuildRecordset(Frame& records);
/// What a finished JSON list (an array's items, a row, bounds, a dictionary's entries or one of
/// them, a record set's fields or rows) gives the frame that holds it.
void EndList(Frame& frame, Frame& parent);
/// Fails naming the first of a pricing request's entries read so far that repeats a key.
void CheckAsks(const Frame& entries);

}  // namespace carvalen::api::reader
