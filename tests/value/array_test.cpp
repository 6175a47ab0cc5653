#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "carvalen/variant.hpp"
#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

TEST(Array, KeepsBoundsPerDimension) {
  Array one(-2, 3);
  EXPECT_EQ(one.Dimensions(), 1);
  EXPECT_EQ(one.LBound(), -2);
  EXPECT_EQ(one.UBound(), 3);
  EXPECT_EQ(one.Size(), 6);
  EXPECT_TRUE(one.At(-2).IsEmpty());

  Array two(1, 2, 0, 2);
  EXPECT_EQ((std::array{two.LBound(1), two.UBound(1), two.LBound(2), two.UBound(2)}),
            (std::array{1, 2, 0, 2}));
  two.At(2, 0) = Variant("row 2");
  two.At(1, 2) = Variant("row 1");
  EXPECT_EQ(two.At(2, 0), Variant("row 2"));
  EXPECT_EQ(two.At(1, 2), Variant("row 1"));
  EXPECT_TRUE(two.At(1, 0).IsEmpty());

  const Array none(0, -1);
  EXPECT_EQ(none.Size(), 0);
  EXPECT_EQ(none.UBound(), -1);

  const Array of = Array::Of({Variant("a"), Variant("b")}, 1);
  EXPECT_EQ(of.LBound(), 1);
  EXPECT_EQ(of.UBound(), 2);
  EXPECT_EQ(of.At(2), Variant("b"));
}

TEST(Array, RejectsSubscriptsOutOfRange) {
  Array one(1, 3);
  const Array two(0, 1, 0, 1);
  const struct {
    const char* what;
    std::function<void()> call;
  } cases[] = {
      {"below", [&] { one.At(0); }},
      {"above", [&] { one.At(4); }},
      {"2-D index on 1-D", [&] { one.At(1, 1); }},
      {"1-D index on 2-D", [&] { two.At(0); }},
      {"second index", [&] { two.At(0, 2); }},
      {"LBound(0)", [&] { one.LBound(0); }},
      {"UBound(2) of 1-D", [&] { one.UBound(2); }},
      {"UBound(3) of 2-D", [&] { two.UBound(3); }},
      {"At on empty", [] { Array(0, -1).At(0); }},
      {"upper below lower - 1", [] { Array(5, 3); }},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorNumberOf(c.call), 9) << c.what;
}

TEST(Array, ComparesShapeAndElements) {
  EXPECT_EQ(Array::Of({Variant(1.0)}), Array::Of({Variant(1.0)}));
  EXPECT_NE(Array::Of({Variant(1.0)}), Array::Of({Variant(2.0)}));
  EXPECT_NE(Array(0, 3), Array(0, 1, 0, 1));  // same size, different shape
  EXPECT_NE(Array(0, 1, 0, 2), Array(0, 2, 0, 1));
}

TEST(Array, NestedArraysAreCopiedOnWrite) {
  Variant outer(Array::Of({Variant(Array::Of({Variant("inner")}))}));
  Variant copy = outer;
  copy.MutableArray().At(0).MutableArray().At(0) = Variant("changed");
  EXPECT_EQ(outer.GetArray().At(0).GetArray().At(0), Variant("inner"));
  EXPECT_EQ(copy.GetArray().At(0).GetArray().At(0), Variant("changed"));
}

}  // namespace
}  // namespace carvalen
