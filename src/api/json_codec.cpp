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

void AppendArray(const Variant& value, std::string& out, std::size_t limit) {
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
      AppendJson(array->At(static_cast<std::int32_t>(i)), out, limit);
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
      AppendJson(array->At(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j)), out, limit);
    }
    out += ']';
  }
  out += "], \"lbound\": [";
  AppendInteger(array->LBound(1), out);
  out += ", ";
  AppendInteger(array->LBound(2), out);
  out += "]}";
}

void AppendObject(const ObjectPtr& object, std::string& out, std::size_t limit) {
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
      AppendEntry(entry.first, entry.second, out, limit);
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
        AppendJson(cell, out, limit);
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

void CheckAnswerSize(const std::string& out, std::size_t limit) {
  if (out.size() > limit) throw Error::Runtime(errnum::kOutOfMemory);
}

void AppendEntry(const Variant& key, const Variant& item, std::string& out, std::size_t limit) {
  out += '[';
  AppendJson(key, out, limit);
  out += ", ";
  AppendJson(item, out, limit);
  out += ']';
}

void AppendJson(const Variant& value, std::string& out, std::size_t limit) {
  CheckAnswerSize(out, limit);
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
      AppendArray(value, out, limit);
      return;
    case VarType::Object:
      AppendObject(value.GetObject(), out, limit);
      return;
  }
  out += "null";
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
