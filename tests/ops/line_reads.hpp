// What the contract-line read tests share: the SQL trace of a call, the error a call raises, the
// check that no connection is left open, and a short text of a Variant for failure messages.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "platform/db/client.hpp"

namespace carvalen::test {

/// Type and text of a value, for messages ("Long 12", "Null", "String ''").
inline std::string Show(const Variant& value) {
  std::string text = value.TypeName();
  try {
    if (!value.IsEmpty() && !value.IsNull()) text += " '" + value.ToString() + "'";
  } catch (const Error&) {  // arrays and objects have no text
  }
  return text;
}

}  // namespace carvalen::test

namespace carvalen {

/// Lets failed expectations show a Variant as its type and text rather than as bytes.
inline void PrintTo(const Variant& value, std::ostream* os) { *os << test::Show(value); }

}  // namespace carvalen

namespace carvalen::test {

/// Records the SQL trace while it lives: points CARVALEN_SQL_TRACE at a file of its own and puts
/// the variable back afterwards.
class SqlTrace {
 public:
  SqlTrace() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "carvalen-trace-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    path_ = pattern;
    if (const char* old = std::getenv("CARVALEN_SQL_TRACE")) previous_ = old;
    setenv("CARVALEN_SQL_TRACE", path_.c_str(), 1);
  }
  ~SqlTrace() {
    if (previous_) {
      setenv("CARVALEN_SQL_TRACE", previous_->c_str(), 1);
    } else {
      unsetenv("CARVALEN_SQL_TRACE");
    }
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  SqlTrace(const SqlTrace&) = delete;
  SqlTrace& operator=(const SqlTrace&) = delete;

  /// Every event so far, in order.
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) events.push_back(nlohmann::json::parse(line));
    }
    return events;
  }
  /// The statements of the record sets opened so far ("query" events), in order.
  std::vector<std::string> Queries() const { return Texts("query"); }
  /// The column-schema queries so far.
  std::vector<nlohmann::json> Schemas() const {
    std::vector<nlohmann::json> found;
    for (const auto& event : Events()) {
      if (event.value("event", "") == "schema") found.push_back(event);
    }
    return found;
  }

 private:
  std::vector<std::string> Texts(const std::string& kind) const {
    std::vector<std::string> texts;
    for (const auto& event : Events()) {
      if (event.value("event", "") == kind) texts.push_back(event.value("sql", ""));
    }
    return texts;
  }

  std::string path_;
  std::optional<std::string> previous_;
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

/// The header the reporter puts in front of a description: "\r\nERROR 0x<HEX>\r\n METHOD: <op>
/// \r\n DESC: ".
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

/// Checks on scope exit that every connection opened meanwhile was closed again.
class NoConnectionLeft {
 public:
  NoConnectionLeft() : before_(db::OpenConnectionCount()) {}
  ~NoConnectionLeft() {
    EXPECT_EQ(db::OpenConnectionCount(), before_) << "a connection was left open";
  }
  NoConnectionLeft(const NoConnectionLeft&) = delete;
  NoConnectionLeft& operator=(const NoConnectionLeft&) = delete;

 private:
  std::int64_t before_;
};

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
