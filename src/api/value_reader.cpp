// Typed JSON read in one pass straight into Variants: the parser's events build each value where
// it belongs, with no document in between, so a request costs its values and no more, and a
// failing one is read once too. It names the first mistake in the text, as the document decoder
// (json_decode.cpp) does with the same checks and words.
#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/json_check.hpp"
#include "api/json_codec.hpp"
#include "api/reader_values.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "contract/bulk_pricing.hpp"

namespace carvalen::api {
namespace {

using namespace reader;  // NOLINT: the reader is written in these pieces

// A mistake whose message quotes the list or object that starts where it is met.
struct QuoteNext {
  std::function<std::string(const std::string& echo)> message;
};

class ValueReader : public ThrowParseError {
 public:
  ValueReader(const Limits& limits, const PricingMember* pricing_member,
              const CheckMember* check_member, bool members, bool pricing_root)
      : count_(limits.max_entries),
        check_member_(check_member),
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
  bool binary(Json::binary_t& /*value*/) { return true; }  // not in a JSON text

  bool start_object(std::size_t size) {
    if (checker_) {
      if (echo_) Quote([](EchoWriter& echo) { echo.Open(true); }, +1);
      return checker_->start_object(size);
    }
    return Guard(Opens::Object, [&] { OpenObject(); });
  }
  bool key(std::string& name) {
    if (checker_) {
      if (echo_) echo_->Key(name);
      return checker_->key(name);
    }
    key_ = &name;
    Guard(Opens::Nothing, [&] { OnKey(name); });
    key_ = nullptr;
    return true;
  }
  bool end_object() {
    if (checker_) {
      if (echo_) Quote([](EchoWriter& echo) { echo.Close(true); }, -1);
      return checker_->end_object();
    }
    return Guard(Opens::Nothing, [&] { CloseObject(); });
  }
  bool start_array(std::size_t size) {
    if (checker_) {
      if (echo_) Quote([](EchoWriter& echo) { echo.Open(false); }, +1);
      return checker_->start_array(size);
    }
    return Guard(Opens::List, [&] { OpenList(); });
  }
  bool end_array() {
    if (checker_) {
      if (echo_) Quote([](EchoWriter& echo) { echo.Close(false); }, -1);
      return checker_->end_array();
    }
    return Guard(Opens::Nothing, [&] { CloseList(); });
  }

  // The first mistake, once the whole text is known to be well-formed JSON.
  void Rethrow() const {
    if (fault_) std::rethrow_exception(fault_);
  }
  Variant TakeValue() { return std::move(*root_); }
  Members TakeMembers() { return std::move(named_); }

 private:
  enum class Opens : std::uint8_t { Nothing, Object, List };

  // Runs one event. At the first mistake the reader stops building: the mistake is kept, and the
  // rest of the text is only checked, as the parse of a document would check it, so that a
  // failing request is read once and its bad JSON, wherever it stands, is still what is named.
  template <class Event>
  bool Guard(Opens opens, Event event) {
    try {
      event();
      return true;
    } catch (const QuoteNext& quote) {
      if (Keep(nullptr, opens)) return true;
      quoted_ = quote.message;
      echo_.emplace();
      echo_->Open(opens == Opens::Object);
      echo_depth_ = 1;
    } catch (const UsageError&) {
      Keep(std::current_exception(), opens);
    } catch (const Error&) {
      Keep(std::current_exception(), opens);  // a value the library refuses, such as its size
    }
    return true;
  }

  // Keeps the mistake (none: one whose message is still to be quoted) and hands over to the
  // checker. A key given twice in pricing entries read before it is the earlier mistake: then
  // true.
  bool Keep(std::exception_ptr fault, Opens opens) {
    bool earlier = false;
    try {
      for (const Frame& frame : frames_) {
        if (frame.kind == Kind::Entries && frame.pricing) CheckAsks(frame);
      }
      fault_ = std::move(fault);
    } catch (const UsageError&) {
      fault_ = std::current_exception();
      earlier = true;
    }
    StartChecking(opens);
    return earlier;
  }

  // The keys an object frame has read. Only the arguments keep theirs as they come: a typed
  // value's keys follow from what it holds, and allocating them for every value would cost.
  static std::vector<std::string> KeysRead(Frame& frame) {
    std::vector<std::string> keys = std::move(frame.keys);
    if (frame.kind == Kind::Tagged) {
      if (frame.tag) keys.emplace_back(TagName(*frame.tag));
      if (frame.has_bounds || frame.awaiting_bounds) keys.emplace_back("lbound");
    } else if (frame.kind == Kind::Records) {
      if (frame.fields || frame.records_member == 1) keys.emplace_back("fields");
      if (frame.record_rows || frame.records_member == 2) keys.emplace_back("rows");
    }
    return keys;
  }

