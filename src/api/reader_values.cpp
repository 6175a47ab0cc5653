#include "api/reader_values.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <unordered_set>
#include <utility>

#include "api/json_codec.hpp"
#include "carvalen/error.hpp"
#include "db/client.hpp"

namespace carvalen::api::reader {

namespace {

// In the order of Tag.
constexpr std::pair<std::string_view, Tag> kTags[] = {
    {"$empty", Tag::Empty},        {"$nothing", Tag::Nothing}, {"$missing", Tag::Missing},
    {"$int16", Tag::Int16},        {"$int64", Tag::Int64},     {"$double", Tag::Double},
    {"$date", Tag::Date},          {"$array", Tag::Array},     {"$dict", Tag::Dict},
    {"$recordset", Tag::Recordset}};

}  // namespace

std::optional<Tag> TagNamed(std::string_view key) {
  for (const auto& [name, tag] : kTags) {
    if (name == key) return tag;
  }
  return std::nullopt;
}

std::string_view TagName(Tag tag) { return kTags[static_cast<std::size_t>(tag)].first; }

Scalar ScalarOf(const Json& json, std::string& text) {
  switch (json.type()) {
    case Json::value_t::boolean: {
      Scalar s(Scalar::Kind::Boolean);
      s.boolean = json.get<bool>();
      return s;
    }
    case Json::value_t::number_integer: {
      Scalar s(Scalar::Kind::Signed);
      s.integer = json.get<std::int64_t>();
      return s;
    }
    case Json::value_t::number_unsigned: {
      Scalar s(Scalar::Kind::Unsigned);
      s.natural = json.get<std::uint64_t>();
      return s;
    }
    case Json::value_t::number_float: {
      Scalar s(Scalar::Kind::Float);
      s.real = json.get<double>();
      return s;
    }
    case Json::value_t::string: {
      Scalar s(Scalar::Kind::Text);
      text = json.get<std::string>();
      s.text = &text;
      return s;
    }
    default:
      return Scalar(Scalar::Kind::Null);
  }
}

Json JsonOf(const Scalar& s) {
  switch (s.kind) {
    case Scalar::Kind::Null:
      break;
    case Scalar::Kind::Boolean:
      return Json(s.boolean);
    case Scalar::Kind::Signed:
      return Json(s.integer);
    case Scalar::Kind::Unsigned:
      return Json(s.natural);
    case Scalar::Kind::Float:
      return Json(s.real);
    case Scalar::Kind::Text:
      return Json(*s.text);
  }
  return Json(nullptr);
}

std::optional<std::int32_t> LongOf(const Scalar& s) {
  if (s.kind == Scalar::Kind::Unsigned && s.natural <= static_cast<std::uint64_t>(kLongMax)) {
    return static_cast<std::int32_t>(s.natural);
  }
  if (s.kind == Scalar::Kind::Signed && s.integer >= kLongMin && s.integer <= kLongMax) {
    return static_cast<std::int32_t>(s.integer);
  }
  return std::nullopt;
}

std::int32_t LowerBound(const Scalar& s) {
  if (const auto lower = LongOf(s)) return *lower;
  Fail(message::Lbound(EchoValue(JsonOf(s))));
}

Variant PlainValue(Scalar& s) {
  switch (s.kind) {
    case Scalar::Kind::Null:
      break;
    case Scalar::Kind::Boolean:
      return Variant(s.boolean);
    case Scalar::Kind::Unsigned:
      if (s.natural <= static_cast<std::uint64_t>(kLongMax)) {
        return Variant(static_cast<std::int32_t>(s.natural));
      }
      return Variant(static_cast<double>(s.natural));
    case Scalar::Kind::Signed:
      if (s.integer >= kLongMin && s.integer <= kLongMax) {
        return Variant(static_cast<std::int32_t>(s.integer));
      }
      return Variant(static_cast<double>(s.integer));
    case Scalar::Kind::Float:
      // The parser refuses 1e400, but a document built in memory may hold an infinity; typed
      // JSON spells one out.
      if (!std::isfinite(s.real)) {
        Fail(
            "a JSON number is beyond the range of a double (an infinity is written "
            "{\"$double\": \"Infinity\"})");
      }
      return Variant(s.real);
    case Scalar::Kind::Text:
      return Variant(std::move(*s.text));
  }
  return Variant::Null();
}

namespace {

// Decimal text for "$int64" too, for callers whose JSON numbers are doubles.
std::optional<std::int64_t> Int64Text(const std::string& text) {
  std::int64_t n = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, n);
  if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
  return n;
}

}  // namespace

