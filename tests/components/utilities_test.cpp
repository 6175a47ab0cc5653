// The default utilities component: the SQL literals of numbers, doubles, strings and dates.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "carvalen/interfaces.hpp"
#include "components/defaults.hpp"
#include "support/scratch.hpp"

namespace carvalen {
namespace {

using testing::CaptureError;

TEST(Utilities, WritesSqlLiterals) {
  const auto u = std::dynamic_pointer_cast<IUtilities>(components::NewUtilities());
  const std::pair<std::string, const char*> cases[] = {
      {u->FormatSqlNumber(std::numeric_limits<std::int32_t>::min()), "-2147483648"},
      // Doubles: the shortest text that reads back as the same value.
      {u->FormatSqlDouble(49.5), "49.5"},
      {u->FormatSqlDouble(1e-05), "1e-05"},
      {u->FormatSqlDouble(100.0), "100"},
      {u->FormatSqlDouble(1.0 / 3.0), "0.3333333333333333"},
      {u->FormatSqlDouble(5e-324), "5e-324"},
      // Strings: quoted, embedded quotes doubled, all else as it is.
      {u->QuoteSqlString("x' OR '1'='1"), "'x'' OR ''1''=''1'"},
      {u->QuoteSqlString("a\r\nb\\c\"d\xC3\xBC"), "'a\r\nb\\c\"d\xC3\xBC'"},
      {u->FormatSqlDate(Date::FromParts(1999, 12, 31)), "'1999-12-31 00:00:00'"},
      {u->FormatSqlDate(Date::FromParts(2026, 6, 10, 23, 59, 59, 250000)), "'2026-06-10 23:59:59'"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
}

TEST(Utilities, AnswersCallsByNameOrFails) {
  auto utilities = components::NewUtilities();
  const struct {
    const char* name;
    std::vector<Variant> args;
    Variant answer;  // Empty: the call fails with `number`
    std::int32_t number;
  } cases[] = {
      {"FormatSqlNumber", {Variant("12")}, Variant("12"), 0},
      {"FORMATSQLDOUBLE", {Variant(3)}, Variant("3"), 0},
      {"quoteSqlString", {Variant(7)}, Variant("'7'"), 0},
      {"FormatSqlDate", {Variant("2026-06-10 08:30")}, Variant("'2026-06-10 08:30:00'"), 0},
      // What has no SQL literal, or would cut the statement short at a NUL, fails with 5.
      {"FormatSqlDouble", {Variant(std::numeric_limits<double>::quiet_NaN())}, Variant(), 5},
      {"QuoteSqlString", {Variant(std::string("ab\0'; x", 7))}, Variant(), 5},
      {"FormatSqlNumber", {}, Variant(), 450},
      {"QuoteSqlString", {Variant(1), Variant(2)}, Variant(), 450},
      {"FormatSqlText", {Variant(1)}, Variant(), 438},
  };
  for (const auto& c : cases) {
    std::vector<Variant> args = c.args;
    if (c.number == 0) {
      EXPECT_EQ(utilities->Invoke(c.name, args), c.answer) << c.name;
    } else {
      EXPECT_EQ(CaptureError([&] { utilities->Invoke(c.name, args); }).Number(), c.number)
          << c.name;
    }
  }
}

}  // namespace
}  // namespace carvalen
