#include "api/json_codec.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "carvalen/dictionary.hpp"
#include "db/client.hpp"

namespace carvalen::api {
namespace {

constexpr std::int64_t kLongMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kLongMax = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void Fail(const std::string& message) { throw UsageError(message); }

// ---- input -------------------------------------------------------------------------------

// Decoding recurses once per nested value; `depth` counts the levels so that a document built in
// memory (not only parsed text) cannot exhaust the stack.
Variant Decode(const Json& json, std::size_t depth);

void Deeper(std::size_t depth) {
  if (depth >= kMaxJsonDepth) {
    Fail(fmt::format("values nest deeper than {} levels", kMaxJsonDepth));
  }
}

std::int32_t LongFrom(const Json& json, const char* what) {
  if (json.is_number_unsigned()) {
    if (json.get<std::uint64_t>() <= static_cast<std::uint64_t>(kLongMax)) {
      return static_cast<std::int32_t>(json.get<std::uint64_t>());
    }
  } else if (json.is_number_integer()) {
    std::int64_t n = json.get<std::int64_t>();
    if (n >= kLongMin && n <= kLongMax) return static_cast<std::int32_t>(n);
  }
  Fail(fmt::format("{} must be an integer in the 32-bit range, not {}", what, EchoValue(json)));
}

// The parser reads 1e400 as infinity; typed JSON spells an infinity out, so a number beyond the
// double range is a mistake, not a way to write one.
double FiniteDouble(const Json& json) {
  const double value = json.get<double>();
  if (!std::isfinite(value)) {
    Fail(
        "a JSON number is beyond the range of a double (an infinity is written "
        "{\"$double\": \"Infinity\"})");
  }
  return value;
}

Variant NumberFrom(const Json& json) {
  if (json.is_number_unsigned()) {
    std::uint64_t n = json.get<std::uint64_t>();
    if (n <= static_cast<std::uint64_t>(kLongMax)) return Variant(static_cast<std::int32_t>(n));
    return Variant(static_cast<double>(n));
  }
  if (json.is_number_integer()) {
    std::int64_t n = json.get<std::int64_t>();
    if (n >= kLongMin && n <= kLongMax) return Variant(static_cast<std::int32_t>(n));
    return Variant(static_cast<double>(n));
  }
  return Variant(FiniteDouble(json));
}

Variant Int16From(const Json& json) {
  if (json.is_number_unsigned()) {
    if (json.get<std::uint64_t>() <= std::uint64_t{32767}) {
      return Variant(static_cast<std::int16_t>(json.get<std::uint64_t>()));
    }
  } else if (json.is_number_integer()) {
    std::int64_t n = json.get<std::int64_t>();
    if (n >= -32768 && n <= 32767) return Variant(static_cast<std::int16_t>(n));
  }
  Fail(fmt::format("\"$int16\" needs an integer from -32768 to 32767, not {}", EchoValue(json)));
}

Variant Int64From(const Json& json) {
  if (json.is_number_unsigned()) {
    if (json.get<std::uint64_t>() <=
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return Variant(static_cast<std::int64_t>(json.get<std::uint64_t>()));
    }
  } else if (json.is_number_integer()) {
    return Variant(json.get<std::int64_t>());
  } else if (json.is_string()) {
    // Decimal text too, for callers whose JSON numbers are doubles.
    const std::string& text = json.get_ref<const std::string&>();
    std::size_t used = 0;
    try {
      long long n = std::stoll(text, &used, 10);
      if (used == text.size() && !text.empty() && text.front() != ' ') {
        return Variant(static_cast<std::int64_t>(n));
      }
    } catch (const std::exception&) {
      // falls through to the message below
    }
  }
  Fail(fmt::format("\"$int64\" needs a 64-bit integer, not {}", EchoValue(json)));
}

Variant DoubleFrom(const Json& json) {
  if (json.is_number()) return Variant(FiniteDouble(json));
  if (json.is_string()) {
    const std::string& text = json.get_ref<const std::string&>();
    if (text == "NaN") return Variant(std::numeric_limits<double>::quiet_NaN());
    if (text == "Infinity") return Variant(std::numeric_limits<double>::infinity());
    if (text == "-Infinity") return Variant(-std::numeric_limits<double>::infinity());
  }
  Fail(fmt::format("\"$double\" needs a number, \"NaN\", \"Infinity\" or \"-Infinity\", not {}",
                   EchoValue(json)));
}

Variant DateFrom(const Json& json) {
  Date date;
  if (!json.is_string() || !Date::TryParse(json.get_ref<const std::string&>(), date)) {
    Fail(fmt::format("\"$date\" needs a text like \"2026-06-10T08:00:00\", not {}",
                     EchoValue(json)));
  }
  return Variant(date);
}

void RequireTrue(const char* key, const Json& json) {
  if (json != Json(true)) Fail(fmt::format("\"{}\" must be true, not {}", key, EchoValue(json)));
}

// The end of `count` elements from `lower`, or a usage error when it leaves the 32-bit range
// (an empty dimension from the lowest index ends below it).
std::int32_t UpperBound(std::int32_t lower, std::size_t count) {
  const std::int64_t upper = std::int64_t{lower} + static_cast<std::int64_t>(count) - 1;
  if (count > static_cast<std::size_t>(kLongMax) || upper > kLongMax || upper < kLongMin) {
    Fail("\"$array\" has more elements than its lower bound leaves room for");
  }
  return static_cast<std::int32_t>(upper);
}

Variant ArrayFrom(const Json& json, std::size_t depth) {
  const Json& items = json.at("$array");
  const Json* lbound = json.contains("lbound") ? &json.at("lbound") : nullptr;
  if (items.is_null()) {
    if (lbound != nullptr) Fail("a never-allocated \"$array\" (null) takes no \"lbound\"");
    return Variant::UnallocatedArray();
  }
  if (!items.is_array()) Fail("\"$array\" must be a list of values, or null");

  // Two dimensions when "lbound" is a pair, or without "lbound" when every element is a list.
  bool two_dimensional = false;
  if (lbound != nullptr && lbound->is_array()) {
    two_dimensional = true;
  } else if (lbound == nullptr && !items.empty()) {
    std::size_t lists = 0;
    for (const Json& item : items) lists += item.is_array() ? 1 : 0;
    if (lists != 0 && lists != items.size()) {
      Fail(
          "\"$array\" mixes lists and values: rows of a two-dimensional array are lists, "
          "and a list is no value of its own");
    }
    two_dimensional = lists != 0;
  }

  if (!two_dimensional) {
    std::int32_t lower = lbound != nullptr ? LongFrom(*lbound, "\"lbound\"") : 0;
    Array array(lower, UpperBound(lower, items.size()));
    // Indexes count in 64 bits: one past the last may be beyond the 32-bit range.
    std::int64_t i = lower;
    for (const Json& item : items) {
      if (item.is_array()) {
        Fail("a one-dimensional \"$array\" holds values, not lists (\"lbound\" is one number)");
      }
      array.At(static_cast<std::int32_t>(i++)) = Decode(item, depth + 1);
    }
    return Variant(std::move(array));
  }

  std::int32_t lower1 = 0;
  std::int32_t lower2 = 0;
  if (lbound != nullptr) {
    if (lbound->size() != 2) Fail("\"lbound\" of a two-dimensional array is a pair [l1, l2]");
    lower1 = LongFrom((*lbound)[0], "\"lbound\"");
    lower2 = LongFrom((*lbound)[1], "\"lbound\"");
  }
  const std::size_t columns = items.empty() ? 0 : items.front().size();
  for (const Json& row : items) {
    if (!row.is_array()) Fail("rows of a two-dimensional \"$array\" are lists");
    if (row.size() != columns) {
      Fail(fmt::format("rows of a two-dimensional \"$array\" must have the same length ({} and {})",
                       columns, row.size()));
    }
  }
  Array array(lower1, UpperBound(lower1, items.size()), lower2, UpperBound(lower2, columns));
  std::int64_t i = lower1;
  for (const Json& row : items) {
    std::int64_t j = lower2;
    for (const Json& item : row) {
      array.At(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j++)) =
          Decode(item, depth + 1);
    }
    ++i;
  }
  return Variant(std::move(array));
}

Variant DictionaryFrom(const Json& entries, std::size_t depth) {
  if (!entries.is_array()) Fail("\"$dict\" must be a list of [key, item] pairs");
  DictionaryPtr dictionary = Dictionary::Create();
  for (const Json& entry : entries) {
    if (!entry.is_array() || entry.size() != 2) {
      Fail(fmt::format("an entry of \"$dict\" is a pair [key, item], not {}", EchoValue(entry)));
    }
    Variant key = Decode(entry[0], depth + 1);
    // Arrays cannot be keys; said here rather than left to fail inside the call.
    if (key.Type() == VarType::Array) {
      Fail(fmt::format("an array cannot be a key of \"$dict\", as {} is", EchoValue(entry[0])));
    }
    if (dictionary->Exists(key)) {
      Fail(fmt::format("\"$dict\" holds the key {} twice", EchoValue(entry[0])));
    }
    dictionary->Add(std::move(key), Decode(entry[1], depth + 1));
  }
  return Variant(ObjectPtr(dictionary));
}

Variant RecordsetFrom(const Json& body, std::size_t depth) {
  if (!body.is_object() || !body.contains("fields") || !body.contains("rows") || body.size() != 2) {
    Fail("\"$recordset\" is {\"fields\": [...], \"rows\": [[...], ...]}");
  }
  std::vector<std::string> fields;
  for (const Json& name : body.at("fields")) {
    if (!name.is_string()) Fail("\"fields\" of \"$recordset\" are texts");
    fields.push_back(name.get<std::string>());
  }
  std::vector<std::vector<Variant>> rows;
  const Json& row_list = body.at("rows");
  if (!row_list.is_array()) Fail("\"rows\" of \"$recordset\" is a list of rows");
  for (const Json& row : row_list) {
    if (!row.is_array() || row.size() != fields.size()) {
      Fail(fmt::format("each row of \"$recordset\" is a list of {} values", fields.size()));
    }
    std::vector<Variant> cells;
    for (const Json& cell : row) cells.push_back(Decode(cell, depth + 1));
    rows.push_back(std::move(cells));
  }
  auto records = db::Recordset::Create();
  records->OpenRows(std::move(fields), std::move(rows));
  return Variant(ObjectPtr(records));
}

Variant TaggedFrom(const Json& json, std::size_t depth) {
  if (json.empty()) Fail("{} is no value; typed values are objects with one \"$\" key");
  const std::string& key = json.begin().key();
  const Json& body = json.begin().value();
  const bool is_array = key == "$array";
  for (const auto& [name, ignored] : json.items()) {
    if (name == key || (is_array && name == "lbound")) continue;
    Fail(fmt::format("unexpected key \"{}\" beside \"{}\"", EchoJson(name), EchoJson(key)));
  }
  if (is_array) return ArrayFrom(json, depth);
  if (json.contains("lbound")) Fail("\"lbound\" belongs to \"$array\" and must follow it");
  if (key == "$empty" || key == "$nothing" || key == "$missing") {
    RequireTrue(key.c_str(), body);
    if (key == "$empty") return Variant();
    return key == "$nothing" ? Variant::Nothing() : Variant::Missing();
  }
  if (key == "$int16") return Int16From(body);
  if (key == "$int64") return Int64From(body);
  if (key == "$double") return DoubleFrom(body);
  if (key == "$date") return DateFrom(body);
  if (key == "$dict") return DictionaryFrom(body, depth);
  if (key == "$recordset") return RecordsetFrom(body, depth);
  if (key == "$object") {
    Fail("\"$object\" cannot be given as an argument; pass a \"$dict\" or another value");
  }
  Fail(
      fmt::format("unknown key \"{}\" (typed values use $empty, $nothing, $missing, $int16, "
                  "$int64, $double, $date, $array, $dict, $recordset)",
                  EchoJson(key)));
}

Variant Decode(const Json& json, std::size_t depth) {
  Deeper(depth);
  switch (json.type()) {
    case Json::value_t::null:
      return Variant::Null();
    case Json::value_t::boolean:
      return Variant(json.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return NumberFrom(json);
    case Json::value_t::string:
      return Variant(json.get<std::string>());
    case Json::value_t::object:
      return TaggedFrom(json, depth);
    case Json::value_t::array:
      Fail(fmt::format("a JSON list is no value; write an array as {{\"$array\": {}}}",
                       EchoValue(json)));
    default:
      break;
  }
  Fail(fmt::format("{} is no value", EchoValue(json)));
}

}  // namespace
bool NestingExceeds(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

Variant FromJson(const Json& json) { return Decode(json, 0); }

}  // namespace carvalen::api
