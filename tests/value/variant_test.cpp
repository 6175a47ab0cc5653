#include "carvalen/variant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

// Halves round to even; each integer type overflows (6) just past its own range.
TEST(Variant, RoundsHalfToEvenAndOverflowsPastEachRange) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    Variant value;
    std::int32_t integer, long_;  // error of ToInteger, ToLong; 0: converts to `rounded`
    std::int32_t rounded;
  } cases[] = {
      {Variant(2.5), 0, 0, 2},
      {Variant(-2.5), 0, 0, -2},
      {Variant(32767.5), 6, 0, 32768},
      {Variant(-32768.5), 0, 0, -32768},
      {Variant(std::int32_t{-32769}), 6, 0, -32769},
      {Variant(-2'147'483'648.0), 6, 0, -2'147'483'647 - 1},
      {Variant(std::int64_t{2'147'483'648}), 6, 6, 0},
      {Variant(inf), 6, 6, 0},
      {Variant(std::nan("")), 6, 6, 0},
      {Variant("1e400"), 6, 6, 0},
  };
  for (const auto& c : cases) {
    const auto row = &c - cases;
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToInteger(); }), c.integer) << "row " << row;
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToLong(); }), c.long_) << "row " << row;
    if (c.integer == 0) {
      EXPECT_EQ(c.value.ToInteger(), c.rounded) << "row " << row;
    }
    if (c.long_ == 0) {
      EXPECT_EQ(c.value.ToLong(), c.rounded) << "row " << row;
    }
  }
  EXPECT_EQ(ErrorNumberOf([] { Variant(9.3e18).ToLongLong(); }), 6);
  EXPECT_EQ(Variant("-9223372036854775808").ToLongLong(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Variant("9007199254740993").ToLongLong(), 9'007'199'254'740'993);  // beyond 2^53
}

TEST(Variant, ConvertsTextAndValueStatesToNumbers) {
  const struct {
    Variant value;
    std::int32_t error;  // of ToDouble and ToBool; 0 when it converts to `number`
    double number;
  } cases[] = {
      {Variant(), 0, 0.0},           {Variant(true), 0, -1.0},
      {Variant(" 12.5 "), 0, 12.5},  {Variant("&H1F"), 0, 31.0},
      {Variant("&hFFFF"), 0, -1.0},  // read like a literal: 16-bit two's complement
      {Variant("&O17"), 0, 15.0},    {Variant(Date::FromParts(1970, 1, 1, 12)), 0, 25569.5},
      {Variant(""), 13, 0},          {Variant("12abc"), 13, 0},
      {Variant::Null(), 94, 0},      {Variant::Missing(), 13, 0},
      {Variant(Array(0, 1)), 13, 0},
  };
  for (const auto& c : cases) {
    const auto label = &c - cases;
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToDouble(); }), c.error) << label;
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToBool(); }), c.error) << label;
    if (c.error == 0) {
      EXPECT_EQ(c.value.ToDouble(), c.number) << label;
      EXPECT_EQ(c.value.ToBool(), c.number != 0.0) << label;
    }
  }
}

// Numbers print in the shortest form that reads back as the same number.
TEST(Variant, ConvertsToText) {
  const struct {
    Variant value;
    const char* text;
  } cases[] = {
      {Variant(), ""},
      {Variant(true), "True"},
      {Variant(std::int64_t{5'000'000'000}), "5000000000"},
      {Variant(5.0), "5"},
      {Variant(1.0 / 3), "0.3333333333333333"},
      {Variant(9.9e-5), "9.9E-05"},
      {Variant(1e15), "1E+15"},
      {Variant(5e-324), "5E-324"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.ToString(), c.text);
    if (c.value.Type() == VarType::Double && c.value.RawDouble() != 0.0) {
      EXPECT_EQ(Variant(c.text).ToDouble(), c.value.RawDouble()) << c.text;
    }
  }
  EXPECT_EQ(FormatNumber(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToString(); }), 94);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Missing().ToString(); }), 13);
}

TEST(Variant, ConvertsToDate) {
  EXPECT_EQ(Variant().ToDate().ToText(), "1899-12-30 00:00:00");
  EXPECT_EQ(Variant(25569.75).ToDate().ToText(), "1970-01-01 18:00:00");
  EXPECT_EQ(Variant(" 2026-06-10T08:30 ").ToDate().ToText(), "2026-06-10 08:30:00");
  EXPECT_EQ(ErrorNumberOf([] { Variant("45000").ToDate(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToDate(); }), 94);
}

}  // namespace
}  // namespace carvalen
