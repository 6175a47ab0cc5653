#include "carvalen/dictionary.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>

#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

// Numbers match across integer and floating types by value; text, Booleans, dates, Empty and Null
// only their own kind. Small dictionaries are scanned and larger ones indexed: both are checked.
TEST(Dictionary, MatchesKeysByTypeFamilyAndValue) {
  const ObjectPtr object = Dictionary::Create();
  const struct {
    Variant stored, looked_up;
    bool found;
  } cases[] = {
      {Variant(std::int32_t{1}), Variant(1.0), true},
      {Variant(0.0), Variant(-0.0), true},
      {Variant(std::nan("")), Variant(std::nan("")), true},
      {Variant(std::int32_t{1}), Variant("1"), false},
      {Variant(true), Variant(std::int32_t{-1}), false},
      {Variant(std::int64_t{9'007'199'254'740'993}), Variant(9'007'199'254'740'992.0), false},
      {Variant(), Variant::Null(), false},
      {Variant::Null(), Variant::Null(), true},
      {Variant(object), Variant(object), true},
      {Variant(object), Variant(ObjectPtr(Dictionary::Create())), false},
  };
  for (int others : {0, 100}) {
    for (const auto& c : cases) {
      Dictionary dictionary;
      for (int i = 0; i < others; ++i)
        dictionary.Add(Variant("other " + std::to_string(i)), c.stored);
      dictionary.Add(c.stored, Variant("item"));
      const std::string label = c.stored.TypeName() + " vs " + c.looked_up.TypeName() + " among " +
                                std::to_string(others);
      EXPECT_EQ(dictionary.Exists(c.looked_up), c.found) << label;
      EXPECT_EQ(ErrorNumberOf([&] { dictionary.Add(c.looked_up, Variant()); }), c.found ? 457 : 0)
          << label;
      EXPECT_EQ(dictionary.Count(), others + (c.found ? 1 : 2)) << label;
    }
  }
  EXPECT_EQ(ErrorNumberOf([] { Dictionary().Add(Variant(Array(0, 0)), Variant()); }), 13);
}

// A replaced item keeps its key's place; looking a missing key up adds nothing.
TEST(Dictionary, KeepsInsertionOrder) {
  Dictionary dictionary;
  dictionary.Add(Variant("b"), Variant(0));
  dictionary.Add(Variant(3), Variant(1));
  dictionary.Set(Variant("b"), Variant("replaced"));
  dictionary.Set(Variant("z"), Variant("new"));
  EXPECT_EQ(dictionary.Keys(), Array::Of({Variant("b"), Variant(3), Variant("z")}));
  EXPECT_EQ(dictionary.Items(), Array::Of({Variant("replaced"), Variant(1), Variant("new")}));
  EXPECT_TRUE(dictionary.Item(Variant("3")).IsEmpty());
  EXPECT_EQ(dictionary.Count(), 3);
}

// Keys chosen to share low bits, or long prefixes, must not make inserts and look-ups probe past
// each other: a table of crowded keys costs about what one of ordinary keys of the same count
// does (a flooded one costs hundreds of times as much at this size). Comparing at one size keeps
// the caches, which a larger table outgrows, out of the ratio; each takes its best of five runs,
// which a loaded machine stretches less than any one.
TEST(Dictionary, CrowdedKeysCostWhatOrdinaryKeysDo) {
  using Key = std::function<Variant(std::int64_t)>;
  const struct {
    const char* shape;
    Key key;
  } shapes[] = {
      {"integers in steps of 2^32", [](std::int64_t i) { return Variant(i << 32); }},
      {"doubles in steps of 2^20", [](std::int64_t i) { return Variant(double(i) * 1048576.0); }},
      {"texts with a long shared prefix",
       [](std::int64_t i) { return Variant(std::string(64, 'k') + std::to_string(i)); }},
  };
  const auto seconds = [](const Key& key, std::int64_t n) {
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
      const auto start = std::chrono::steady_clock::now();
      Dictionary d;
      for (std::int64_t i = 0; i < n; ++i) d.Add(key(i), Variant(1));
      for (std::int64_t i = 0; i < n; ++i) EXPECT_TRUE(d.Exists(key(i)));
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  };
  constexpr std::int64_t kKeys = 64000;
  const double ordinary = seconds([](std::int64_t i) { return Variant(i); }, kKeys);
  const double ordinary_texts =
      seconds([](std::int64_t i) { return Variant("k" + std::to_string(i)); }, kKeys);
  for (const auto& s : shapes) {
    SCOPED_TRACE(s.shape);
    const double crowded = seconds(s.key, kKeys);
    const double base = std::string(s.shape).starts_with("texts") ? ordinary_texts : ordinary;
    EXPECT_LT(crowded / base, 8.0) << crowded << " s against " << base << " s";
  }
}

}  // namespace
}  // namespace carvalen
