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

// ---- output ------------------------------------------------------------------------------

Json Tagged(const char* key, Json value) {
  Json json = Json::object();
  json[key] = std::move(value);
  return json;
}

Json DoubleJson(double value) {
  if (std::isnan(value)) return Tagged("$double", "NaN");
  if (std::isinf(value)) return Tagged("$double", value > 0 ? "Infinity" : "-Infinity");
  return Json(value);
}

Json ArrayJson(const Variant& value) {
  std::shared_ptr<const Array> array = value.ArrayPointer();
  if (!array) return Tagged("$array", nullptr);
  Json items = Json::array();
  Json json = Json::object();
  if (array->Dimensions() == 1) {
    for (std::int64_t i = array->LBound(); i <= array->UBound(); ++i) {
      items.push_back(ToJson(array->At(static_cast<std::int32_t>(i))));
    }
    json["$array"] = std::move(items);
    json["lbound"] = array->LBound();
    return json;
  }
  // Two dimensions: the first index selects the inner list.
  for (std::int64_t i = array->LBound(1); i <= array->UBound(1); ++i) {
    Json row = Json::array();
    for (std::int64_t j = array->LBound(2); j <= array->UBound(2); ++j) {
      row.push_back(ToJson(array->At(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j))));
    }
    items.push_back(std::move(row));
  }
  json["$array"] = std::move(items);
  json["lbound"] = Json::array({array->LBound(1), array->LBound(2)});
  return json;
}

Json ObjectJson(const ObjectPtr& object) {
  if (!object) return Tagged("$nothing", true);
  if (auto dictionary = std::dynamic_pointer_cast<Dictionary>(object)) {
    Json entries = Json::array();
    for (const Dictionary::Entry& entry : dictionary->Entries()) {
      entries.push_back(Json::array({ToJson(entry.first), ToJson(entry.second)}));
    }
    return Tagged("$dict", std::move(entries));
  }
  if (auto records = std::dynamic_pointer_cast<db::Recordset>(object)) {
    Json fields = Json::array();
    for (const std::string& name : records->FieldNames()) fields.push_back(name);
    // Every row the caller could reach, from the first whatever the position: a filter hides
    // rows here as it does from navigation.
    Json rows = Json::array();
    for (std::size_t k = 0; k < records->RowsKept(); ++k) {
      Json cells = Json::array();
      for (const Variant& cell : records->RowKept(k)) cells.push_back(ToJson(cell));
      rows.push_back(std::move(cells));
    }
    Json body = Json::object();
    body["fields"] = std::move(fields);
    body["rows"] = std::move(rows);
    return Tagged("$recordset", std::move(body));
  }
  return Tagged("$object", object->ClassName());
}

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
  Fail(fmt::format("{} must be an integer in the 32-bit range, not {}", what, Dump(json)));
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
  Fail(fmt::format("\"$int16\" needs an integer from -32768 to 32767, not {}", Dump(json)));
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
  Fail(fmt::format("\"$int64\" needs a 64-bit integer, not {}", Dump(json)));
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
                   Dump(json)));
}

Variant DateFrom(const Json& json) {
  Date date;
  if (!json.is_string() || !Date::TryParse(json.get_ref<const std::string&>(), date)) {
    Fail(fmt::format("\"$date\" needs a text like \"2026-06-10T08:00:00\", not {}", Dump(json)));
  }
  return Variant(date);
}

void RequireTrue(const char* key, const Json& json) {
  if (json != Json(true)) Fail(fmt::format("\"{}\" must be true, not {}", key, Dump(json)));
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
      Fail(fmt::format("an entry of \"$dict\" is a pair [key, item], not {}", Dump(entry)));
    }
    Variant key = Decode(entry[0], depth + 1);
    // Arrays cannot be keys; said here rather than left to fail inside the call.
    if (key.Type() == VarType::Array) {
      Fail(fmt::format("an array cannot be a key of \"$dict\", as {} is", Dump(entry[0])));
    }
    if (dictionary->Exists(key)) {
      Fail(fmt::format("\"$dict\" holds the key {} twice", Dump(entry[0])));
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
    Fail(fmt::format("unexpected key \"{}\" beside \"{}\"", name, key));
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
                  key));
}

