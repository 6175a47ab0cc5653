// Typed JSON read in one pass straight into Variants: the parser's events build each value where
// it belongs, with no document in between, so a request costs its values and no more. The reader
// takes the common, well-formed path only; anything it would have to word as a mistake (bad
// JSON, a wrong tag, a key given twice, a limit passed) sends the text to the document decoder,
// whose messages are the ones the faces have always given, in the order they have given them.
#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "contract/bulk_pricing.hpp"
#include "db/client.hpp"

namespace carvalen::api {
namespace {

constexpr std::int64_t kLongMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kLongMax = std::numeric_limits<std::int32_t>::max();

// The reader met what only the document decoder words exactly.
struct Fallback {};
// A pricing request turned out not to be plain: read it again as a Dictionary.
struct NotPlain {};

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

// The value a tag's body makes, for the tags whose body is a scalar.
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

// The plain form of one pricing entry, when it has it: an integer key and a zero-based pair of
// an integer partner and a number.
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
  std::size_t count = 0;                   // entries so far, against the limit
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
  // Records
  std::optional<std::vector<std::string>> fields;
  std::optional<std::vector<std::vector<Variant>>> record_rows;
  int records_member = 0;  // 1 fields, 2 rows: which member the next value is
  // Arguments: the member being read
  std::optional<std::string> member;
  bool member_is_pricing = false;
};

class ValueReader {
 public:
  ValueReader(const Limits& limits, bool plain_pricing, const PricingMember* pricing_member,
              bool members, bool pricing_root)
      : limits_(limits),
        plain_pricing_(plain_pricing),
        pricing_member_(pricing_member),
        members_(members),
        pricing_root_(pricing_root) {
    frames_.push_back(Frame(Kind::Root));
  }

  // ---- the parser's events ----
  bool null() { return OnScalar(Scalar(Scalar::Kind::Null)); }
  bool boolean(bool value) {
    Scalar s(Scalar::Kind::Boolean);
    s.boolean = value;
    return OnScalar(s);
  }
  bool number_integer(Json::number_integer_t value) {
    Scalar s(Scalar::Kind::Signed);
    s.integer = value;
    return OnScalar(s);
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    Scalar s(Scalar::Kind::Unsigned);
    s.natural = value;
    return OnScalar(s);
  }
  bool number_float(Json::number_float_t value, const std::string& /*text*/) {
    Scalar s(Scalar::Kind::Float);
    s.real = value;
    return OnScalar(s);
  }
  bool string(std::string& value) {
    Scalar s(Scalar::Kind::Text);
    s.text = &value;
    return OnScalar(s);
  }
  bool binary(Json::binary_t& /*value*/) { throw Fallback{}; }

  bool start_object(std::size_t /*size*/) {
    Frame& top = Child();
    if (top.kind == Kind::Root && members_ && !root_seen_) {
      root_seen_ = true;
      frames_.push_back(Frame(Kind::Arguments));
      return true;
    }
    if (top.kind == Kind::Tagged && top.tag == Tag::Recordset && !top.body_done) {
      frames_.push_back(Frame(Kind::Records));
      return true;
    }
    const bool pricing = IsPricingPosition(top);
    ExpectValue(top);
    Frame tagged{Kind::Tagged};
    tagged.pricing = pricing;
    frames_.push_back(std::move(tagged));
    return true;
  }

  bool key(std::string& name) {
    Frame& top = frames_.back();
    Count(top);
    switch (top.kind) {
      case Kind::Arguments:
        top.member_is_pricing = pricing_member_ != nullptr && (*pricing_member_)(name);
        top.member = std::move(name);
        return true;
      case Kind::Tagged:
        if (!top.tag) {
          top.tag = TagNamed(name);
          if (!top.tag) throw Fallback{};
          return true;
        }
        if (name == "lbound" && top.tag == Tag::Array && top.body_done && !top.has_bounds &&
            !top.body) {
          top.awaiting_bounds = true;
          return true;
        }
        throw Fallback{};
      case Kind::Records:
        if (name == "fields" && !top.fields) {
          top.records_member = 1;
          return true;
        }
        if (name == "rows" && !top.record_rows) {
          top.records_member = 2;
          return true;
        }
        throw Fallback{};
      default:
        throw Fallback{};
    }
  }

