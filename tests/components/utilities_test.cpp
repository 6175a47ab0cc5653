#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "components/scratch.hpp"
#include "platform/components/defaults.hpp"

namespace carvalen {
namespace {

using testing::ErrorOf;

std::shared_ptr<IUtilities> NewTestUtilities() {
  return std::dynamic_pointer_cast<IUtilities>(components::NewUtilities());
}

TEST(Utilities, FormatsNumbersAsPlainDigits) {
  const struct {
    std::int32_t value;
    const char* text;
  } cases[] = {{0, "0"},
               {42, "42"},
               {-7, "-7"},
               {std::numeric_limits<std::int32_t>::max(), "2147483647"},
               {std::numeric_limits<std::int32_t>::min(), "-2147483648"}};
  auto utilities = NewTestUtilities();
  for (const auto& c : cases) EXPECT_EQ(utilities->FormatSqlNumber(c.value), c.text) << c.value;
}

TEST(Utilities, FormatsDoublesAsShortestRoundTripText) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{49.5, "49.5"},    {1e-05, "1e-05"},  {100.0, "100"},
               {1e20, "1e+20"},   {1e300, "1e+300"}, {-0.0, "-0"},
               {0.1, "0.1"},      {-2.75, "-2.75"},  {1.0 / 3.0, "0.3333333333333333"},
               {5e-324, "5e-324"}};
  auto utilities = NewTestUtilities();
  for (const auto& c : cases) {
    const std::string text = utilities->FormatSqlDouble(c.value);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), c.value) << text;
  }
}

TEST(Utilities, RejectsNonFiniteDoubles) {
  auto utilities = NewTestUtilities();
  for (double value :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    const Error error = ErrorOf([&] { utilities->FormatSqlDouble(value); });
    EXPECT_EQ(error.Number(), 5) << value;
    EXPECT_EQ(error.Description(), "Invalid procedure call or argument");
  }
}

TEST(Utilities, QuotesStringsDoublingEmbeddedQuotes) {
  const struct {
    std::string value;
    const char* text;
  } cases[] = {{"", "''"},
               {"B01", "'B01'"},
               {"O'Brien", "'O''Brien'"},
               {"'", "''''"},
               {"''", "''''''"},
               {"x' OR '1'='1", "'x'' OR ''1''=''1'"},
               {"a\r\nb\\c\"d", "'a\r\nb\\c\"d'"},
               {"Gr\xC3\xBC\xC3\x9F"
                "e",
                "'Gr\xC3\xBC\xC3\x9F"
                "e'"}};
  auto utilities = NewTestUtilities();
  for (const auto& c : cases) EXPECT_EQ(utilities->QuoteSqlString(c.value), c.text) << c.value;
}

TEST(Utilities, RejectsNulInStrings) {
  auto utilities = NewTestUtilities();
  for (const std::string& value : {std::string("\0", 1), std::string("ab\0'; x", 7)}) {
    EXPECT_EQ(ErrorOf([&] { utilities->QuoteSqlString(value); }).Number(), 5);
  }
}

TEST(Utilities, FormatsDatesQuoted) {
  auto utilities = NewTestUtilities();
  EXPECT_EQ(utilities->FormatSqlDate(Date::FromParts(2026, 6, 10, 8, 0, 0)),
            "'2026-06-10 08:00:00'");
  EXPECT_EQ(utilities->FormatSqlDate(Date::FromParts(1999, 12, 31)), "'1999-12-31 00:00:00'");
  EXPECT_EQ(utilities->FormatSqlDate(Date::FromParts(2026, 6, 10, 23, 59, 59, 250000)),
            "'2026-06-10 23:59:59.250000'");
}

TEST(Utilities, AnswersCallsByNameWithConvertedArguments) {
  auto utilities = components::NewUtilities();
  EXPECT_EQ(utilities->ClassName(), "Mirelib.Utilities");
  const struct {
    const char* name;
    Variant argument;
    const char* text;
  } cases[] = {{"FormatSqlNumber", Variant("12"), "12"},
               {"formatsqlnumber", Variant(2.5), "2"},  // rounds half to even
               {"FORMATSQLDOUBLE", Variant(std::int32_t{3}), "3"},
               {"FormatSqlDouble", Variant("0.25"), "0.25"},
               {"QuoteSqlString", Variant(std::int32_t{7}), "'7'"},
               {"quoteSqlString", Variant("it's"), "'it''s'"},
               {"FormatSqlDate", Variant("2026-06-10 08:30"), "'2026-06-10 08:30:00'"}};
  for (const auto& c : cases) {
    std::vector<Variant> args{c.argument};
    EXPECT_EQ(utilities->Invoke(c.name, args), Variant(c.text)) << c.name;
  }
}

TEST(Utilities, LateBoundCallsCheckNamesAndArgumentCounts) {
  auto utilities = components::NewUtilities();
  std::vector<Variant> none;
  std::vector<Variant> two{Variant(std::int32_t{1}), Variant(std::int32_t{2})};
  EXPECT_EQ(ErrorOf([&] { utilities->Invoke("FormatSqlNumber", none); }).Number(), 450);
  EXPECT_EQ(ErrorOf([&] { utilities->Invoke("QuoteSqlString", two); }).Number(), 450);
  EXPECT_EQ(ErrorOf([&] { utilities->Invoke("FormatSqlText", none); }).Number(), 438);
  std::vector<Variant> null_argument{Variant::Null()};
  EXPECT_EQ(ErrorOf([&] { utilities->Invoke("FormatSqlNumber", null_argument); }).Number(), 94);
  std::vector<Variant> text_argument{Variant("abc")};
  EXPECT_EQ(ErrorOf([&] { utilities->Invoke("FormatSqlDouble", text_argument); }).Number(), 13);
}

}  // namespace
}  // namespace carvalen