// ---- text --------------------------------------------------------------------------------

void Write(const Json& json, std::string& out) {
  switch (json.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : json.items()) {
        if (!first) out += ", ";
        first = false;
        out += Json(key).dump(-1, ' ', false, Json::error_handler_t::replace);
        out += ": ";
        Write(item, out);
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : json) {
        if (!first) out += ", ";
        first = false;
        Write(item, out);
      }
      out += ']';
      return;
    }
    case Json::value_t::number_float: {
      std::string text = json.dump();
      // The serializer writes integral doubles as "5.0" already; keep the guarantee here too.
      if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
      out += text;
      return;
    }
    default:
      out += json.dump(-1, ' ', false, Json::error_handler_t::replace);
      return;
  }
}

}  // namespace

Json ToJson(const Variant& value) {
  switch (value.Type()) {
    case VarType::Empty:
      return Tagged("$empty", true);
    case VarType::Null:
      return Json(nullptr);
    case VarType::Missing:
      return Tagged("$missing", true);
    case VarType::Boolean:
      return Json(value.RawBool());
    case VarType::Integer:
      return Tagged("$int16", value.RawInteger());
    case VarType::Long:
      return Json(value.RawInteger());
    case VarType::LongLong:
      return Tagged("$int64", value.RawInteger());
    case VarType::Double:
      return DoubleJson(value.RawDouble());
    case VarType::String:
      return Json(value.RawString());
    case VarType::Date:
      return Tagged("$date", value.RawDate().ToText('T'));
    case VarType::Array:
      return ArrayJson(value);
    case VarType::Object:
      return ObjectJson(value.GetObject());
  }
  return Json(nullptr);
}

namespace {

// ---- text written straight from values ----------------------------------------------------

void AppendText(std::string_view text, std::string& out) {
  // Text beyond ASCII is left to the serializer, which checks its UTF-8 and replaces what is
  // invalid; ASCII, nearly every text an answer holds, is escaped here.
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      out += Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void AppendInteger(std::int64_t value, std::string& out) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

void AppendDouble(double value, std::string& out) {
  if (std::isnan(value)) {
    out += R"({"$double": "NaN"})";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? R"({"$double": "Infinity"})" : R"({"$double": "-Infinity"})";
    return;
  }
  // The serializer's own shortest form, so that both writers agree to the byte.
  char buffer[64];
  char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  out += text;
  if (text.find_first_of(".eEn") == std::string_view::npos) out += ".0";
}

void AppendTagged(std::string_view tag, std::string& out) {
  out += "{\"";
  out += tag;
  out += "\": ";
}

void AppendArray(const Variant& value, std::string& out) {
  std::shared_ptr<const Array> array = value.ArrayPointer();
  if (!array) {
    out += R"({"$array": null})";
    return;
  }
  AppendTagged("$array", out);
  out += '[';
  if (array->Dimensions() == 1) {
    for (std::int64_t i = array->LBound(); i <= array->UBound(); ++i) {
      if (i != array->LBound()) out += ", ";
      AppendJson(array->At(static_cast<std::int32_t>(i)), out);
    }
    out += "], \"lbound\": ";
    AppendInteger(array->LBound(), out);
    out += '}';
    return;
  }
  for (std::int64_t i = array->LBound(1); i <= array->UBound(1); ++i) {
    if (i != array->LBound(1)) out += ", ";
    out += '[';
    for (std::int64_t j = array->LBound(2); j <= array->UBound(2); ++j) {
      if (j != array->LBound(2)) out += ", ";
      AppendJson(array->At(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j)), out);
    }
    out += ']';
  }
  out += "], \"lbound\": [";
  AppendInteger(array->LBound(1), out);
  out += ", ";
  AppendInteger(array->LBound(2), out);
  out += "]}";
}

void AppendObject(const ObjectPtr& object, std::string& out) {
  if (!object) {
    out += R"({"$nothing": true})";
    return;
  }
  if (const auto* dictionary = dynamic_cast<const Dictionary*>(object.get())) {
    AppendTagged("$dict", out);
    out += '[';
    bool first = true;
    for (const Dictionary::Entry& entry : dictionary->Entries()) {
      if (!first) out += ", ";
      first = false;
      AppendEntry(entry.first, entry.second, out);
    }
    out += "]}";
    return;
  }
  if (const auto* records = dynamic_cast<const db::Recordset*>(object.get())) {
    AppendTagged("$recordset", out);
    out += "{\"fields\": [";
    bool first = true;
    for (const std::string& name : records->FieldNames()) {
      if (!first) out += ", ";
      first = false;
      AppendText(name, out);
    }
    out += "], \"rows\": [";
    for (std::size_t k = 0; k < records->RowsKept(); ++k) {
      if (k != 0) out += ", ";
      out += '[';
      bool first_cell = true;
      for (const Variant& cell : records->RowKept(k)) {
        if (!first_cell) out += ", ";
        first_cell = false;
        AppendJson(cell, out);
      }
      out += ']';
    }
    out += "]}}";
    return;
  }
  AppendTagged("$object", out);
  AppendText(object->ClassName(), out);
  out += '}';
}

}  // namespace