Variant TaggedScalar(Tag tag, const Scalar& s) {
  switch (tag) {
    case Tag::Empty:
    case Tag::Nothing:
    case Tag::Missing:
      if (s.kind != Scalar::Kind::Boolean || !s.boolean) break;
      if (tag == Tag::Empty) return Variant();
      return tag == Tag::Nothing ? Variant::Nothing() : Variant::Missing();
    case Tag::Int16:
      if (s.kind == Scalar::Kind::Unsigned && s.natural <= 32767) {
        return Variant(static_cast<std::int16_t>(s.natural));
      }
      if (s.kind == Scalar::Kind::Signed && s.integer >= -32768 && s.integer <= 32767) {
        return Variant(static_cast<std::int16_t>(s.integer));
      }
      break;
    case Tag::Int64:
      if (s.kind == Scalar::Kind::Unsigned &&
          s.natural <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Variant(static_cast<std::int64_t>(s.natural));
      }
      if (s.kind == Scalar::Kind::Signed) return Variant(s.integer);
      if (s.kind == Scalar::Kind::Text) {
        if (const auto n = Int64Text(*s.text)) return Variant(*n);
      }
      break;
    case Tag::Double:
      if (s.kind == Scalar::Kind::Float) {
        Scalar copy = s;
        return PlainValue(copy);
      }
      if (s.kind == Scalar::Kind::Signed) return Variant(static_cast<double>(s.integer));
      if (s.kind == Scalar::Kind::Unsigned) return Variant(static_cast<double>(s.natural));
      if (s.kind == Scalar::Kind::Text) {
        if (*s.text == "NaN") return Variant(std::numeric_limits<double>::quiet_NaN());
        if (*s.text == "Infinity") return Variant(std::numeric_limits<double>::infinity());
        if (*s.text == "-Infinity") return Variant(-std::numeric_limits<double>::infinity());
      }
      break;
    case Tag::Date: {
      Date date;
      if (s.kind == Scalar::Kind::Text && Date::TryParse(*s.text, date)) return Variant(date);
      break;
    }
    case Tag::Array:
      if (s.kind == Scalar::Kind::Null) return Variant::UnallocatedArray();
      break;
    case Tag::Dict:
    case Tag::Recordset:
      break;
  }
  Fail(message::BadBody(tag, EchoValue(JsonOf(s))));
}

void Fail(const std::string& text) { throw UsageError(text); }

