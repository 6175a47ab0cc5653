// What the contract-line read tests share: a fixture with a fresh contract database on each
// provider that fails a test leaving a connection open, the SQL trace of a call, the error a call
// raises, and the keys and elements of results.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "carvalen/contract_line.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "platform/db/client.hpp"
#include "support/contract_db.hpp"

namespace carvalen {

/// Lets failed expectations show a Variant as its type and text ("Long '12'", "Null").
inline void PrintTo(const Variant& value, std::ostream* os) {
  *os << value.TypeName();
  try {
    if (!value.IsEmpty() && !value.IsNull()) *os << " '" << value.ToString() << "'";
  } catch (const Error&) {  // arrays and objects have no text
  }
}

}  // namespace carvalen

namespace carvalen::test {

/// Records the SQL trace while it lives, in a file of its own named by CARVALEN_SQL_TRACE.
class SqlTrace {
 public:
  SqlTrace() {
    path_ = (std::filesystem::temp_directory_path() / "carvalen-trace-XXXXXX").string();
    const int fd = mkstemp(path_.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    setenv("CARVALEN_SQL_TRACE", path_.c_str(), 1);
  }
  ~SqlTrace() {
    unsetenv("CARVALEN_SQL_TRACE");
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }

  /// The events so far, in order; only those of one kind ("query", "schema", ...) if named.
  std::vector<nlohmann::json> Events(const std::string& kind = "") const {
    std::vector<nlohmann::json> events;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) continue;
      nlohmann::json event = nlohmann::json::parse(line);
      if (kind.empty() || event.value("event", "") == kind) events.push_back(std::move(event));
    }
    return events;
  }
  /// The statements of the record sets opened so far, in order.
  std::vector<std::string> Queries() const {
    std::vector<std::string> texts;
    for (const auto& event : Events("query")) texts.push_back(event.value("sql", ""));
    return texts;
  }

 private:
  std::string path_;
};

/// The Error that `call` raises; fails the test when it raises none.
inline ErrorInfo RaisedBy(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.Info();
  }
  ADD_FAILURE() << "no error was raised";
  return {};
}

/// The header the reporter puts in front of a description.
inline std::string ReportHeader(std::uint32_t number, const std::string& qualified_name) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", number);
  return "\r\nERROR 0x" + std::string(hex) + "\r\n METHOD: " + qualified_name + "\r\n DESC: ";
}

/// The whole description of an error the operation reported once itself.
inline std::string Reported(std::uint32_t number, const std::string& qualified_name,
                            const std::string& description) {
  return ReportHeader(number, qualified_name) + description + ".\r\n";
}

/// A test on one provider with a fresh contract database `db`; fails the test when it leaves a
/// connection open.
class LineReadTest : public ::testing::TestWithParam<Provider> {
 protected:
  void TearDown() override {
    EXPECT_EQ(db::OpenConnectionCount(), connections_) << "a connection was left open";
  }
  ContractDb db{GetParam()};

 private:
  std::int64_t connections_ = db::OpenConnectionCount();
};

/// Variants of the values given: Vs(1, "a", 2.5) is {Long 1, String "a", Double 2.5}.
template <typename... T>
std::vector<Variant> Vs(const T&... values) {
  return {Variant(values)...};
}

/// The keys of a dictionary, in order.
inline std::vector<Variant> KeysOf(const Dictionary& dictionary) {
  std::vector<Variant> keys;
  for (const auto& [key, item] : dictionary.Entries()) keys.push_back(key);
  return keys;
}

/// The elements of a one-dimensional array, from its lower bound.
inline std::vector<Variant> ElementsOf(const Variant& array) {
  const Array& a = array.GetArray();
  std::vector<Variant> elements;
  for (std::int32_t i = a.LBound(); i <= a.UBound(); ++i) elements.push_back(a.At(i));
  return elements;
}

}  // namespace carvalen::test

/// Runs a LineReadTest suite on every provider available here.
#define CARVALEN_ON_PROVIDERS(Suite)                                                    \
  INSTANTIATE_TEST_SUITE_P(Providers, Suite,                                            \
                           ::testing::ValuesIn(::carvalen::test::AvailableProviders()), \
                           ::carvalen::test::ProviderParamName)