void AppendEntry(const Variant& key, const Variant& item, std::string& out) {
  out += '[';
  AppendJson(key, out);
  out += ", ";
  AppendJson(item, out);
  out += ']';
}

void AppendJson(const Variant& value, std::string& out) {
  switch (value.Type()) {
    case VarType::Empty:
      out += R"({"$empty": true})";
      return;
    case VarType::Null:
      out += "null";
      return;
    case VarType::Missing:
      out += R"({"$missing": true})";
      return;
    case VarType::Boolean:
      out += value.RawBool() ? "true" : "false";
      return;
    case VarType::Integer:
      AppendTagged("$int16", out);
      AppendInteger(value.RawInteger(), out);
      out += '}';
      return;
    case VarType::Long:
      AppendInteger(value.RawInteger(), out);
      return;
    case VarType::LongLong:
      AppendTagged("$int64", out);
      AppendInteger(value.RawInteger(), out);
      out += '}';
      return;
    case VarType::Double:
      AppendDouble(value.RawDouble(), out);
      return;
    case VarType::String:
      AppendText(value.RawString(), out);
      return;
    case VarType::Date:
      AppendTagged("$date", out);
      AppendText(value.RawDate().ToText('T'), out);
      out += '}';
      return;
    case VarType::Array:
      AppendArray(value, out);
      return;
    case VarType::Object:
      AppendObject(value.GetObject(), out);
      return;
  }
  out += "null";
}

namespace {

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
      Fail(
          fmt::format("a JSON list is no value; write an array as {{\"$array\": {}}}", Dump(json)));
    default:
      break;
  }
  Fail(fmt::format("{} is no value", Dump(json)));
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

namespace {

// A NUL byte would end the message for anyone reading it as a C string.
std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\0') {
      out += "\\u0000";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string EchoJson(std::string_view text) {
  constexpr std::size_t kEchoed = 200;
  if (text.size() <= kEchoed) return Printable(text);
  // Cut before a character, not inside one.
  std::size_t cut = kEchoed;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return fmt::format("{}... ({} bytes)", Printable(text.substr(0, cut)), text.size());
}

namespace {

struct RepeatedKey {
  std::string message;
};
struct TooMany {};

// Builds the document in one pass. nlohmann's own parser inserts each key of an ordered object
// by searching the keys before it, which makes an object of n keys cost n^2; here a key is
// appended, and the keys are checked for repeats once the object is complete, by sorting them.
class DocumentBuilder {
 public:
  DocumentBuilder(Json& root, std::size_t max_entries) : root_(root), max_entries_(max_entries) {}