namespace message {

std::string FirstKey(std::string_view key) {
  if (key == "lbound") return "\"lbound\" belongs to \"$array\" and must follow it";
  if (key == "$object") {
    return "\"$object\" cannot be given as an argument; pass a \"$dict\" or another value";
  }
  return fmt::format(
      "unknown key \"{}\" (typed values use $empty, $nothing, $missing, $int16, $int64, $double, "
      "$date, $array, $dict, $recordset)",
      EchoJson(key));
}

std::string Beside(std::string_view key, std::string_view tag) {
  return fmt::format("unexpected key \"{}\" beside \"{}\"", EchoJson(key), tag);
}

std::string BadBody(Tag tag, const std::string& echo) {
  switch (tag) {
    case Tag::Empty:
      return fmt::format("\"$empty\" must be true, not {}", echo);
    case Tag::Nothing:
      return fmt::format("\"$nothing\" must be true, not {}", echo);
    case Tag::Missing:
      return fmt::format("\"$missing\" must be true, not {}", echo);
    case Tag::Int16:
      return fmt::format("\"$int16\" needs an integer from -32768 to 32767, not {}", echo);
    case Tag::Int64:
      return fmt::format("\"$int64\" needs a 64-bit integer, not {}", echo);
    case Tag::Double:
      return fmt::format(
          "\"$double\" needs a number, \"NaN\", \"Infinity\" or \"-Infinity\", not {}", echo);
    case Tag::Date:
      return fmt::format("\"$date\" needs a text like \"2026-06-10T08:00:00\", not {}", echo);
    case Tag::Array:
      return kArrayBody;
    case Tag::Dict:
      return kDictBody;
    case Tag::Recordset:
      break;
  }
  return kRecordset;
}

std::string Lbound(const std::string& echo) {
  return fmt::format("\"lbound\" must be an integer in the 32-bit range, not {}", echo);
}

std::string List(const std::string& echo) {
  return fmt::format("a JSON list is no value; write an array as {{\"$array\": {}}}", echo);
}

std::string Entry(const std::string& echo) {
  return fmt::format("an entry of \"$dict\" is a pair [key, item], not {}", echo);
}

std::string EntryLength(std::size_t count) {
  return fmt::format("an entry of \"$dict\" is a pair [key, item], not a list of {}", count);
}

std::string ArrayKey(std::size_t entry) {
  return fmt::format(
      "entry {} (counting from 0) of \"$dict\" has an array for its key; an array cannot be a key",
      entry);
}

std::string KeyTwice(std::size_t entry) {
  return fmt::format(
      "\"$dict\" holds a key twice: entry {} (counting from 0) repeats an earlier one", entry);
}

std::string RowLengths(std::size_t first, std::size_t other) {
  return fmt::format("rows of a two-dimensional \"$array\" must have the same length ({} and {})",
                     first, other);
}

std::string RecordsetRowLength(std::size_t fields) {
  return fmt::format("each row of \"$recordset\" is a list of {} values", fields);
}

}  // namespace message

std::int32_t Upper(std::int32_t lower, std::size_t count) {
  const std::int64_t upper = std::int64_t{lower} + static_cast<std::int64_t>(count) - 1;
  if (count > static_cast<std::size_t>(kLongMax) || upper > kLongMax || upper < kLongMin) {
    Fail(message::kNoRoom);
  }
  return static_cast<std::int32_t>(upper);
}

std::optional<contract::PricingAsk> PlainAsk(const Variant& key, const Variant& item) {
  if (key.Type() != VarType::Long || item.Type() != VarType::Array) return std::nullopt;
  const std::shared_ptr<const Array> pair = item.ArrayPointer();
  if (!pair || pair->Dimensions() != 1 || pair->LBound() != 0 || pair->UBound() != 1) {
    return std::nullopt;
  }
  const Variant& partner = pair->At(0);
  const Variant& quantity = pair->At(1);
  if (partner.Type() != VarType::Long) return std::nullopt;
  if (quantity.Type() != VarType::Long && quantity.Type() != VarType::Double) return std::nullopt;
  return contract::PricingAsk{static_cast<std::int32_t>(key.RawInteger()),
                              static_cast<std::int32_t>(partner.RawInteger()), quantity.ToDouble()};
}

Variant BuildTagged(Frame& frame) {
  if (frame.tag != Tag::Array || frame.body) return std::move(*frame.body);
  if (!frame.bounds_pair && !frame.items_are_rows) {
    const std::int32_t lower = frame.lower1;
    Array array(lower, Upper(lower, frame.values.size()));
    std::int64_t i = lower;  // one past the last may be beyond the 32-bit range
    for (Variant& item : frame.values) array.At(static_cast<std::int32_t>(i++)) = std::move(item);
    return Variant(std::move(array));
  }
  const std::size_t columns = frame.rows.empty() ? 0 : frame.rows.front().size();
  Array array(frame.lower1, Upper(frame.lower1, frame.rows.size()), frame.lower2,
              Upper(frame.lower2, columns));
  std::int64_t i = frame.lower1;
  for (auto& row : frame.rows) {
    std::int64_t j = frame.lower2;
    for (Variant& item : row) {
      array.At(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j++)) = std::move(item);
    }
    ++i;
  }
  return Variant(std::move(array));
}

Variant BuildRecordset(Frame& records) {
  if (!records.fields || !records.record_rows) Fail(message::kRecordset);
  for (const auto& row : *records.record_rows) {  // rows written before the fields
    if (row.size() != records.fields->size()) {
      Fail(message::RecordsetRowLength(records.fields->size()));
    }
  }
  auto built = db::Recordset::Create();
  built->OpenRows(std::move(*records.fields), std::move(*records.record_rows));
  return Variant(ObjectPtr(built));
}

