// Typed JSON read in one pass straight into Variants: the parser's events build each value where
// it belongs, with no document in between, so a request costs its values and no more. The reader
// takes the common, well-formed path only; anything it would have to word as a mistake (bad
// JSON, a wrong tag, a key given twice, a limit passed) sends the text to the document decoder,
// whose messages are the ones the faces have always given, in the order they have given them.
// The arguments read whole before that point are kept, and the document decoder takes up only
// those after: no part of a failing body is decoded twice but the member it failed in.
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
#include "api/reader_values.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "contract/bulk_pricing.hpp"
#include "db/client.hpp"

namespace carvalen::api {
namespace {

using namespace reader;  // NOLINT: the reader is written in these pieces

class ValueReader {
 public:
  ValueReader(const Limits& limits, const PricingMember* pricing_member,
              const KnownMember* known_member, bool members, bool pricing_root)
      : limits_(limits),
        known_member_(known_member),
        pricing_member_(pricing_member),
        members_(members),
        pricing_root_(pricing_root) {
    frames_.emplace_back(Kind::Root);
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
      frames_.emplace_back(Kind::Arguments);
      return true;
    }
    if (top.kind == Kind::Tagged && top.tag == Tag::Recordset && !top.body_done) {
      frames_.emplace_back(Kind::Records);
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
        if (known_member_ != nullptr && !(*known_member_)(name)) throw UnknownMember{name};
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
        Deliver(BuildTagged(frame));
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
          frames_.emplace_back(Kind::Bounds);
          return true;
        }
        if (top.body_done) throw Fallback{};
        if (top.tag == Tag::Array) {
          frames_.emplace_back(Kind::Items);
          return true;
        }
        if (top.tag == Tag::Dict) {
          Frame entries{Kind::Entries};
          entries.pricing = top.pricing;
          if (!entries.pricing) entries.dictionary = Dictionary::Create();
          frames_.push_back(std::move(entries));
          return true;
        }
        throw Fallback{};
      case Kind::Items:
        if (top.items_seen && !top.items_are_rows) throw Fallback{};
        top.items_seen = true;
        top.items_are_rows = true;
        frames_.emplace_back(Kind::Row);
        return true;
      case Kind::Entries:
        frames_.emplace_back(Kind::Pair);
        return true;
      case Kind::Rows:
        frames_.emplace_back(Kind::Row);
        return true;
      case Kind::Records: {
        const int member = std::exchange(top.records_member, 0);
        if (member == 0) throw Fallback{};
        // `top` is not used past here: the push may move it.
        frames_.emplace_back(member == 1 ? Kind::Fields : Kind::Rows);
        return true;
      }
      default:
        throw Fallback{};  // a JSON list is no value
    }
  }

  bool end_array() {
    Frame frame = Pop();
    EndList(frame, frames_.back());
    return true;
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
  // The members read whole before reading failed.
  Members TakeRead() { return std::move(named_); }

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

  // Entries are counted over the whole text, as the document parser counts them.
  void Count(Frame& /*frame*/) {
    if (++entries_ > limits_.max_entries) throw TooMany{};
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

  const Limits& limits_;
  const KnownMember* known_member_;
  std::size_t entries_ = 0;
  const PricingMember* pricing_member_;
  const bool members_;
  const bool pricing_root_;
  std::vector<Frame> frames_;
  bool root_seen_ = false;
  bool root_done_ = false;
  std::optional<Variant> root_;
  Members named_;
};

// Runs the reader over `text`. On failure, `before` (when given) takes the members read whole
// until then.
template <class Take>
auto Read(std::string_view text, const Limits& limits, const PricingMember* pricing_member,
          const KnownMember* known_member, bool members, bool pricing_root, Take take,
          Members* before = nullptr)
    -> std::optional<decltype(take(std::declval<ValueReader&>()))> {
  if (NestingExceeds(text, kMaxJsonDepth) || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  ValueReader reader(limits, pricing_member, known_member, members, pricing_root);
  try {
    Json::sax_parse(text.begin(), text.end(), &reader);
    return take(reader);
  } catch (const TooMany&) {
    // Everything before was well-formed, so the document parser would stop here too: its
    // message, without reading the text again.
    throw TooManyEntries(text, limits.max_entries);
  } catch (const Fallback&) {
  } catch (const UsageError&) {
  } catch (const Json::exception&) {
  } catch (const Error&) {
    // a value the library refuses: the document path says which
  }
  if (before != nullptr) *before = reader.TakeRead();
  return std::nullopt;
}

}  // namespace

Variant ParseValue(std::string_view text, const Limits& limits, bool pricing_request) {
  if (auto value = Read(text, limits, nullptr, nullptr, false, pricing_request,
                        [](ValueReader& reader) { return reader.TakeValue(); })) {
    return std::move(*value);
  }
  return FromJson(ParseJson(text, limits.max_entries));
}

std::optional<Members> ReadMembers(std::string_view text, const Limits& limits,
                                   const PricingMember& pricing_member,
                                   const KnownMember& known_member, Members& before) {
  try {
    return Read(
        text, limits, &pricing_member, &known_member, true, false,
        [](ValueReader& reader) { return reader.TakeMembers(); }, &before);
  } catch (const UnknownMember& unknown) {
    // What was read is gone already. The document path would name this member, unless the
    // text fails as JSON somewhere: that is checked without decoding anything again.
    CheckJson(text, limits.max_entries);
    throw UnknownName{unknown.name};
  }
}

}  // namespace carvalen::api
