// What operation tests share: a database fixture, the SQL trace, raised errors, result contents.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "carvalen/contract_line.hpp"
#include "carvalen/dictionary.hpp"
#include "support/client_test.hpp"
#include "support/contract_db.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {

/// An omitted optional argument and a database NULL, as case tables write them.
inline const Variant no = Variant::Missing(), null = Variant::Null();
using Sql = std::vector<std::string>;

/// Records the SQL trace while it lives, in a folder of its own.
class SqlTrace {
 public:
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::ifstream in(dir_ / "trace");
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) events.push_back(nlohmann::json::parse(line));
    return events;
  }
  /// The statements of the record sets opened so far, in order.
  std::vector<std::string> Queries() const {
    std::vector<std::string> texts;
    for (const auto& event : Events())
      if (event.value("event", "") == "query") texts.push_back(event.value("sql", ""));
    return texts;
  }

 private:
  testing::TempFolder dir_;
  testing::ScopedSetting setting_{Setting::SqlTrace, (dir_ / "trace").string()};
};

/// The Error that `call` raises; fails the test when it raises none.
inline ErrorInfo RaisedBy(const std::function<void()>& call) { return CaptureError(call).Info(); }

/// The header the reporter puts in front of a description.
inline std::string ReportHeader(std::uint32_t number, const std::string& qualified_name) {
  return fmt::format("\r\nERROR 0x{:X}\r\n METHOD: {}\r\n DESC: ", number, qualified_name);
}

/// The description of an error the operation reported once itself.
inline std::string Reported(std::uint32_t number, const std::string& qualified_name,
                            const std::string& description) {
  return ReportHeader(number, qualified_name) + description + ".\r\n";
}

/// The methods of an error description's headers, outermost first ("A.Op > U.Open").
inline std::string ReportedLevels(const std::string& description) {
  std::string levels;
  for (auto at = description.find("\r\nERROR 0x"); at != std::string::npos;
       at = description.find("\r\nERROR 0x", at + 1)) {
    const auto method = description.find(" METHOD: ", at) + 9;
    levels += (levels.empty() ? "" : " > ") +
              description.substr(method, description.find("\r\n", method) - method);
  }
  return levels;
}

/// How many headers (reports) an error description holds.
inline std::size_t ReportCount(const std::string& description) {
  const std::string levels = ReportedLevels(description);
  return levels.empty() ? 0 : std::ranges::count(levels, '>') + 1;
}

using LineReadTest = ProviderTest<ContractDb>;

/// A LineReadTest whose database holds what the statements `kRows` insert.
template <const std::string& kRows>
class SeededTest : public LineReadTest {
 protected:
  SeededTest() { db.Exec(kRows); }
};

/// Variants of the values given: Vs(1, "a", 2.5) is {Long 1, String "a", Double 2.5}.
template <typename... T>
std::vector<Variant> Vs(const T&... values) {
  return {Variant(values)...};
}

inline Variant List(std::vector<Variant> items, std::int32_t lower = 0) {
  return Variant(Array::Of(std::move(items), lower));
}

inline std::vector<Variant> KeysOf(const Dictionary& dictionary) {
  std::vector<Variant> keys;
  for (const auto& [key, item] : dictionary.Entries()) keys.push_back(key);
  return keys;
}

inline std::vector<Variant> ElementsOf(const Variant& array) {
  const Array& a = array.GetArray();
  std::vector<Variant> elements;
  for (std::int32_t i = a.LBound(); i <= a.UBound(); ++i) elements.push_back(a.At(i));
  return elements;
}

inline std::vector<std::vector<Variant>> Items(const Dictionary& result) {
  std::vector<std::vector<Variant>> items;
  for (const auto& [key, item] : result.Entries()) items.push_back(ElementsOf(item));
  return items;
}

inline std::vector<Variant> FirstOfEach(const Dictionary& result) {
  std::vector<Variant> values;
  for (const auto& item : Items(result)) values.push_back(item.at(0));
  return values;
}

}  // namespace carvalen::test
