#include "api/reader_values.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "api/json_codec.hpp"
#include "carvalen/error.hpp"

namespace carvalen::api::reader {

std::optional<Tag> TagNamed(std::string_view key) {
  static constexpr std::pair<std::string_view, Tag> kTags[] = {
      {"$empty", Tag::Empty},        {"$nothing", Tag::Nothing}, {"$missing", Tag::Missing},
      {"$int16", Tag::Int16},        {"$int64", Tag::Int64},     {"$double", Tag::Double},
      {"$date", Tag::Date},          {"$array", Tag::Array},     {"$dict", Tag::Dict},
      {"$recordset", Tag::Recordset}};
  for (const auto& [name, tag] : kTags) {
    if (name == key) return tag;
  }
  return std::nullopt;
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

Variant PlainValue(Scalar& s) {
  switch (s.kind) {
    case Scalar::Kind::Null:
      return Variant::Null();
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
      return Variant(s.real);  // the parser refuses what is beyond the double range
    case Scalar::Kind::Text:
      return Variant(std::move(*s.text));
  }
  throw Fallback{};
}

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
      break;  // decimal text is rare: the document decoder reads it
    case Tag::Double:
      if (s.kind == Scalar::Kind::Float) return Variant(s.real);
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
  throw Fallback{};
}

std::int32_t Upper(std::int32_t lower, std::size_t count) {
  const std::int64_t upper = std::int64_t{lower} + static_cast<std::int64_t>(count) - 1;
  if (count > static_cast<std::size_t>(kLongMax) || upper > kLongMax || upper < kLongMin) {
    throw Fallback{};
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
  if (!frame.tag || !frame.body_done || frame.awaiting_bounds) throw Fallback{};
  if (frame.tag != Tag::Array) return std::move(*frame.body);
  if (frame.body) {  // null: the never-allocated array
    if (frame.has_bounds) throw Fallback{};
    return std::move(*frame.body);
  }
  const bool two_dimensional = frame.bounds_pair || (!frame.has_bounds && frame.items_are_rows);
  if (!two_dimensional) {
    if (frame.items_are_rows) throw Fallback{};
    const std::int32_t lower = frame.lower1;
    Array array(lower, Upper(lower, frame.values.size()));
    std::int64_t i = lower;
    for (Variant& item : frame.values) array.At(static_cast<std::int32_t>(i++)) = std::move(item);
    return Variant(std::move(array));
  }
  if (!frame.values.empty()) throw Fallback{};  // values where rows belong
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
    if (entries.dictionary->Exists(product)) throw Fallback{};
    entries.dictionary->Add(product, Variant(std::move(pair)));
  }
  entries.asks = {};
  entries.whole_quantities = {};
  entries.pricing = false;
}

void EndList(Frame& frame, Frame& parent) {
  switch (frame.kind) {
    case Kind::Items:
      parent.values = std::move(frame.values);
      parent.rows = std::move(frame.rows);
      parent.items_are_rows = frame.items_are_rows;
      parent.body_done = true;
      return;
    case Kind::Row:
      if (parent.kind == Kind::Items) {
        if (!parent.rows.empty() && parent.rows.front().size() != frame.values.size()) {
          throw Fallback{};
        }
      }
      parent.rows.push_back(std::move(frame.values));
      return;
    case Kind::Bounds:
      if (frame.values.size() != 2) throw Fallback{};
      parent.lower1 = static_cast<std::int32_t>(frame.values[0].RawInteger());
      parent.lower2 = static_cast<std::int32_t>(frame.values[1].RawInteger());
      parent.bounds_pair = true;
      parent.has_bounds = true;
      parent.awaiting_bounds = false;
      return;
    case Kind::Entries:
      if (frame.pricing) {
        // Distinct keys are checked once the list is complete, by sorting a copy.
        std::vector<std::int32_t> keys;
        keys.reserve(frame.asks.size());
        for (const auto& ask : frame.asks) keys.push_back(ask.product);
        std::sort(keys.begin(), keys.end());
        if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) throw Fallback{};
        parent.body =
            Variant(ObjectPtr(std::make_shared<contract::PricingRequest>(std::move(frame.asks))));
      } else {
        parent.body = Variant(ObjectPtr(std::move(frame.dictionary)));
      }
      parent.body_done = true;
      return;
    case Kind::Pair: {
      if (frame.values.size() != 2) throw Fallback{};
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
      if (frame.values[0].Type() == VarType::Array || parent.dictionary->Exists(frame.values[0])) {
        throw Fallback{};
      }
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
      throw Fallback{};
  }
}

}  // namespace carvalen::api::reader
