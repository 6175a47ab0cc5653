#include "carvalen/dictionary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "error_number.hpp"

namespace carvalen {
namespace {

using testing::ErrorNumberOf;

TEST(Dictionary, MatchesKeysByTypeFamilyAndValue) {
  const ObjectPtr object = Dictionary::Create();
  const struct {
    Variant stored, looked_up;
    bool found;
  } cases[] = {
      {Variant(std::int16_t{1}), Variant(std::int32_t{1}), true},
      {Variant(std::int32_t{1}), Variant(1.0), true},
      {Variant(std::int64_t{1}), Variant(1.0), true},
      {Variant(0.0), Variant(-0.0), true},
      {Variant(std::nan("")), Variant(std::nan("")), true},
      {Variant(std::int32_t{1}), Variant("1"), false},
      {Variant("1"), Variant(1.0), false},
      {Variant("a"), Variant("A"), false},
      {Variant(true), Variant(std::int32_t{-1}), false},
      {Variant(true), Variant(true), true},
      {Variant(std::int64_t{9'007'199'254'740'993}), Variant(9'007'199'254'740'992.0), false},
      {Variant(std::int32_t{1}), Variant(1.5), false},
      {Variant(Date(0)), Variant(Date(0)), true},
      {Variant(Date(0)), Variant(25569.0), false},
      {Variant(), Variant(), true},
      {Variant(), Variant::Null(), false},
      {Variant(), Variant(std::int32_t{0}), false},
      {Variant(), Variant(""), false},
      {Variant::Null(), Variant::Null(), true},
      {Variant(object), Variant(object), true},
      {Variant(object), Variant(ObjectPtr(Dictionary::Create())), false},
  };
  for (const auto& c : cases) {
    Dictionary dictionary;
    dictionary.Add(c.stored, Variant("item"));
    EXPECT_EQ(dictionary.Exists(c.looked_up), c.found)
        << c.stored.TypeName() << " vs " << c.looked_up.TypeName();
    EXPECT_EQ(ErrorNumberOf([&] { dictionary.Add(c.looked_up, Variant()); }), c.found ? 457 : 0)
        << c.stored.TypeName() << " vs " << c.looked_up.TypeName();
  }
}

TEST(Dictionary, KeepsInsertionOrder) {
  Dictionary dictionary;
  const std::vector<Variant> keys = {Variant("b"), Variant(std::int32_t{3}), Variant("a"),
                                     Variant::Null()};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    dictionary.Add(keys[i], Variant(static_cast<std::int32_t>(i)));
  }
  dictionary.Set(Variant("b"), Variant("replaced"));  // keeps its place
  dictionary.Set(Variant("z"), Variant("new"));       // goes last

  EXPECT_EQ(dictionary.Count(), 5);
  EXPECT_EQ(dictionary.Keys(), Array::Of({Variant("b"), Variant(std::int32_t{3}), Variant("a"),
                                          Variant::Null(), Variant("z")}));
  EXPECT_EQ(dictionary.Items(),
            Array::Of({Variant("replaced"), Variant(std::int32_t{1}), Variant(std::int32_t{2}),
                       Variant(std::int32_t{3}), Variant("new")}));
  EXPECT_EQ(dictionary.Entries().back().first, Variant("z"));
}

TEST(Dictionary, ItemOfMissingKeyIsEmptyAndAddsNothing) {
  Dictionary dictionary;
  dictionary.Add(Variant("1"), Variant(2.5));
  EXPECT_EQ(dictionary.Item(Variant("1")), Variant(2.5));
  EXPECT_TRUE(dictionary.Item(Variant(std::int32_t{1})).IsEmpty());
  EXPECT_EQ(dictionary.Count(), 1);
}

TEST(Dictionary, RejectsArrayKeys) {
  Dictionary dictionary;
  EXPECT_EQ(ErrorNumberOf([&] { dictionary.Add(Variant(Array(0, 0)), Variant()); }), 13);
  EXPECT_EQ(dictionary.Count(), 0);
}

TEST(Dictionary, InvokesMembersByName) {
  Dictionary dictionary;
  std::vector<Variant> args = {Variant("k"), Variant(std::int32_t{7})};
  dictionary.Invoke("ADD", args);
  std::vector<Variant> key = {Variant("k")};
  EXPECT_EQ(dictionary.Invoke("item", key), Variant(std::int32_t{7}));
  EXPECT_EQ(dictionary.Invoke("Exists", key), Variant(true));
  EXPECT_EQ(dictionary.Invoke("Count", {}), Variant(std::int32_t{1}));
  EXPECT_EQ(dictionary.Invoke("Keys", {}), Variant(Array::Of({Variant("k")})));
  EXPECT_EQ(dictionary.Invoke("Items", {}), Variant(Array::Of({Variant(std::int32_t{7})})));

  EXPECT_EQ(ErrorNumberOf([&] { dictionary.Invoke("Add", args); }), 457);
  EXPECT_EQ(ErrorNumberOf([&] { dictionary.Invoke("Add", key); }), 450);
  EXPECT_EQ(ErrorNumberOf([&] { dictionary.Invoke("Count", key); }), 450);
  EXPECT_EQ(ErrorNumberOf([&] { dictionary.Invoke("Remove", key); }), 438);
}

}  // namespace
}  // namespace carvalen