  bool end_object() {
    Frame frame = Pop();
    switch (frame.kind) {
      case Kind::Arguments:
        root_done_ = true;
        return true;
      case Kind::Tagged:
        Deliver(Build(frame));
        return true;
      case Kind::Records: {
        if (!frame.fields || !frame.record_rows) throw Fallback{};
        for (const auto& row : *frame.record_rows) {
          if (row.size() != frame.fields->size()) throw Fallback{};
        }
        auto records = db::Recordset::Create();
        records->OpenRows(std::move(*frame.fields), std::move(*frame.record_rows));
        Frame& tagged = frames_.back();
        tagged.body = Variant(ObjectPtr(records));
        tagged.body_done = true;
        return true;
      }
      default:
        throw Fallback{};
    }
  }

  bool start_array(std::size_t /*size*/) {
    Frame& top = Child();
    switch (top.kind) {
      case Kind::Tagged:
        if (top.awaiting_bounds) {
          frames_.push_back(Frame(Kind::Bounds));
          return true;
        }
        if (top.body_done) throw Fallback{};
        if (top.tag == Tag::Array) {
          frames_.push_back(Frame(Kind::Items));
          return true;
        }
        if (top.tag == Tag::Dict) {
          Frame entries{Kind::Entries};
          entries.pricing = top.pricing && plain_pricing_;
          if (!entries.pricing) entries.dictionary = Dictionary::Create();
          frames_.push_back(std::move(entries));
          return true;
        }
        throw Fallback{};
      case Kind::Items:
        if (top.items_seen && !top.items_are_rows) throw Fallback{};
        top.items_seen = true;
        top.items_are_rows = true;
        frames_.push_back(Frame(Kind::Row));
        return true;
      case Kind::Entries:
        frames_.push_back(Frame(Kind::Pair));
        return true;
      case Kind::Rows:
        frames_.push_back(Frame(Kind::Row));
        return true;
      case Kind::Records: {
        const int member = std::exchange(top.records_member, 0);
        if (member == 0) throw Fallback{};
        // `top` is not used past here: the push may move it.
        frames_.push_back(Frame(member == 1 ? Kind::Fields : Kind::Rows));
        return true;
      }
      default:
        throw Fallback{};  // a JSON list is no value
    }
  }

  bool end_array() {
    Frame frame = Pop();
    Frame& parent = frames_.back();
    switch (frame.kind) {
      case Kind::Items:
        parent.values = std::move(frame.values);
        parent.rows = std::move(frame.rows);
        parent.items_are_rows = frame.items_are_rows;
        parent.body_done = true;
        return true;
      case Kind::Row:
        if (parent.kind == Kind::Items) {
          if (!parent.rows.empty() && parent.rows.front().size() != frame.values.size()) {
            throw Fallback{};
          }
        }
        parent.rows.push_back(std::move(frame.values));
        return true;
      case Kind::Bounds:
        if (frame.values.size() != 2) throw Fallback{};
        parent.lower1 = static_cast<std::int32_t>(frame.values[0].RawInteger());
        parent.lower2 = static_cast<std::int32_t>(frame.values[1].RawInteger());
        parent.bounds_pair = true;
        parent.has_bounds = true;
        parent.awaiting_bounds = false;
        return true;
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
        return true;
      case Kind::Pair: {
        if (frame.values.size() != 2) throw Fallback{};
        if (parent.pricing) {
          auto ask = PlainAsk(frame.values[0], frame.values[1]);
          if (!ask) throw NotPlain{};
          parent.asks.push_back(*ask);
        } else {
          if (frame.values[0].Type() == VarType::Array ||
              parent.dictionary->Exists(frame.values[0])) {
            throw Fallback{};
          }
          parent.dictionary->Add(std::move(frame.values[0]), std::move(frame.values[1]));
        }
        return true;
      }
      case Kind::Fields: {
        std::vector<std::string> names;
        names.reserve(frame.values.size());
        for (Variant& name : frame.values) names.push_back(name.RawString());
        parent.fields = std::move(names);
        return true;
      }
      case Kind::Rows:
        parent.record_rows = std::move(frame.rows);
        return true;
      default:
        throw Fallback{};
    }
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) {
    throw Fallback{};
  }

  Variant TakeValue() {
    if (!root_) throw Fallback{};
    return std::move(*root_);
  }
  Members TakeMembers() {
    if (!root_done_) throw Fallback{};
    return std::move(named_);
  }

 private:
  // The frame a new value or container goes into, counted against the limit.
  Frame& Child() {
    Frame& top = frames_.back();
    if (top.kind != Kind::Tagged && top.kind != Kind::Records && top.kind != Kind::Arguments &&
        top.kind != Kind::Root) {
      Count(top);
    }
    return top;
  }

  void Count(Frame& frame) const {
    if (++frame.count > limits_.max_entries) throw Fallback{};
  }

