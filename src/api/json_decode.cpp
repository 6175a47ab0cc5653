#include "api/json_codec.hpp"

#include <fmt/format.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/reader_values.hpp"
#include "carvalen/dictionary.hpp"

namespace carvalen::api {
namespace {

using namespace reader;  // NOLINT: the tags, scalars and messages the one-pass reader uses too

// Every check is made in the order of the text, so that the first mistake named is the one the
// one-pass reader (value_reader.cpp) meets first.

// Decoding recurses once per nested value; `depth` counts the levels so that a document built in
// memory (not only parsed text) cannot exhaust the stack.
Variant Decode(const Json& json, std::size_t depth);

Variant ScalarFrom(const Json& json) {
  std::string text;
  Scalar s = ScalarOf(json, text);
  return PlainValue(s);
}

std::int32_t LowerFrom(const Json& json) {
  if (json.is_structured()) Fail(message::Lbound(EchoValue(json)));
  std::string text;
  return LowerBound(ScalarOf(json, text));
}

// The items of "$array", into the frame the one-pass reader fills too.
void ItemsFrom(Frame& frame, const Json& items, std::size_t depth) {
  for (const Json& item : items) {
    if (item.is_array() ? !frame.values.empty() : frame.items_are_rows) Fail(message::kMixed);
    if (!item.is_array()) {
      frame.values.push_back(Decode(item, depth + 1));
      continue;
    }
    std::vector<Variant> row;
    for (const Json& cell : item) row.push_back(Decode(cell, depth + 1));
    if (frame.items_are_rows && frame.rows.front().size() != row.size()) {
      Fail(message::RowLengths(frame.rows.front().size(), row.size()));
    }
    frame.items_are_rows = true;
    frame.rows.push_back(std::move(row));
  }
}

// "lbound": a pair makes the array two-dimensional, a number leaves it one-dimensional.
void BoundsFrom(Frame& frame, const Json& lbound) {
  if (lbound.is_array()) {
    if (!frame.values.empty()) Fail(message::kRowsAreLists);
    std::size_t index = 0;
    for (const Json& lower : lbound) {
      if (index == 2) Fail(message::kBoundsPair);
      (index++ == 0 ? frame.lower1 : frame.lower2) = LowerFrom(lower);
    }
    if (index < 2) Fail(message::kBoundsPair);
    frame.bounds_pair = true;
  } else {
    if (frame.items_are_rows) Fail(message::kOneDimensional);
    frame.lower1 = LowerFrom(lbound);
  }
  frame.has_bounds = true;
}

Variant DictionaryFrom(const Json& entries, std::size_t depth) {
  if (!entries.is_array()) Fail(message::kDictBody);
  DictionaryPtr dictionary = Dictionary::Create();
  std::size_t index = 0;
  for (const Json& entry : entries) {
    if (!entry.is_array()) Fail(message::Entry(EchoValue(entry)));
    std::vector<Variant> pair;
    for (const Json& half : entry) pair.push_back(Decode(half, depth + 1));
    if (pair.size() != 2) Fail(message::EntryLength(pair.size()));
    // Arrays cannot be keys; said here rather than left to fail inside the call.
    if (pair[0].Type() == VarType::Array) Fail(message::ArrayKey(index));
    if (dictionary->Exists(pair[0])) Fail(message::KeyTwice(index));
    dictionary->Add(std::move(pair[0]), std::move(pair[1]));
    ++index;
  }
  return Variant(ObjectPtr(dictionary));
}

Variant RecordsetFrom(const Json& body, std::size_t depth) {
  if (!body.is_object()) Fail(message::kRecordset);
  Frame records(Kind::Records);
  auto& fields = records.fields;
  auto& rows = records.record_rows;
  for (const auto& [name, member] : body.items()) {
    if (name == "fields" && !fields) {
      if (!member.is_array()) Fail(message::kFields);
      fields.emplace();
      for (const Json& field : member) {
        if (!field.is_string()) Fail(message::kFields);
        fields->push_back(field.get<std::string>());
      }
    } else if (name == "rows" && !rows) {
      if (!member.is_array()) Fail(message::kRows);
      rows.emplace();
      for (const Json& row : member) {
        if (!row.is_array()) Fail(message::kRecordsetRow);
        std::vector<Variant> cells;
        for (const Json& cell : row) cells.push_back(Decode(cell, depth + 1));
        if (fields && cells.size() != fields->size()) {
          Fail(message::RecordsetRowLength(fields->size()));
        }
        rows->push_back(std::move(cells));
      }
    } else {
      Fail(message::kRecordset);
    }
  }
  return BuildRecordset(records);
}

Variant TaggedFrom(const Json& json, std::size_t depth) {
  if (json.empty()) Fail(message::kNoValue);
  auto item = json.begin();
  const std::string& key = item.key();
  Frame frame(Kind::Tagged);
  frame.tag = TagNamed(key);
  if (!frame.tag) Fail(message::FirstKey(key));
  const Json& body = item.value();
  if (frame.tag == Tag::Array && body.is_array()) {
    ItemsFrom(frame, body, depth);
  } else if (frame.tag == Tag::Dict && body.is_array()) {
    frame.body = DictionaryFrom(body, depth);
  } else if (frame.tag == Tag::Recordset && body.is_object()) {
    frame.body = RecordsetFrom(body, depth);
  } else if (body.is_structured()) {
    Fail(message::BadBody(*frame.tag, EchoValue(body)));
  } else {
    std::string text;
    frame.body = TaggedScalar(*frame.tag, ScalarOf(body, text));
  }
  // "lbound" may follow the items of "$array"; no other key may stand beside the tag.
  for (++item; item != json.end(); ++item) {
    if (frame.tag == Tag::Array && item.key() == "lbound" && !frame.has_bounds) {
      if (frame.body) Fail(message::kUnallocatedBounds);
      BoundsFrom(frame, item.value());
      continue;
    }
    Fail(message::Beside(item.key(), key));
  }
  return BuildTagged(frame);
}

Variant Decode(const Json& json, std::size_t depth) {
  if (depth >= kMaxJsonDepth) {
    Fail(fmt::format("values nest deeper than {} levels", kMaxJsonDepth));
  }
  switch (json.type()) {
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
    case Json::value_t::string:
      return ScalarFrom(json);
    case Json::value_t::object:
      return TaggedFrom(json, depth);
    case Json::value_t::array:
      Fail(message::List(EchoValue(json)));
    default:
      break;
  }
  Fail(fmt::format("{} is no value", EchoValue(json)));
}

}  // namespace
bool NestingExceeds(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

Variant FromJson(const Json& json) { return Decode(json, 0); }

}  // namespace carvalen::api
