#include "api/plain_codec.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <memory>

#include "carvalen/dictionary.hpp"
#include "db/client.hpp"
#include "value/text.hpp"

namespace carvalen::api {
namespace {

void AppendName(std::string_view name, std::string& out) {
  AppendJson(Variant(std::string(name)), out);
  out += ": ";
}

// `"NAME": ` for each name, escaped once for all the rows that share them: a row then only
// copies its member names.
std::vector<std::string> MemberNames(const std::vector<std::string>& names) {
  std::vector<std::string> members;
  members.reserve(names.size());
  for (const std::string& name : names) {
    std::string member;
    AppendName(name, member);
    members.push_back(std::move(member));
  }
  return members;
}

void AppendInteger(std::int64_t number, std::string& out) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, end);
}

// The member of position `i`: its name, else its index.
void AppendMember(const std::vector<std::string>* members, std::int32_t i, std::string& out) {
  const auto at = static_cast<std::size_t>(i);
  if (members != nullptr && i >= 0 && at < members->size()) {
    out += (*members)[at];
    return;
  }
  out += '"';
  AppendInteger(i, out);
  out += "\": ";
}

void AppendScalar(const Variant& value, std::string& out) {
  switch (value.Type()) {
    case VarType::Empty:
    case VarType::Null:
    case VarType::Missing:
      out += "null";
      return;
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      AppendInteger(value.RawInteger(), out);
      return;
    case VarType::Double:
      if (!std::isfinite(value.RawDouble())) {
        out += "null";
        return;
      }
      break;
    case VarType::Date:
      out += '"';
      out += value.RawDate().ToText('T');
      out += '"';
      return;
    default:
      break;
  }
  AppendJson(value, out);
}

// Keys 1, 2, ... in order, as integers or their text: the entries are a list.
bool NumbersEntries(const Dictionary& dictionary) {
  std::int64_t expected = 1;
  for (const Dictionary::Entry& entry : dictionary.Entries()) {
    const Variant& key = entry.first;
    if (key.Type() == VarType::Long || key.Type() == VarType::Integer) {
      if (key.RawInteger() != expected) return false;
    } else if (!key.IsString() || key.RawString() != std::to_string(expected)) {
      return false;
    }
    ++expected;
  }
  return true;
}

// A dictionary's key as a member name: integer keys (product ids) written without a detour
// through text.
void AppendKey(const Variant& key, std::string& out) {
  if (key.Type() == VarType::Long || key.Type() == VarType::Integer) {
    out += '"';
    AppendInteger(key.RawInteger(), out);
    out += "\": ";
    return;
  }
  if (key.IsString()) {
    AppendName(key.RawString(), out);
    return;
  }
  std::string text;
  try {
    text = key.ToString();
  } catch (const std::exception&) {
  }
  AppendName(text, out);
}

// A value whose arrays are rows whose members are `names` (MemberNames; null: no names known).
void AppendValue(const Variant& value, const std::vector<std::string>* names, std::string& out,
                 std::size_t limit);

void AppendRow(const Array& array, const std::vector<std::string>& names, std::string& out,
               std::size_t limit) {
  out += '{';
  for (std::int32_t i = array.LBound(); i <= array.UBound(); ++i) {
    if (i != array.LBound()) out += ", ";
    AppendMember(&names, i, out);
    AppendValue(array.At(i), nullptr, out, limit);
  }
  out += '}';
}

void AppendArray(const Variant& value, const std::vector<std::string>* names, std::string& out,
                 std::size_t limit) {
  const std::shared_ptr<const Array> array = value.ArrayPointer();
  if (!array) {
    out += "null";
    return;
  }
  if (array->Dimensions() == 2) {
    // One object per first index, named by what the second index selects.
    out += '[';
    for (std::int32_t i = array->LBound(1); i <= array->UBound(1); ++i) {
      if (i != array->LBound(1)) out += ", ";
      out += '{';
      for (std::int32_t j = array->LBound(2); j <= array->UBound(2); ++j) {
        if (j != array->LBound(2)) out += ", ";
        AppendMember(names, j, out);
        AppendValue(array->At(i, j), nullptr, out, limit);
      }
      out += '}';
    }
    out += ']';
    return;
  }
  if (names != nullptr) {
    AppendRow(*array, *names, out, limit);
    return;
  }
  out += '[';
  for (std::int32_t i = array->LBound(); i <= array->UBound(); ++i) {
    if (i != array->LBound()) out += ", ";
    AppendValue(array->At(i), nullptr, out, limit);
  }
  out += ']';
}