  // The checker takes over with the containers open, and the one the event opened.
  void StartChecking(Opens opens) {
    checker_.emplace(count_);
    // The key the event read, when it was the mistake; an argument's name is among its keys.
    if (key_ != nullptr && frames_.back().kind != Kind::Arguments) {
      frames_.back().keys.push_back(*key_);
    }
    for (Frame& frame : frames_) {
      if (frame.kind == Kind::Root) continue;
      const bool object = frame.kind == Kind::Arguments || frame.kind == Kind::Tagged ||
                          frame.kind == Kind::Records;
      checker_->Open(object, KeysRead(frame));
    }
    if (opens != Opens::Nothing) checker_->Open(opens == Opens::Object);
    frames_.clear();
    named_.clear();
  }

  // Part of the value a message quotes; when it is complete, the message is the mistake.
  template <class Part>
  void Quote(Part part, int depth) {
    part(*echo_);
    echo_depth_ += depth;
    if (echo_depth_ > 0) return;
    fault_ = std::make_exception_ptr(UsageError(quoted_(echo_->Take())));
    echo_.reset();
  }

  // The frame a new value or container goes into, counted when it is a list.
  Frame& Child() {
    Frame& top = frames_.back();
    if (top.kind != Kind::Tagged && top.kind != Kind::Records && top.kind != Kind::Arguments &&
        top.kind != Kind::Root) {
      count_.Add();
    }
    return top;
  }

  Frame Pop() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return frame;
  }

  bool OnScalar(Scalar s) {
    if (checker_) {
      if (echo_) echo_->Scalar(JsonOf(s));
      return checker_->null();  // counted as any value is
    }
    return Guard(Opens::Nothing, [&] { Scalar1(s); });
  }

  void Scalar1(Scalar& s) {
    Frame& top = Child();
    switch (top.kind) {
      case Kind::Root:
        if (members_) Fail(message::kArguments);
        Deliver(PlainValue(s));
        return;
      case Kind::Tagged:
        if (top.awaiting_bounds) {
          if (top.items_are_rows) Fail(message::kOneDimensional);
          top.lower1 = LowerBound(s);
          top.has_bounds = true;
          top.awaiting_bounds = false;
          return;
        }
        top.body = TaggedScalar(*top.tag, s);
        return;
      case Kind::Items:
        if (top.items_are_rows) Fail(message::kMixed);
        Deliver(PlainValue(s));
        return;
      case Kind::Bounds:
        if (top.values.size() == 2) Fail(message::kBoundsPair);
        top.values.emplace_back(LowerBound(s));
        return;
      case Kind::Entries:
        Fail(message::Entry(EchoValue(JsonOf(s))));
      case Kind::Records:
        Fail(top.records_member == 1 ? message::kFields : message::kRows);
      case Kind::Fields:
        if (s.kind != Scalar::Kind::Text) Fail(message::kFields);
        top.values.emplace_back(std::move(*s.text));
        return;
      case Kind::Rows:
        Fail(message::kRecordsetRow);
      case Kind::Arguments:
      case Kind::Row:
      case Kind::Pair:
        Deliver(PlainValue(s));
        return;
    }
  }

  void OpenObject() {
    Frame& top = Child();
    Frame tagged{Kind::Tagged};
    switch (top.kind) {
      case Kind::Root:
        if (members_) {
          frames_.emplace_back(Kind::Arguments);
          return;
        }
        tagged.pricing = pricing_root_;
        break;
      case Kind::Arguments:
        tagged.pricing = top.member_is_pricing;
        break;
      case Kind::Tagged:
        if (top.awaiting_bounds) {
          if (top.items_are_rows) Fail(message::kOneDimensional);
          throw QuoteNext{message::Lbound};
        }
        if (top.tag == Tag::Recordset) {
          frames_.emplace_back(Kind::Records);
          return;
        }
        QuoteBody(*top.tag);
      case Kind::Items:
        if (top.items_are_rows) Fail(message::kMixed);
        break;
      case Kind::Row:
      case Kind::Pair:
        break;
      case Kind::Bounds:
        if (top.values.size() == 2) Fail(message::kBoundsPair);
        throw QuoteNext{message::Lbound};
      case Kind::Entries:
        throw QuoteNext{message::Entry};
      case Kind::Records:
        Fail(top.records_member == 1 ? message::kFields : message::kRows);
      case Kind::Fields:
        Fail(message::kFields);
      case Kind::Rows:
        Fail(message::kRecordsetRow);
    }
    frames_.push_back(std::move(tagged));
  }

  // A list or object where the tag takes a scalar: the message quotes it.
  [[noreturn]] static void QuoteBody(Tag tag) {
    if (tag == Tag::Array || tag == Tag::Dict || tag == Tag::Recordset) {
      Fail(message::BadBody(tag, {}));
    }
    throw QuoteNext{[tag](const std::string& echo) { return message::BadBody(tag, echo); }};
  }

