#include <gtest/gtest.h>

#include <functional>

#include "carvalen/variant.hpp"
#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

// Bounds and the cells of two-dimensional arrays are covered by the JSON round trips
// (json_codec_test).
TEST(Array, EqualArraysHaveTheSameShape) {
  EXPECT_NE(Array(0, 3), Array(0, 1, 0, 1));  // same size, different shape
  EXPECT_NE(Array(0, 1, 0, 2), Array(0, 2, 0, 1));
}

TEST(Array, RejectsSubscriptsOutOfRange) {
  Array one(1, 3);
  const Array two(0, 1, 0, 1);
  const struct {
    const char* what;
    std::function<void()> call;
  } cases[] = {
      {"below", [&] { one.At(0); }},
      {"2-D index on 1-D", [&] { one.At(1, 1); }},
      {"1-D index on 2-D", [&] { two.At(0); }},
      {"UBound(3) of 2-D", [&] { two.UBound(3); }},
      {"At on empty", [] { Array(0, -1).At(0); }},
      {"upper below lower - 1", [] { Array(5, 3); }},
      {"never allocated", [] { Variant::UnallocatedArray().GetArray(); }},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorNumberOf(c.call), 9) << c.what;
}

TEST(Array, CopiesNeverSeeLaterChanges) {
  Variant original(Array::Of({Variant("a"), Variant(Array::Of({Variant("inner")}))}));
  Variant copy = original;
  copy.MutableArray().At(0) = Variant("changed");
  copy.MutableArray().At(1).MutableArray().At(0) = Variant("changed");
  EXPECT_EQ(original.GetArray().At(0), Variant("a"));
  EXPECT_EQ(original.GetArray().At(1).GetArray().At(0), Variant("inner"));
  EXPECT_EQ(copy.GetArray().At(1).GetArray().At(0), Variant("changed"));
  // An array reached through an outside pointer is unshared too.
  const std::shared_ptr<const Array> held = copy.ArrayPointer();
  copy.MutableArray().At(0) = Variant("again");
  EXPECT_EQ(held->At(0), Variant("changed"));
}

}  // namespace
}  // namespace carvalen
