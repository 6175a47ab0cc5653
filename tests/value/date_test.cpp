#include <gtest/gtest.h>

#include "carvalen/variant.hpp"
#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

TEST(Date, FormatsParsesAndConvertsSerials) {
  const struct {
    Date date;
    const char* text;
    double serial;  // -1: not checked
  } cases[] = {
      {Date(0), "1970-01-01 00:00:00", 25569.0},
      {Date::FromParts(1899, 12, 30), "1899-12-30 00:00:00", 0.0},
      {Date::FromParts(2000, 2, 29, 12), "2000-02-29 12:00:00", 36585.5},
      {Date::FromParts(2026, 6, 10, 8, 0, 0, 123000), "2026-06-10 08:00:00.123000", -1},
      {Date::FromParts(1, 1, 1), "0001-01-01 00:00:00", -693593.0},
      {Date::FromParts(9999, 12, 31, 23, 59, 59, 999999), "9999-12-31 23:59:59.999999", -1},
      // Before the serial origin the fraction still counts forward from the day's midnight.
      {Date::FromParts(1899, 12, 29, 6), "1899-12-29 06:00:00", -1.25},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.date.ToText(), c.text);
    Date parsed;
    ASSERT_TRUE(Date::TryParse(c.text, parsed)) << c.text;
    EXPECT_EQ(parsed, c.date) << c.text;
    if (c.serial != -1) {
      EXPECT_DOUBLE_EQ(c.date.ToSerial(), c.serial) << c.text;
      EXPECT_EQ(Date::FromSerial(c.serial), c.date) << c.text;
    }
  }
  EXPECT_EQ(Date(-1).ToText(), "1969-12-31 23:59:59.999999");
}

// The short forms that parse are in json_codec_test ($date) and variant_test (ToDate).
TEST(Date, RejectsInvalidTextAndParts) {
  for (const char* text : {"2026-6-10", "2026-06-10x", "2026-06-10 08:30:15.1234567", "2026-02-29",
                           "2026-06-10 24:00", " 2026-06-10"}) {
    Date parsed;
    EXPECT_FALSE(Date::TryParse(text, parsed)) << text;
  }
  Date parsed;
  ASSERT_TRUE(Date::TryParse("2026-06-10 08:30:15.5", parsed));
  EXPECT_EQ(parsed.ToText(), "2026-06-10 08:30:15.500000");
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(2024, 2, 29); }), 0);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(2025, 2, 29); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(2024, 1, 1, 0, 60); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(10000, 1, 1); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromSerial(-693594.0); }), 6);
}

}  // namespace
}  // namespace carvalen