  void OnKey(std::string& name) {
    Frame& top = frames_.back();
    count_.Add();
    switch (top.kind) {
      case Kind::Arguments:
        top.keys.push_back(name);
        (*check_member_)(name);
        top.member_is_pricing = pricing_member_ != nullptr && (*pricing_member_)(name);
        top.member = std::move(name);
        return;
      case Kind::Tagged:
        if (!top.tag) {
          top.tag = TagNamed(name);
          if (!top.tag) Fail(message::FirstKey(name));
          return;
        }
        if (name == "lbound" && top.tag == Tag::Array && !top.has_bounds && !top.awaiting_bounds) {
          if (top.body) Fail(message::kUnallocatedBounds);
          top.awaiting_bounds = true;
          return;
        }
        Fail(message::Beside(name, TagName(*top.tag)));
      case Kind::Records:
        if (name == "fields" && !top.fields) {
          top.records_member = 1;
          return;
        }
        if (name == "rows" && !top.record_rows) {
          top.records_member = 2;
          return;
        }
        Fail(message::kRecordset);
      default:
        return;  // keys are in objects only
    }
  }

  void CloseObject() {
    Frame frame = Pop();
    switch (frame.kind) {
      case Kind::Arguments: {
        std::vector<std::string_view> names(frame.keys.begin(), frame.keys.end());
        CheckRepeats(names);
        return;
      }
      case Kind::Tagged:
        if (!frame.tag) Fail(message::kNoValue);
        Deliver(BuildTagged(frame));
        return;
      case Kind::Records:
        frames_.back().body = BuildRecordset(frame);
        return;
      default:
        return;
    }
  }

  void OpenList() {
    Frame& top = Child();
    switch (top.kind) {
      case Kind::Root:
        if (members_) Fail(message::kArguments);
        throw QuoteNext{message::List};
      case Kind::Arguments:
      case Kind::Row:
      case Kind::Pair:
        throw QuoteNext{message::List};
      case Kind::Tagged:
        if (top.awaiting_bounds) {
          if (!top.values.empty()) Fail(message::kRowsAreLists);
          frames_.emplace_back(Kind::Bounds);
          return;
        }
        if (top.tag == Tag::Array) {
          frames_.emplace_back(Kind::Items);
        } else if (top.tag == Tag::Dict) {
          Frame entries{Kind::Entries};
          entries.pricing = top.pricing;
          if (!entries.pricing) entries.dictionary = Dictionary::Create();
          frames_.push_back(std::move(entries));
        } else {
          QuoteBody(*top.tag);
        }
        return;
      case Kind::Items:
        if (!top.values.empty()) Fail(message::kMixed);
        top.items_are_rows = true;
        frames_.emplace_back(Kind::Row);
        return;
      case Kind::Bounds:
        if (top.values.size() == 2) Fail(message::kBoundsPair);
        throw QuoteNext{message::Lbound};
      case Kind::Entries:
        frames_.emplace_back(Kind::Pair);
        return;
      case Kind::Records:
        frames_.emplace_back(top.records_member == 1 ? Kind::Fields : Kind::Rows);
        return;
      case Kind::Fields:
        Fail(message::kFields);
      case Kind::Rows:
        frames_.emplace_back(Kind::Row);
        return;
    }
  }

  void CloseList() {
    Frame frame = Pop();
    Frame& parent = frames_.back();
    // A record set's row, once its fields are known, has as many values.
    if (frame.kind == Kind::Row && parent.kind == Kind::Rows) {
      const Frame& records = frames_[frames_.size() - 2];
      if (records.fields && frame.values.size() != records.fields->size()) {
        Fail(message::RecordsetRowLength(records.fields->size()));
      }
    }
    EndList(frame, parent);
  }

  // A complete value, to the frame that holds it.
  void Deliver(Variant value) {
    Frame& top = frames_.back();
    switch (top.kind) {
      case Kind::Root:
        root_ = std::move(value);
        return;
      case Kind::Arguments:
        named_.emplace_back(std::move(*top.member), std::move(value));
        top.member.reset();
        return;
      default:  // Items, Row, Pair
        top.values.push_back(std::move(value));
        return;
    }
  }

  EntryCount count_;
  const CheckMember* check_member_;
  const PricingMember* pricing_member_;
  const bool members_;
  const bool pricing_root_;
  std::vector<Frame> frames_;
  std::optional<Variant> root_;
  Members named_;
  // After the first mistake
  std::exception_ptr fault_;
  std::optional<Checker> checker_;
  std::optional<EchoWriter> echo_;  // the value the mistake's message quotes, while it is read
  int echo_depth_ = 0;
  const std::string* key_ = nullptr;  // the key being read
  std::function<std::string(const std::string&)> quoted_;
};

}  // namespace

Variant ParseValue(std::string_view text, const Limits& limits, bool pricing_request) {
  ValueReader reader(limits, nullptr, nullptr, false, pricing_request);
  ParseWith(text, limits.max_entries, reader);
  reader.Rethrow();
  return reader.TakeValue();
}

Members ReadMembers(std::string_view text, const Limits& limits,
                    const PricingMember& pricing_member, const CheckMember& check_member) {
  ValueReader reader(limits, &pricing_member, &check_member, true, false);
  ParseWith(text, limits.max_entries, reader);
  reader.Rethrow();
  return reader.TakeMembers();
}

}  // namespace carvalen::api
