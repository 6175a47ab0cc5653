#include "carvalen/variant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "carvalen/dictionary.hpp"
#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

TEST(Variant, RoundsHalfToEven) {
  const struct {
    double value;
    std::int32_t expected;
  } cases[] = {{2.5, 2}, {3.5, 4},    {-2.5, -2},  {-3.5, -4}, {0.5, 0},
               {1.5, 2}, {2.4999, 2}, {2.5001, 3}, {-0.5, 0},  {1e9 + 0.5, 1'000'000'000}};
  for (const auto& c : cases) {
    EXPECT_EQ(Variant(c.value).ToLong(), c.expected) << c.value;
  }
  EXPECT_EQ(Variant("2.5").ToInteger(), 2);
  EXPECT_EQ(Variant(2.5).ToLongLong(), 2);
}

TEST(Variant, RejectsOutOfRangeWithOverflow) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    Variant value;
    std::int32_t integer;  // error of ToInteger
    std::int32_t long_;    // error of ToLong
  } cases[] = {
      {Variant(32767.0), 0, 0},
      {Variant(32767.5), 6, 0},   // rounds to 32768
      {Variant(-32768.5), 0, 0},  // rounds to -32768
      {Variant(std::int32_t{-32769}), 6, 0},
      {Variant(std::int64_t{2'147'483'647}), 6, 0},
      {Variant(std::int64_t{2'147'483'648}), 6, 6},
      {Variant(-2'147'483'648.0), 6, 0},
      {Variant(2'147'483'647.5), 6, 6},
      {Variant(inf), 6, 6},
      {Variant(std::nan("")), 6, 6},
      {Variant("1e400"), 6, 6},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToInteger(); }), c.integer) << c.value.TypeName();
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToLong(); }), c.long_) << c.value.TypeName();
  }
  EXPECT_EQ(ErrorNumberOf([] { Variant(9.3e18).ToLongLong(); }), 6);
  EXPECT_EQ(Variant("-9223372036854775808").ToLongLong(), std::numeric_limits<std::int64_t>::min());
}

TEST(Variant, ConvertsTextAndSpecialStates) {
  const struct {
    Variant value;
    std::int32_t error;  // of ToDouble; 0 when it converts to `number`
    double number;
  } cases[] = {
      {Variant(), 0, 0.0},
      {Variant(true), 0, -1.0},
      {Variant(false), 0, 0.0},
      {Variant(" 12.5 "), 0, 12.5},
      {Variant("-1.5E+3"), 0, -1500.0},
      {Variant(".5"), 0, 0.5},
      {Variant("+7"), 0, 7.0},
      {Variant("&H1F"), 0, 31.0},
      {Variant("&hFFFF"), 0, -1.0},  // read like a literal: 16-bit two's complement
      {Variant("&H10000"), 0, 65536.0},
      {Variant("&O17"), 0, 15.0},
      {Variant(" true "), 0, -1.0},
      {Variant("FALSE"), 0, 0.0},
      {Variant("1e-400"), 0, 0.0},
      {Variant(Date::FromParts(1970, 1, 1, 12)), 0, 25569.5},
      {Variant(""), 13, 0},
      {Variant("12abc"), 13, 0},
      {Variant("1,5"), 13, 0},
      {Variant("e5"), 13, 0},
      {Variant("&H"), 13, 0},
      {Variant("&HG"), 13, 0},
      {Variant::Null(), 94, 0},
      {Variant::Missing(), 13, 0},
      {Variant::Nothing(), 13, 0},
      {Variant::UnallocatedArray(), 13, 0},
      {Variant(Array(0, 1)), 13, 0},
  };
  for (const auto& c : cases) {
    const std::string label =
        c.value.TypeName() + " " + (c.value.IsString() ? c.value.RawString() : std::string());
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToDouble(); }), c.error) << label;
    EXPECT_EQ(ErrorNumberOf([&] { c.value.ToBool(); }), c.error) << label;
    if (c.error == 0) {
      EXPECT_EQ(c.value.ToDouble(), c.number) << label;
      EXPECT_EQ(c.value.ToBool(), c.number != 0.0) << label;
    }
  }
  EXPECT_EQ(Variant(0.25).ToBool(), true);
  EXPECT_EQ(Variant("9007199254740993").ToLongLong(), 9'007'199'254'740'993);  // beyond 2^53
}

TEST(Variant, ConvertsToText) {
  const struct {
    Variant value;
    const char* text;
  } cases[] = {
      {Variant(), ""},
      {Variant(true), "True"},
      {Variant(false), "False"},
      {Variant(std::int16_t{-5}), "-5"},
      {Variant(std::int64_t{5'000'000'000}), "5000000000"},
      {Variant(49.5), "49.5"},
      {Variant(5.0), "5"},
      {Variant(Date::FromParts(2026, 6, 10, 8)), "2026-06-10 08:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.ToString(), c.text);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToString(); }), 94);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Missing().ToString(); }), 13);
}

TEST(Variant, FormatsNumbersShortestRoundTrip) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {0.1, "0.1"},
      {-2.75, "-2.75"},
      {1.0 / 3, "0.3333333333333333"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {9.9e-5, "9.9E-05"},
      {1e-5, "1E-05"},
      {1.5e-7, "1.5E-07"},
      {123456789012345.0, "123456789012345"},
      {999999999999999.9, "999999999999999.9"},
      {1e15, "1E+15"},
      {-1.25e16, "-1.25E+16"},
      {1e100, "1E+100"},
      {5e-324, "5E-324"},
      {std::numeric_limits<double>::infinity(), "Infinity"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatNumber(c.value), c.text) << c.text;
    if (std::isfinite(c.value) && c.value != 0.0) {
      EXPECT_EQ(Variant(c.text).ToDouble(), c.value) << c.text;  // text converts back
    }
  }
}

TEST(Variant, ConvertsToDate) {
  EXPECT_EQ(Variant().ToDate().ToText(), "1899-12-30 00:00:00");
  EXPECT_EQ(Variant(std::int32_t{25569}).ToDate(), Date(0));
  EXPECT_EQ(Variant(25569.75).ToDate().ToText(), "1970-01-01 18:00:00");
  EXPECT_EQ(Variant(" 2026-06-10T08:30 ").ToDate().ToText(), "2026-06-10 08:30:00");
  EXPECT_EQ(ErrorNumberOf([] { Variant("10/06/2026").ToDate(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant("45000").ToDate(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToDate(); }), 94);
  EXPECT_EQ(ErrorNumberOf([] { Variant(1e10).ToDate(); }), 6);
}

TEST(Variant, ComparesByTypeAndValue) {
  EXPECT_EQ(Variant(std::int32_t{1}), Variant(std::int32_t{1}));
  EXPECT_NE(Variant(std::int32_t{1}), Variant(std::int16_t{1}));
  EXPECT_NE(Variant(std::int32_t{1}), Variant(1.0));
  EXPECT_NE(Variant("1"), Variant(std::int32_t{1}));
  EXPECT_NE(Variant("a"), Variant("A"));
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_NE(Variant(), Variant::Missing());
  EXPECT_EQ(Variant(Array::Of({Variant("x")})), Variant(Array::Of({Variant("x")})));
  EXPECT_NE(Variant(Array::Of({Variant("x")})), Variant(Array::Of({Variant("x")}, 1)));
  EXPECT_NE(Variant(Array(0, -1)), Variant::UnallocatedArray());
  const ObjectPtr object = Dictionary::Create();
  EXPECT_EQ(Variant(object), Variant(object));
  EXPECT_NE(Variant(object), Variant(ObjectPtr(Dictionary::Create())));
}

TEST(Variant, NamesTypesAndObjects) {
  EXPECT_EQ(Variant::Missing().TypeName(), "Error");
  EXPECT_EQ(Variant::Nothing().TypeName(), "Nothing");
  EXPECT_EQ(Variant(ObjectPtr(Dictionary::Create())).TypeName(), "Dictionary");
  EXPECT_EQ(Variant::UnallocatedArray().TypeName(), "Variant()");
  EXPECT_TRUE(Variant::Nothing().IsNothing());
  EXPECT_TRUE(Variant(false).IsNumber());
  EXPECT_FALSE(Variant("1").IsNumber());

  EXPECT_EQ(ErrorNumberOf([] { Variant::Nothing().As<Dictionary>(); }), 91);
  EXPECT_EQ(ErrorNumberOf([] { Variant(std::int32_t{1}).As<Dictionary>(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant(std::int32_t{1}).GetArray(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant::UnallocatedArray().GetArray(); }), 9);

  struct Plain : Object {
    std::string ClassName() const override { return "Plain"; }
  };
  Plain plain;
  EXPECT_EQ(ErrorNumberOf([&] { plain.Invoke("Anything", {}); }), 438);
}

TEST(Variant, CopiesNeverSeeLaterArrayChanges) {
  Variant original(Array::Of({Variant("a"), Variant("b")}));
  Variant copy = original;
  copy.MutableArray().At(0) = Variant("changed");
  EXPECT_EQ(original.GetArray().At(0), Variant("a"));
  EXPECT_EQ(copy.GetArray().At(0), Variant("changed"));

  // An array reached through an outside pointer is unshared too.
  const std::shared_ptr<const Array> held = copy.ArrayPointer();
  copy.MutableArray().At(1) = Variant("again");
  EXPECT_EQ(held->At(1), Variant("b"));

  // A sole owner changes in place.
  Variant sole(Array(0, 0));
  const Array* before = &sole.GetArray();
  sole.MutableArray().At(0) = Variant(true);
  EXPECT_EQ(&sole.GetArray(), before);
}

}  // namespace
}  // namespace carvalen
