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

}  // namespace carvalen::api
