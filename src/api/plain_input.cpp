// Plain arguments: each value checked against its parameter's plain type and never rounded, so
// that the same JSON means the same value in every call.
#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <limits>

#include "api/plain_codec.hpp"
#include "carvalen/dictionary.hpp"

namespace carvalen::api {
namespace {

[[noreturn]] void Refuse(const ParameterDescription& param, std::string_view expected,
                         const Json& json, std::int32_t number = errnum::kTypeMismatch) {
  std::string shown = json.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
  throw PlainRefusal(number, param.name,
                     fmt::format("{} takes {}, not {}", param.name, expected, shown));
}

Variant Integer(const ParameterDescription& param, const Json& json) {
  if (!json.is_number_integer()) Refuse(param, "an integer", json);
  const bool fits = json.is_number_unsigned()
                        ? json.get<std::uint64_t>() <= std::numeric_limits<std::int32_t>::max()
                        : json.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
                              json.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max();
  if (!fits) Refuse(param, "a 32-bit integer", json, errnum::kOverflow);
  return Variant(static_cast<std::int32_t>(json.get<std::int64_t>()));
}

// A value inside an array or a request, by its JSON type alone.
Variant Natural(const ParameterDescription& param, const Json& json) {
  if (json.is_null()) return Variant::Null();
  if (json.is_boolean()) return Variant(json.get<bool>());
  if (json.is_number_integer()) {
    const bool fits = !json.is_number_unsigned() &&
                      json.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
                      json.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max();
    return fits ? Variant(static_cast<std::int32_t>(json.get<std::int64_t>()))
                : Variant(json.get<double>());
  }
  if (json.is_number()) return Variant(json.get<double>());
  if (json.is_string()) return Variant(json.get<std::string>());
  if (json.is_array()) {
    std::vector<Variant> items;
    items.reserve(json.size());
    for (const Json& item : json) items.push_back(Natural(param, item));
    return Variant(Array::Of(std::move(items)));
  }
  Refuse(param, "a number, a text, a boolean, null or a list of them", json);
}

Variant List(const ParameterDescription& param, const Json& json, bool integers) {
  if (!json.is_array()) Refuse(param, integers ? "a list of integers" : "a list of texts", json);
  std::vector<Variant> items;
  items.reserve(json.size());
  for (const Json& item : json) {
    // A blank ("") or null element stands for no id, as the operations read it.
    const bool fits =
        integers ? item.is_number_integer() || item.is_null() || item == "" : item.is_string();
    if (!fits) Refuse(param, integers ? "a list of integers" : "a list of texts", item);
    items.push_back(item.is_number_integer() ? Integer(param, item) : Natural(param, item));
  }
  return Variant(Array::Of(std::move(items)));
}

// Member names are product ids and the items [partner, quantity]: the request the bulk pricing
// reads. Pairs [key, item] are taken as well.
Variant Request(const ParameterDescription& param, const Json& json) {
  auto dictionary = Dictionary::Create();
  const auto key_of = [&](const std::string& name) -> Variant {
    std::int64_t id = 0;
    const auto* end = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(name.data(), end, id);
    if (ec != std::errc() || ptr != end || id < std::numeric_limits<std::int32_t>::min() ||
        id > std::numeric_limits<std::int32_t>::max()) {
      Refuse(param, "integer member names (product ids)", Json(name));
    }
    return Variant(static_cast<std::int32_t>(id));
  };
  if (json.is_object()) {
    for (const auto& [name, item] : json.items()) {
      dictionary->Add(key_of(name), Natural(param, item));
    }
  } else if (json.is_array()) {
    for (const Json& pair : json) {
      if (!pair.is_array() || pair.size() != 2) Refuse(param, "[key, item] pairs", pair);
      dictionary->Add(Natural(param, pair[0]), Natural(param, pair[1]));
    }
  } else {
    Refuse(param, "an object", json);
  }
  return Variant(ObjectPtr(std::move(dictionary)));
}

}  // namespace

Variant FromPlain(const ParameterDescription& param, const Json& json) {
  if (json.is_null()) return Variant::Null();
  const std::string& plain = param.plain;
  if (plain == "integer") return Integer(param, json);
  if (plain == "number") {
    if (!json.is_number()) Refuse(param, "a number", json);
    return Variant(json.get<double>());
  }
  if (plain == "string") {
    if (!json.is_string()) Refuse(param, "a text", json);
    return Variant(json.get<std::string>());
  }
  if (plain == "boolean") {
    if (!json.is_boolean()) Refuse(param, "true or false", json);
    return Variant(json.get<bool>());
  }
  if (plain == "date") {
    Date date;
    if (!json.is_string() || json.get<std::string>().find(' ') != std::string::npos ||
        !Date::TryParse(json.get<std::string>(), date)) {
      Refuse(param, "a date (2026-06-10 or 2026-06-10T08:00:00)", json);
    }
    return Variant(date);
  }
  if (plain == "integer[]") return List(param, json, true);
  if (plain == "string[]") return List(param, json, false);
  if (plain == "object") return Request(param, json);
  return Natural(param, json);
}

}  // namespace carvalen::api
