// What every read of a request's JSON text shares, private to src/api/: the entry count, the
// checks a text passes before any value in it is looked at (syntax, repeated keys, the entry
// limit), the run of a reader over a text with their messages, and the echo a message quotes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/json_codec.hpp"

namespace carvalen::api {

// What a message quotes of the caller's text or values.
inline constexpr std::size_t kEchoed = 200;

struct RepeatedKey {
  std::string message;
};
struct TooMany {};

// Entries are counted over the whole text, not per list: what a request makes the decoder keep
// is bounded by one number however it is spread.
class EntryCount {
 public:
  explicit EntryCount(std::size_t max_entries) : max_entries_(max_entries) {}
  void Add() {
    if (++entries_ > max_entries_) throw TooMany{};
  }

 private:
  std::size_t max_entries_;
  std::size_t entries_ = 0;
};

// Throws RepeatedKey when a key of one object is there twice (sorting `names`).
void CheckRepeats(std::vector<std::string_view>& names);

// What every reader of a text does with the parser's syntax error: throws it, for ParseWith to
// word.
struct ThrowParseError {
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& error) {
    throw error;
  }
};

// What the parse of a text checks, with nothing built but the keys of the objects still open.
// A reader that stops building values part-way hands the rest of the text to one: Open then says
// which containers are open, outermost first, with the keys each holds already.
class Checker : public ThrowParseError {
 public:
  explicit Checker(EntryCount& count) : count_(count) {}

  void Open(bool object, std::vector<std::string> keys = {}) {
    open_.push_back(object);
    if (object) keys_.push_back(std::move(keys));
  }

  bool null() { return Item(); }
  bool boolean(bool /*value*/) { return Item(); }
  bool number_integer(Json::number_integer_t /*value*/) { return Item(); }
  bool number_unsigned(Json::number_unsigned_t /*value*/) { return Item(); }
  bool number_float(Json::number_float_t /*value*/, const std::string& /*text*/) { return Item(); }
  bool string(std::string& /*value*/) { return Item(); }
  bool binary(Json::binary_t& /*value*/) { return Item(); }
  bool start_object(std::size_t /*size*/) {
    Item();
    Open(true);
    return true;
  }
  bool key(std::string& name) {
    count_.Add();
    keys_.back().push_back(std::move(name));
    return true;
  }
  bool end_object();
  bool start_array(std::size_t /*size*/) {
    Item();
    Open(false);
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
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

// Throws the usage error of a text refused before it is parsed (nested too deep, a NUL byte).
void CheckBeforeParse(std::string_view text);
// Inside a catch block of a parse of `text`: throws the usage error the caught failure is.
[[noreturn]] void ParseFailed(std::string_view text, std::size_t max_entries);

// Runs `sax` over the text with the checks and messages every parse of a request shares.
template <class Sax>
void ParseWith(std::string_view text, std::size_t max_entries, Sax& sax) {
  CheckBeforeParse(text);
  try {
    Json::sax_parse(text.begin(), text.end(), &sax);
  } catch (const TooMany&) {
    ParseFailed(text, max_entries);
  } catch (const RepeatedKey&) {
    ParseFailed(text, max_entries);
  } catch (const Json::exception&) {
    ParseFailed(text, max_entries);
  }
}

// EchoValue's text written from a value's parts as they come, so that a value read in one pass
// is quoted exactly as its document would be; past kEchoed bytes the rest is not written.
class EchoWriter {
 public:
  void Open(bool object);
  void Key(const std::string& name);
  void Scalar(const Json& scalar);
  void Close(bool object);
  bool Full() const { return out_.size() > kEchoed; }
  std::string Take();

 private:
  void Next();
  void Append(const Json& scalar);

  std::string out_;
  std::vector<bool> first_;  // no item yet in each open container
  bool after_key_ = false;
};

}  // namespace carvalen::api