  bool null() { return Put(nullptr) != nullptr; }
  bool boolean(bool value) { return Put(value) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return Put(value) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return Put(value) != nullptr; }
  bool number_float(Json::number_float_t value, const std::string& /*text*/) {
    return Put(value) != nullptr;
  }
  bool string(std::string& value) { return Put(std::move(value)) != nullptr; }
  bool binary(Json::binary_t& value) { return Put(Json::binary(std::move(value))) != nullptr; }
  bool start_object(std::size_t /*size*/) {
    open_.push_back(Put(Json::object()));
    return true;
  }
  bool key(std::string& name) {
    auto& members = open_.back()->get_ref<Json::object_t&>();
    if (members.size() == max_entries_) throw TooMany{};
    members.emplace_back(std::move(name), nullptr);
    member_ = &members.back().second;
    return true;
  }
  bool end_object() {
    const auto& members = open_.back()->get_ref<const Json::object_t&>();
    if (members.size() > 1) {
      std::vector<std::string_view> names;
      names.reserve(members.size());
      for (const auto& member : members) names.emplace_back(member.first);
      std::sort(names.begin(), names.end());
      if (auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end()) {
        throw RepeatedKey{fmt::format("an object holds the key {} twice", Dump(Json(*twice)))};
      }
    }
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*size*/) {
    open_.push_back(Put(Json::array()));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& error) {
    throw error;
  }

 private:
  // Where the value goes: the root, the end of the open array, or the member just named. No
  // container is appended to while a value inside it is open, so the pointers held stay valid.
  Json* Put(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    if (open_.back()->is_array()) {
      auto& items = open_.back()->get_ref<Json::array_t&>();
      if (items.size() == max_entries_) throw TooMany{};
      items.push_back(std::move(value));
      return &items.back();
    }
    *member_ = std::move(value);
    return member_;
  }

  Json& root_;
  const std::size_t max_entries_;
  std::vector<Json*> open_;
  Json* member_ = nullptr;
};

}  // namespace

Json ParseJson(std::string_view text, std::size_t max_entries) {
  // Checked on the text, before nlohmann builds anything: a document of 100,000 brackets is
  // refused at once instead of being built and then walked.
  if (NestingExceeds(text, kMaxJsonDepth)) {
    throw UsageError(
        fmt::format("bad JSON {}: nesting deeper than {} levels", EchoJson(text), kMaxJsonDepth));
  }
  // The parser takes a NUL byte for the end of the text and would ignore what follows it; no
  // JSON text holds one, so it is refused wherever it stands.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    throw UsageError(fmt::format("bad JSON {}: a NUL byte at offset {}", EchoJson(text), nul));
  }
  try {
    Json document;
    DocumentBuilder builder(document, max_entries);
    Json::sax_parse(text.begin(), text.end(), &builder);
    return document;
  } catch (const TooMany&) {
    throw UsageError(
        fmt::format("bad JSON {}: a list or object holds more than {} entries (the limit is set by "
                    "CARVALEN_MAX_ENTRIES)",
                    EchoJson(text), max_entries));
  } catch (const RepeatedKey& repeated) {
    throw UsageError(fmt::format("bad JSON {}: {}", EchoJson(text), repeated.message));
  } catch (const Json::exception& e) {
    // Syntax errors, and a number beyond the double range (1e400), which the parser reports as
    // out of range. nlohmann's message leads with its own error class; what follows is the useful
    // part.
    std::string message = e.what();
    if (std::size_t bracket = message.find("] "); bracket != std::string::npos) {
      message = message.substr(bracket + 2);
    }
    throw UsageError(fmt::format("bad JSON {}: {}", EchoJson(text), message));
  }
}

Limits LimitsFromEnvironment() {
  Limits limits;
  if (const char* text = std::getenv("CARVALEN_MAX_ENTRIES"); text != nullptr && *text != 0) {
    limits.max_entries = ParseMaxEntries(text, "CARVALEN_MAX_ENTRIES");
  }
  return limits;
}

std::size_t ParseMaxEntries(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end != text.data() + text.size() || count == 0) {
    throw UsageError(fmt::format("{} must be a positive count of entries, not \"{}\"", what, text));
  }
  return count;
}

Json ErrorJson(const ErrorInfo& info) {
  Json body = Json::object();
  body["number"] = info.Number;
  body["source"] = info.Source;
  body["description"] = info.Description;
  body["helpFile"] = info.HelpFile;
  body["helpContext"] = info.HelpContext;
  return Tagged("error", std::move(body));
}

std::string Dump(const Json& json) {
  std::string out;
  Write(json, out);
  return out;
}

}  // namespace carvalen::api
