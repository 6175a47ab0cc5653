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

#include "carvalen/dictionary.hpp"
#include "carvalen/variant.hpp"
#include "contract/bulk_pricing.hpp"

namespace carvalen::api::reader {

constexpr std::int64_t kLongMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kLongMax = std::numeric_limits<std::int32_t>::max();

// The reader met what only the document decoder words exactly.
struct Fallback {};
// The text holds more entries than the limit.
struct TooMany {};
// The arguments name a member the operation does not have.
struct UnknownMember {
  std::string name;
};

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

std::optional<std::int32_t> LongOf(const Scalar& s);

Variant PlainValue(Scalar& s);

// The value a tag's body makes, for the tags whose body is a scalar.
Variant TaggedScalar(Tag tag, const Scalar& s);

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
  std::vector<Variant> values;             // Row, Pair, Items of values
  std::vector<std::vector<Variant>> rows;  // Items of rows, Rows
  // Tagged
  std::optional<Tag> tag;
  bool body_done = false;
  bool awaiting_bounds = false;
  bool has_bounds = false;
  bool bounds_pair = false;
  std::int32_t lower1 = 0;
  std::int32_t lower2 = 0;
  std::optional<Variant> body;  // a scalar tag's value, or the built dictionary / record set
  bool items_are_rows = false;
  bool items_seen = false;
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
/// What a finished JSON list (an array's items, a row, bounds, a dictionary's entries or one of
/// them, a record set's fields or rows) gives the frame that holds it.
void EndList(Frame& frame, Frame& parent);

}  // namespace carvalen::api::reader