void AppendDictionary(const Dictionary& dictionary, const std::vector<std::string>* names,
                      std::string& out, std::size_t limit) {
  const bool list = NumbersEntries(dictionary);
  out += list ? '[' : '{';
  bool first = true;
  for (const Dictionary::Entry& entry : dictionary.Entries()) {
    if (!first) out += ", ";
    first = false;
    if (!list) AppendKey(entry.first, out);
    AppendValue(entry.second, names, out, limit);
  }
  out += list ? ']' : '}';
}

// One object per row, every column kept: a repeated name takes "_2", "_3", ... after it.
void AppendRecordset(const db::Recordset& records, std::string& out, std::size_t limit) {
  std::vector<std::string> names;
  for (const std::string& name : records.FieldNames()) {
    std::string unique = name;
    for (int n = 2;
         std::any_of(names.begin(), names.end(),
                     [&](const std::string& taken) { return text::EqualsNoCase(taken, unique); });
         ++n) {
      unique = fmt::format("{}_{}", name, n);
    }
    names.push_back(std::move(unique));
  }
  const std::vector<std::string> members = MemberNames(names);
  out += '[';
  for (std::size_t k = 0; k < records.RowsKept(); ++k) {
    if (k != 0) out += ", ";
    out += '{';
    const auto& row = records.RowKept(k);
    for (std::size_t c = 0; c < row.size() && c < members.size(); ++c) {
      if (c != 0) out += ", ";
      out += members[c];
      AppendValue(row[c], nullptr, out, limit);
    }
    out += '}';
  }
  out += ']';
}

void AppendValue(const Variant& value, const std::vector<std::string>* names, std::string& out,
                 std::size_t limit) {
  CheckAnswerSize(out, limit);
  if (value.IsArray()) {
    AppendArray(value, names, out, limit);
    return;
  }
  if (!value.IsObject()) {
    AppendScalar(value, out);
    return;
  }
  const ObjectPtr object = value.GetObject();
  if (!object) {
    out += "null";
  } else if (const auto* dictionary = dynamic_cast<const Dictionary*>(object.get())) {
    AppendDictionary(*dictionary, names, out, limit);
  } else if (const auto* records = dynamic_cast<const db::Recordset*>(object.get())) {
    AppendRecordset(*records, out, limit);
  } else {
    AppendJson(Variant(object->ClassName()), out);
  }
}

}  // namespace

std::vector<std::string> PositionNames(const OperationDescription& method,
                                       const std::vector<Variant>& args) {
  const ResultDescription& answer = method.answer;
  std::vector<std::string> names = answer.positions;
  if (!answer.positions_from.empty()) {
    for (std::size_t p = 0; p < method.parameters.size() && p < args.size(); ++p) {
      if (method.parameters[p].name != answer.positions_from || !args[p].IsArray()) continue;
      const std::shared_ptr<const Array> given = args[p].ArrayPointer();
      if (!given || given->Dimensions() != 1) break;
      // Element i names position i; a position below the list's lower bound is named by its index.
      for (std::int32_t at = 0; at <= given->UBound(); ++at) {
        std::string name = std::to_string(at);
        if (at >= given->LBound() && given->At(at).IsString() &&
            !given->At(at).RawString().empty()) {
          name = given->At(at).RawString();
        }
        names.push_back(std::move(name));
      }
    }
  }
  return names;
}

void AppendPlainAnswer(const Variant& result, const OperationDescription& method,
                       const std::vector<Variant>& args, std::string& out, std::size_t limit) {
  const ResultDescription& answer = method.answer;
  switch (answer.shape) {
    case ResultShape::Row:
    case ResultShape::Dictionary:
    case ResultShape::Matrix: {
      const std::vector<std::string> names = MemberNames(PositionNames(method, args));
      const ObjectPtr object = result.IsObject() ? result.GetObject() : nullptr;
      const auto* dictionary = dynamic_cast<const Dictionary*>(object.get());
      if (dictionary != nullptr && !answer.numbered) {
        // Keyed by something other than an ordinal (a product id): an object whatever the keys.
        out += '{';
        bool first = true;
        for (const Dictionary::Entry& entry : dictionary->Entries()) {
          if (!first) out += ", ";
          first = false;
          AppendKey(entry.first, out);
          AppendValue(entry.second, &names, out, limit);
        }
        out += '}';
        return;
      }
      AppendValue(result, &names, out, limit);
      return;
    }
    case ResultShape::Named:
      // Keyed by names: an object even when empty.
      if (result.IsObject() && result.GetObject()) {
        if (const auto* dictionary = dynamic_cast<const Dictionary*>(result.GetObject().get());
            dictionary != nullptr && dictionary->Count() == 0) {
          out += "{}";
          return;
        }
      }
      break;
    default:
      break;
  }
  AppendValue(result, nullptr, out, limit);
}

void AppendPlain(const Variant& value, std::string& out, std::size_t limit) {
  AppendValue(value, nullptr, out, limit);
}

}  // namespace carvalen::api