namespace {

// The compact entries of `entries` as the dictionary entries they were read from.
void ToDictionary(Frame& entries) {
  entries.dictionary = Dictionary::Create();
  for (std::size_t k = 0; k < entries.asks.size(); ++k) {
    const contract::PricingAsk& ask = entries.asks[k];
    Array pair(0, 1);
    pair.At(0) = Variant(ask.partner);
    pair.At(1) = entries.whole_quantities[k] ? Variant(static_cast<std::int32_t>(ask.quantity))
                                             : Variant(ask.quantity);
    const Variant product(ask.product);
    if (entries.dictionary->Exists(product)) Fail(message::KeyTwice(k));
    entries.dictionary->Add(product, Variant(std::move(pair)));
  }
  entries.asks = {};
  entries.whole_quantities = {};
  entries.pricing = false;
}

}  // namespace

void EndList(Frame& frame, Frame& parent) {
  switch (frame.kind) {
    case Kind::Items:
      parent.values = std::move(frame.values);
      parent.rows = std::move(frame.rows);
      parent.items_are_rows = frame.items_are_rows;
      return;
    case Kind::Row:
      if (parent.kind == Kind::Items && !parent.rows.empty() &&
          parent.rows.front().size() != frame.values.size()) {
        Fail(message::RowLengths(parent.rows.front().size(), frame.values.size()));
      }
      parent.rows.push_back(std::move(frame.values));
      return;
    case Kind::Bounds:
      if (frame.values.size() != 2) Fail(message::kBoundsPair);
      parent.lower1 = static_cast<std::int32_t>(frame.values[0].RawInteger());
      parent.lower2 = static_cast<std::int32_t>(frame.values[1].RawInteger());
      parent.bounds_pair = true;
      parent.has_bounds = true;
      parent.awaiting_bounds = false;
      return;
    case Kind::Entries:
      if (frame.pricing) {
        CheckAsks(frame);
        parent.body =
            Variant(ObjectPtr(std::make_shared<contract::PricingRequest>(std::move(frame.asks))));
      } else {
        parent.body = Variant(ObjectPtr(std::move(frame.dictionary)));
      }
      return;
    case Kind::Pair: {
      if (frame.values.size() != 2) Fail(message::EntryLength(frame.values.size()));
      if (parent.pricing) {
        if (const auto ask = PlainAsk(frame.values[0], frame.values[1])) {
          parent.asks.push_back(*ask);
          parent.whole_quantities.push_back(frame.values[1].ArrayPointer()->At(1).Type() ==
                                            VarType::Long);
          return;
        }
        // Not the compact form after all: the entries read so far become the dictionary's, and
        // reading goes on, so that no part of the request is read twice.
        ToDictionary(parent);
      }
      const auto index = static_cast<std::size_t>(parent.dictionary->Count());
      if (frame.values[0].Type() == VarType::Array) Fail(message::ArrayKey(index));
      if (parent.dictionary->Exists(frame.values[0])) Fail(message::KeyTwice(index));
      parent.dictionary->Add(std::move(frame.values[0]), std::move(frame.values[1]));
      return;
    }
    case Kind::Fields: {
      std::vector<std::string> names;
      names.reserve(frame.values.size());
      for (Variant& name : frame.values) names.push_back(name.RawString());
      parent.fields = std::move(names);
      return;
    }
    case Kind::Rows:
      parent.record_rows = std::move(frame.rows);
      return;
    default:
      return;
  }
}

void CheckAsks(const Frame& entries) {
  std::vector<std::int32_t> keys;
  keys.reserve(entries.asks.size());
  for (const auto& ask : entries.asks) keys.push_back(ask.product);
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) == keys.end()) return;
  // Rarely: which entry repeats a key first.
  std::unordered_set<std::int32_t> seen;
  for (std::size_t k = 0; k < entries.asks.size(); ++k) {
    if (!seen.insert(entries.asks[k].product).second) Fail(message::KeyTwice(k));
  }
}

}  // namespace carvalen::api::reader
