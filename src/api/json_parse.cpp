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

// What a message quotes of the caller's text or values.
constexpr std::size_t kEchoed = 200;

// Where to cut `text` to at most `size` bytes: before a character, not inside one.
std::size_t CutAt(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text.size();
  std::size_t cut = size;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

// Dump's text of `json` until `out` is past kEchoed bytes: a long text or list is never
// written whole only to be cut.
void Echo(const Json& json, std::string& out) {
  if (out.size() > kEchoed) return;
  switch (json.type()) {
    case Json::value_t::object:
    case Json::value_t::array: {
      const bool object = json.is_object();
      out += object ? '{' : '[';
      bool first = true;
      for (auto item = json.begin(); item != json.end() && out.size() <= kEchoed; ++item) {
        if (!first) out += ", ";
        first = false;
        if (object) {
          Echo(Json(item.key()), out);
          out += ": ";
        }
        Echo(item.value(), out);
      }
      out += object ? '}' : ']';
      return;
    }
    case Json::value_t::string: {
      const std::string& text = json.get_ref<const std::string&>();
      out += Dump(Json(text.substr(0, CutAt(text, kEchoed + 1))));
      return;
    }
    default:
      out += Dump(json);
      return;
  }
}

}  // namespace

std::string EchoJson(std::string_view text) {
  if (text.size() <= kEchoed) return Printable(text);
  return fmt::format("{}... ({} bytes)", Printable(text.substr(0, CutAt(text, kEchoed))),
                     text.size());
}

std::string EchoValue(const Json& json) {
  std::string out;
  Echo(json, out);
  if (out.size() <= kEchoed) return out;
  out.resize(CutAt(out, kEchoed));
  return out + "...";
}

namespace {

struct RepeatedKey {
  std::string message;
};
struct TooMany {};

// The keys of one object, checked for repeats once it is complete, by sorting them.
template <class Names>
void CheckRepeats(Names& names) {
  if (names.size() < 2) return;
  std::sort(names.begin(), names.end());
  if (auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end()) {
    throw RepeatedKey{fmt::format("an object holds the key {} twice", EchoValue(Json(*twice)))};
  }
}

// Entries are counted over the whole text, not per list: what a request makes the decoder keep
// is bounded by one number however it is spread.
class EntryCount {
 public:
  explicit EntryCount(std::size_t max_entries) : max_entries_(max_entries) {}
  void Add() {
    if (++entries_ > max_entries_) throw TooMany{};
  }

 private:
  const std::size_t max_entries_;
  std::size_t entries_ = 0;
};

// What the builder checks, with nothing built but the keys of the objects still open.
class Checker {
 public:
  explicit Checker(EntryCount& count) : count_(count) {}

  bool null() { return Item(); }
  bool boolean(bool /*value*/) { return Item(); }
  bool number_integer(Json::number_integer_t /*value*/) { return Item(); }
  bool number_unsigned(Json::number_unsigned_t /*value*/) { return Item(); }
  bool number_float(Json::number_float_t /*value*/, const std::string& /*text*/) { return Item(); }
  bool string(std::string& /*value*/) { return Item(); }
  bool binary(Json::binary_t& /*value*/) { return Item(); }
  bool start_object(std::size_t /*size*/) {
    Item();
    open_.push_back(true);
    keys_.emplace_back();
    return true;
  }
  bool key(std::string& name) {
    count_.Add();
    keys_.back().push_back(std::move(name));
    return true;
  }
  bool end_object() {
    CheckRepeats(keys_.back());
    keys_.pop_back();
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*size*/) {
    Item();
    open_.push_back(false);
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
  bool Item() {
    if (!open_.empty() && !open_.back()) count_.Add();
    return true;
  }

  EntryCount& count_;
  std::vector<bool> open_;  // true: an object
  std::vector<std::vector<std::string>> keys_;
};

// Builds the document in one pass. nlohmann's own parser inserts each key of an ordered object
// by searching the keys before it, which makes an object of n keys cost n^2; here a key is
// appended, and the keys are checked for repeats once the object is complete.
// The values of the root object's first `skipped` members are checked as Checker checks them and
// left null: whoever asks has them decoded already.
class DocumentBuilder {
 public:
  DocumentBuilder(Json& root, std::size_t max_entries, std::size_t skipped)
      : root_(root), count_(max_entries), checker_(count_), skipped_(skipped) {}

