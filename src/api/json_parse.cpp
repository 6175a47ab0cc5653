#include "api/json_check.hpp"

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

// Where to cut `text` to at most `size` bytes: before a character, not inside one.
std::size_t CutAt(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text.size();
  std::size_t cut = size;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

// A document's parts to the writer, until it is full: a long text or list is never written whole
// only to be cut.
void Echo(const Json& json, EchoWriter& echo) {
  if (echo.Full()) return;
  if (!json.is_object() && !json.is_array()) {
    echo.Scalar(json);
    return;
  }
  const bool object = json.is_object();
  echo.Open(object);
  for (auto item = json.begin(); item != json.end() && !echo.Full(); ++item) {
    if (object) echo.Key(item.key());
    Echo(item.value(), echo);
  }
  echo.Close(object);
}

}  // namespace

std::string EchoJson(std::string_view text) {
  if (text.size() <= kEchoed) return Printable(text);
  return fmt::format("{}... ({} bytes)", Printable(text.substr(0, CutAt(text, kEchoed))),
                     text.size());
}

std::string EchoValue(const Json& json) {
  EchoWriter echo;
  Echo(json, echo);
  return echo.Take();
}

// Dump's text, ", " and ": " between items, a text cut to kEchoed + 1 bytes before it is dumped.
void EchoWriter::Next() {
  if (after_key_) {
    after_key_ = false;
  } else if (!first_.empty()) {
    if (!first_.back()) out_ += ", ";
    first_.back() = false;
  }
}

void EchoWriter::Open(bool object) {
  if (Full()) return;
  Next();
  out_ += object ? '{' : '[';
  first_.push_back(true);
}

void EchoWriter::Key(const std::string& name) {
  if (Full()) return;
  Next();
  Append(Json(name));
  out_ += ": ";
  after_key_ = true;
}

void EchoWriter::Scalar(const Json& scalar) {
  if (Full()) return;
  Next();
  Append(scalar);
}

void EchoWriter::Append(const Json& scalar) {
  if (scalar.is_string()) {
    const std::string& text = scalar.get_ref<const std::string&>();
    out_ += Dump(Json(text.substr(0, CutAt(text, kEchoed + 1))));
  } else {
    out_ += Dump(scalar);
  }
}

void EchoWriter::Close(bool object) {
  if (Full()) return;
  first_.pop_back();
  out_ += object ? '}' : ']';
}

std::string EchoWriter::Take() {
  if (out_.size() <= kEchoed) return std::move(out_);
  out_.resize(CutAt(out_, kEchoed));
  return std::move(out_) + "...";
}

void CheckRepeats(std::vector<std::string_view>& names) {
  if (names.size() < 2) return;
  std::sort(names.begin(), names.end());
  if (auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end()) {
    throw RepeatedKey{fmt::format("an object holds the key {} twice", EchoValue(Json(*twice)))};
  }
}

bool Checker::end_object() {
  std::vector<std::string_view> names(keys_.back().begin(), keys_.back().end());
  CheckRepeats(names);
  keys_.pop_back();
  open_.pop_back();
  return true;
}

namespace {

// Builds the document in one pass. nlohmann's own parser inserts each key of an ordered object
// by searching the keys before it, which makes an object of n keys cost n^2; here a key is
// appended, and the keys are checked for repeats once the object is complete.
class DocumentBuilder : public ThrowParseError {
 public:
  DocumentBuilder(Json& root, std::size_t max_entries) : root_(root), count_(max_entries) {}

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
    count_.Add();
    auto& members = open_.back()->get_ref<Json::object_t&>();
    members.emplace_back(std::move(name), nullptr);
    member_ = &members.back().second;
    return true;
  }
  bool end_object() {
    const auto& members = open_.back()->get_ref<const Json::object_t&>();
    std::vector<std::string_view> names;
    names.reserve(members.size());
    for (const auto& member : members) names.emplace_back(member.first);
    CheckRepeats(names);
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

 private:
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
  std::vector<Json*> open_;
  Json* member_ = nullptr;
};

}  // namespace

void CheckBeforeParse(std::string_view text) {
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
}

void ParseFailed(std::string_view text, std::size_t max_entries) {
  try {
    throw;
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

UsageError TooManyEntries(std::string_view text, std::size_t max_entries) {
  return UsageError(fmt::format(
      "bad JSON {}: the lists and objects hold more than {} entries in all (the limit is set by "
      "CARVALEN_MAX_ENTRIES)",
      EchoJson(text), max_entries));
}

Json ParseJson(std::string_view text, std::size_t max_entries) {
  Json document;
  DocumentBuilder builder(document, max_entries);
  ParseWith(text, max_entries, builder);
  return document;
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