  Frame Pop() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frames_.empty()) throw Fallback{};
    return frame;
  }

  // Whether a value that starts here is the pricing request.
  bool IsPricingPosition(const Frame& top) const {
    if (top.kind == Kind::Root) return pricing_root_;
    return top.kind == Kind::Arguments && top.member_is_pricing;
  }

  // A value may start here.
  void ExpectValue(const Frame& top) const {
    switch (top.kind) {
      case Kind::Root:
        if (root_seen_ && !members_) throw Fallback{};
        return;
      case Kind::Arguments:
        if (!top.member) throw Fallback{};
        return;
      case Kind::Items:
        if (top.items_are_rows) throw Fallback{};
        return;
      case Kind::Row:
      case Kind::Pair:
        return;
      default:
        throw Fallback{};
    }
  }

  bool OnScalar(Scalar s) {
    Frame& top = Child();
    switch (top.kind) {
      case Kind::Tagged:
        if (top.awaiting_bounds) {
          const auto lower = LongOf(s);
          if (!lower) throw Fallback{};
          top.lower1 = *lower;
          top.has_bounds = true;
          top.awaiting_bounds = false;
          return true;
        }
        if (top.body_done || !top.tag) throw Fallback{};
        top.body = TaggedScalar(*top.tag, s);
        top.body_done = true;
        return true;
      case Kind::Bounds: {
        const auto lower = LongOf(s);
        if (!lower) throw Fallback{};
        top.values.emplace_back(*lower);
        return true;
      }
      case Kind::Fields:
        if (s.kind != Scalar::Kind::Text) throw Fallback{};
        top.values.emplace_back(std::move(*s.text));
        return true;
      default:
        ExpectValue(top);
        if (top.kind == Kind::Items) top.items_seen = true;
        Deliver(PlainValue(s));
        return true;
    }
  }

  // A complete value, to the frame that holds it.
  void Deliver(Variant value) {
    Frame& top = frames_.back();
    switch (top.kind) {
      case Kind::Root:
        if (root_) throw Fallback{};
        root_seen_ = true;
        root_ = std::move(value);
        return;
      case Kind::Arguments:
        named_.emplace_back(std::move(*top.member), std::move(value));
        top.member.reset();
        return;
      case Kind::Items:
        top.items_seen = true;
        [[fallthrough]];
      case Kind::Row:
      case Kind::Pair:
        top.values.push_back(std::move(value));
        return;
      default:
        throw Fallback{};
    }
  }

  Variant Build(Frame& frame) {
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

  const Limits& limits_;
  const bool plain_pricing_;
  const PricingMember* pricing_member_;
  const bool members_;
  const bool pricing_root_;
  std::vector<Frame> frames_;
  bool root_seen_ = false;
  bool root_done_ = false;
  std::optional<Variant> root_;
  Members named_;
};

// Runs the reader over `text`: the plain pricing form first where it may apply, then without it.
template <class Take>
auto Read(std::string_view text, const Limits& limits, const PricingMember* pricing_member,
          bool members, bool pricing_root, Take take)
    -> std::optional<decltype(take(std::declval<ValueReader&>()))> {
  if (NestingExceeds(text, kMaxJsonDepth) || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const bool pricing = pricing_member != nullptr || pricing_root;
  for (const bool plain : {true, false}) {
    if (!plain && !pricing) break;
    try {
      ValueReader reader(limits, plain && pricing, pricing_member, members, pricing_root);
      Json::sax_parse(text.begin(), text.end(), &reader);
      return take(reader);
    } catch (const NotPlain&) {
      continue;
    } catch (const Fallback&) {
      return std::nullopt;
    } catch (const UsageError&) {
      return std::nullopt;
    } catch (const Json::exception&) {
      return std::nullopt;
    } catch (const Error&) {
      return std::nullopt;  // a value the library refuses: the document path says which
    }
  }
  return std::nullopt;
}

}  // namespace

Variant ParseValue(std::string_view text, const Limits& limits, bool pricing_request) {
  if (auto value = Read(text, limits, nullptr, false, pricing_request,
                        [](ValueReader& reader) { return reader.TakeValue(); })) {
    return std::move(*value);
  }
  return FromJson(ParseJson(text, limits.max_entries));
}

std::optional<Members> ReadMembers(std::string_view text, const Limits& limits,
                                   const PricingMember& pricing_member) {
  return Read(text, limits, &pricing_member, true, false,
              [](ValueReader& reader) { return reader.TakeMembers(); });
}

}  // namespace carvalen::api