  bool null() { return Skipped(&Checker::null) || Put(nullptr) != nullptr; }
  bool boolean(bool value) { return Skipped(&Checker::boolean, value) || Put(value) != nullptr; }
  bool number_integer(Json::number_integer_t value) {
    return Skipped(&Checker::number_integer, value) || Put(value) != nullptr;
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return Skipped(&Checker::number_unsigned, value) || Put(value) != nullptr;
  }
  bool number_float(Json::number_float_t value, const std::string& text) {
    return Skipped(&Checker::number_float, value, text) || Put(value) != nullptr;
  }
  bool string(std::string& value) {
    return Skipped(&Checker::string, value) || Put(std::move(value)) != nullptr;
  }
  bool binary(Json::binary_t& value) {
    return Skipped(&Checker::binary, value) || Put(Json::binary(std::move(value))) != nullptr;
  }
  bool start_object(std::size_t size) {
    if (Skipping()) return Nest(&Checker::start_object, size);
    open_.push_back(Put(Json::object()));
    return true;
  }
  bool key(std::string& name) {
    if (Skipping()) return checker_.key(name);
    count_.Add();
    auto& members = open_.back()->get_ref<Json::object_t&>();
    members.emplace_back(std::move(name), nullptr);
    member_ = &members.back().second;
    skip_ = open_.size() == 1 && members.size() <= skipped_;
    return true;
  }
  bool end_object() {
    if (Skipping()) return Unnest(&Checker::end_object);
    const auto& members = open_.back()->get_ref<const Json::object_t&>();
    std::vector<std::string_view> names;
    names.reserve(members.size());
    for (const auto& member : members) names.emplace_back(member.first);
    CheckRepeats(names);
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t size) {
    if (Skipping()) return Nest(&Checker::start_array, size);
    open_.push_back(Put(Json::array()));
    return true;
  }
  bool end_array() {
    if (Skipping()) return Unnest(&Checker::end_array);
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& error) {
    throw error;
  }

 private:
  // Inside the value of a skipped member, or at its start.
  bool Skipping() const { return skip_ || skip_depth_ > 0; }
  // A scalar: to the checker when skipped; the member's value ends with it at its start.
  template <class Event, class... Args>
  bool Skipped(Event event, Args&&... args) {
    if (!Skipping()) return false;
    (checker_.*event)(std::forward<Args>(args)...);
    skip_ = false;
    return true;
  }
  template <class Event>
  bool Nest(Event event, std::size_t size) {
    skip_ = false;
    ++skip_depth_;
    return (checker_.*event)(size);
  }
  template <class Event>
  bool Unnest(Event event) {
    --skip_depth_;
    return (checker_.*event)();
  }

  // Where the value goes: the root, the end of the open array, or the member just named. No
  // container is appended to while a value inside it is open, so the pointers held stay valid.
  Json* Put(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    if (open_.back()->is_array()) {
      count_.Add();
      auto& items = open_.back()->get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      return &items.back();
    }
    *member_ = std::move(value);
    return member_;
  }

  Json& root_;
  EntryCount count_;
  Checker checker_;
  std::size_t skipped_;
  bool skip_ = false;           // the value of a skipped member comes next
  std::size_t skip_depth_ = 0;  // brackets open inside it
  std::vector<Json*> open_;
  Json* member_ = nullptr;
};

// Runs `sax` over the text with the checks and messages every parse of a request shares.
template <class Sax>
void Parse(std::string_view text, std::size_t max_entries, Sax& sax) {
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
    Json::sax_parse(text.begin(), text.end(), &sax);
  } catch (const TooMany&) {
    throw TooManyEntries(text, max_entries);
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

}  // namespace

UsageError TooManyEntries(std::string_view text, std::size_t max_entries) {
  return UsageError(fmt::format(
      "bad JSON {}: the lists and objects hold more than {} entries in all (the limit is set by "
      "CARVALEN_MAX_ENTRIES)",
      EchoJson(text), max_entries));
}

Json ParseJson(std::string_view text, std::size_t max_entries, std::size_t skipped) {
  Json document;
  DocumentBuilder builder(document, max_entries, skipped);
  Parse(text, max_entries, builder);
  return document;
}

void CheckJson(std::string_view text, std::size_t max_entries) {
  EntryCount count(max_entries);
  Checker checker(count);
  Parse(text, max_entries, checker);
}

Limits LimitsFromEnvironment() {
  Limits limits;
  if (const char* text = std::getenv("CARVALEN_MAX_ENTRIES"); text != nullptr && *text != 0) {
    limits.max_entries = ParseMaxEntries(text, "CARVALEN_MAX_ENTRIES");
  }
  // The library reads the cell budget itself; a face refuses nonsense there as it does above.
  if (const char* text = std::getenv("CARVALEN_MAX_CELLS"); text != nullptr && *text != 0) {
    ParseMaxCells(text, "CARVALEN_MAX_CELLS");
  }
  return limits;
}

namespace {

template <class Count>
Count PositiveCount(std::string_view text, std::string_view what, std::string_view unit) {
  Count count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end != text.data() + text.size() || count <= 0) {
    throw UsageError(
        fmt::format("{} must be a positive count of {}, not \"{}\"", what, unit, EchoJson(text)));
  }
  return count;
}

}  // namespace

std::size_t ParseMaxEntries(std::string_view text, std::string_view what) {
  return PositiveCount<std::size_t>(text, what, "entries");
}

std::int64_t ParseMaxCells(std::string_view text, std::string_view what) {
  return PositiveCount<std::int64_t>(text, what, "cells");
}

}  // namespace carvalen::api
