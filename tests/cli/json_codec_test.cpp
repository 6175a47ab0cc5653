// The tool's typed JSON, in process.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "carvalen/dictionary.hpp"
#include "cli/json_codec.hpp"
#include "platform/db/client.hpp"

namespace carvalen::cli {
namespace {

std::string Text(const Variant& value) { return Dump(ToJson(value)); }

Variant Array2D(std::int32_t l1, std::int32_t l2, std::vector<std::vector<Variant>> rows) {
  const auto columns = static_cast<std::int32_t>(rows.empty() ? 0 : rows.front().size());
  Array array(l1, l1 + static_cast<std::int32_t>(rows.size()) - 1, l2, l2 + columns - 1);
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(rows.size()); ++i) {
    for (std::int32_t j = 0; j < columns; ++j) array.At(l1 + i, l2 + j) = rows[i][j];
  }
  return Variant(std::move(array));
}

Variant Dict(std::vector<std::pair<Variant, Variant>> entries) {
  DictionaryPtr dictionary = Dictionary::Create();
  for (auto& [key, item] : entries) dictionary->Add(key, item);
  return Variant(ObjectPtr(dictionary));
}

// Every value state, with the exact text the tool prints for it. Decoding that text and
// encoding again must give the same text, and the decoded value the same type.
struct RoundTrip {
  const char* name;
  std::function<Variant()> make;
  const char* json;
};

const RoundTrip kRoundTrips[] = {
    {"empty", [] { return Variant(); }, R"({"$empty": true})"},
    {"null", [] { return Variant::Null(); }, "null"},
    {"nothing", [] { return Variant::Nothing(); }, R"({"$nothing": true})"},
    {"missing", [] { return Variant::Missing(); }, R"({"$missing": true})"},
    {"true", [] { return Variant(true); }, "true"},
    {"false", [] { return Variant(false); }, "false"},
    {"int16", [] { return Variant(std::int16_t{-32768}); }, R"({"$int16": -32768})"},
    {"long", [] { return Variant(std::int32_t{12}); }, "12"},
    {"long min", [] { return Variant(std::int32_t{-2147483647 - 1}); }, "-2147483648"},
    {"int64", [] { return Variant(std::int64_t{5'000'000'000}); }, R"({"$int64": 5000000000})"},
    {"double whole", [] { return Variant(5.0); }, "5.0"},
    {"double big", [] { return Variant(1e20); }, "1e+20"},
    {"double fraction", [] { return Variant(-0.1); }, "-0.1"},
    {"double tiny", [] { return Variant(1.5e-7); }, "1.5e-07"},
    {"double 2^53", [] { return Variant(9007199254740992.0); }, "9.007199254740992e+15"},
    {"nan", [] { return Variant(std::numeric_limits<double>::quiet_NaN()); },
     R"({"$double": "NaN"})"},
    {"infinity", [] { return Variant(std::numeric_limits<double>::infinity()); },
     R"({"$double": "Infinity"})"},
    {"-infinity", [] { return Variant(-std::numeric_limits<double>::infinity()); },
     R"({"$double": "-Infinity"})"},
    {"string", [] { return Variant("B01 \"quoted\" \xc3\xbc"); }, R"("B01 \"quoted\" ü")"},
    {"empty string", [] { return Variant(""); }, R"("")"},
    {"date", [] { return Variant(Date::FromParts(2026, 6, 10, 8, 0, 0)); },
     R"({"$date": "2026-06-10T08:00:00"})"},
    {"date fraction", [] { return Variant(Date::FromParts(2026, 6, 10, 8, 0, 0, 250000)); },
     R"({"$date": "2026-06-10T08:00:00.250000"})"},
    {"array",
     [] {
       return Variant(Array::Of({Variant(1), Variant("a"), Variant::Null()}));
     },
     R"({"$array": [1, "a", null], "lbound": 0})"},
    {"array lbound", [] { return Variant(Array::Of({Variant(2.5)}, 1)); },
     R"({"$array": [2.5], "lbound": 1})"},
    {"array negative lbound",
     [] {
       return Variant(Array::Of({Variant(1), Variant(2)}, -1));
     },
     R"({"$array": [1, 2], "lbound": -1})"},
    {"array empty", [] { return Variant(Array(0, -1)); }, R"({"$array": [], "lbound": 0})"},
    {"array never allocated", [] { return Variant::UnallocatedArray(); }, R"({"$array": null})"},
    {"array nested",
     [] {
       return Variant(Array::Of({Variant(Array::Of({Variant(true)})), Variant()}));
     },
     R"({"$array": [{"$array": [true], "lbound": 0}, {"$empty": true}], "lbound": 0})"},
    {"array 2-D",
     [] {
       return Array2D(0, 0,
                      {{Variant(1), Variant(2), Variant(3)}, {Variant(4), Variant(5), Variant(6)}});
     },
     R"({"$array": [[1, 2, 3], [4, 5, 6]], "lbound": [0, 0]})"},
    {"array 2-D bounds",
     [] {
       return Array2D(1, 5, {{Variant("a")}, {Variant("b")}});
     },
     R"({"$array": [["a"], ["b"]], "lbound": [1, 5]})"},
    {"dictionary",
     [] {
       return Dict({{Variant("1"), Variant(Array::Of({Variant(10.0), Variant(9.0)}))},
                    {Variant(1), Variant("one")},
                    {Variant("EUR"), Variant::Null()}});
     },
     R"({"$dict": [["1", {"$array": [10.0, 9.0], "lbound": 0}], [1, "one"], ["EUR", null]]})"},
    {"dictionary empty", [] { return Dict({}); }, R"({"$dict": []})"},
    {"recordset",
     [] {
       auto records = db::Recordset::Create();
       records->OpenRows({"ID", "NAME"},
                         {{Variant(1), Variant("x")}, {Variant(2), Variant::Null()}});
       return Variant(ObjectPtr(records));
     },
     R"({"$recordset": {"fields": ["ID", "NAME"], "rows": [[1, "x"], [2, null]]}})"},
};

TEST(JsonCodec, RoundTripsEveryValue) {
  for (const RoundTrip& c : kRoundTrips) {
    SCOPED_TRACE(c.name);
    const Variant value = c.make();
    EXPECT_EQ(Text(value), c.json);
    const Variant decoded = ParseValue(c.json);
    EXPECT_EQ(decoded.Type(), value.Type());
    EXPECT_EQ(Text(decoded), c.json);
    if (!value.IsObject() && !(value.Type() == VarType::Double && std::isnan(value.RawDouble()))) {
      EXPECT_TRUE(decoded == value);
    }
  }
}

TEST(JsonCodec, FirstIndexSelectsTheInnerList) {
  const Variant value = ParseValue(R"({"$array": [[1, 2, 3], [4, 5, 6]], "lbound": [1, 0]})");
  const Array& array = value.GetArray();
  ASSERT_EQ(array.Dimensions(), 2);
  EXPECT_EQ(array.LBound(1), 1);
  EXPECT_EQ(array.UBound(1), 2);
  EXPECT_EQ(array.UBound(2), 2);
  EXPECT_EQ(array.At(1, 2).ToLong(), 3);
  EXPECT_EQ(array.At(2, 0).ToLong(), 4);
}

TEST(JsonCodec, DictionaryKeepsOrderAndKeyTypes) {
  const Variant value = ParseValue(R"({"$dict": [["b", 1], [2, "x"], ["2", "y"]]})");
  auto dictionary = value.As<Dictionary>();
  ASSERT_EQ(dictionary->Count(), 3);
  EXPECT_EQ(dictionary->Entries()[0].first.RawString(), "b");
  EXPECT_EQ(dictionary->Item(Variant(2)).RawString(), "x");
  EXPECT_EQ(dictionary->Item(Variant("2")).RawString(), "y");
}

// Input that has a canonical form of its own: numbers by range, defaults, other spellings.
TEST(JsonCodec, NormalisesInput) {
  const struct {
    const char* input;
    VarType type;
    const char* output;
  } cases[] = {
      {"2147483647", VarType::Long, "2147483647"},
      {"2147483648", VarType::Double, "2147483648.0"},
      {"-2147483649", VarType::Double, "-2147483649.0"},
      {"18446744073709551615", VarType::Double, "1.8446744073709552e+19"},
      {"1E3", VarType::Double, "1000.0"},
      {"-0.0", VarType::Double, "-0.0"},
      {R"({"$array": [1, 2]})", VarType::Array, R"({"$array": [1, 2], "lbound": 0})"},
      {R"({"$array": []})", VarType::Array, R"({"$array": [], "lbound": 0})"},
      {R"({"$array": [[1], [2]]})", VarType::Array, R"({"$array": [[1], [2]], "lbound": [0, 0]})"},
      {R"({"$array": [], "lbound": [2, 3]})", VarType::Array,
       R"({"$array": [], "lbound": [2, 3]})"},
      {R"({"$int64": "42"})", VarType::LongLong, R"({"$int64": 42})"},
      {R"({"$int64": 7})", VarType::LongLong, R"({"$int64": 7})"},
      {R"({"$double": 5})", VarType::Double, "5.0"},
      {R"({"$int16": 7})", VarType::Integer, R"({"$int16": 7})"},
      {R"({"$date": "2026-06-10"})", VarType::Date, R"({"$date": "2026-06-10T00:00:00"})"},
      {R"({"$date": "2026-06-10 08:30:00"})", VarType::Date, R"({"$date": "2026-06-10T08:30:00"})"},
      {R"(  "padded"  )", VarType::String, R"("padded")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const Variant value = ParseValue(c.input);
    EXPECT_EQ(value.Type(), c.type);
    EXPECT_EQ(Text(value), c.output);
  }
}

TEST(JsonCodec, RejectsMalformedInput) {
  const struct {
    const char* input;
    const char* message;  // part of the message
  } cases[] = {
      {"", "bad JSON"},
      {"abc", "bad JSON"},
      {"{", "bad JSON"},
      {"1 2", "bad JSON"},
      {"[1, 2]", "a JSON list is no value"},
      {"{}", "no value"},
      {R"({"$foo": 1})", R"(unknown key "$foo")"},
      {R"({"$empty": false})", R"("$empty" must be true)"},
      {R"({"$nothing": 1})", R"("$nothing" must be true)"},
      {R"({"$int16": 40000})", "$int16"},
      {R"({"$int16": 1.5})", "$int16"},
      {R"({"$int64": 1.5})", "$int64"},
      {R"({"$int64": "12x"})", "$int64"},
      {R"({"$int64": 9223372036854775808})", "$int64"},
      {R"({"$double": "nan"})", "$double"},
      {R"({"$date": "10/06/2026"})", "$date"},
      {R"({"$date": 20260610})", "$date"},
      {R"({"$array": 5})", "list of values"},
      {R"({"$array": null, "lbound": 0})", "never-allocated"},
      {R"({"$array": [1], "lbound": "0"})", "lbound"},
      {R"({"$array": [1], "lbound": 1.5})", "lbound"},
      {R"({"$array": [1, 2], "lbound": 2147483647})", "lower bound"},
      {R"({"$array": [[1]], "lbound": 0})", "holds values, not lists"},
      {R"({"$array": [1], "lbound": [0, 0]})", "rows"},
      {R"({"$array": [[1]], "lbound": [0]})", "pair"},
      {R"({"$array": [[1, 2], [3]]})", "same length"},
      {R"({"$array": [[1], 2]})", "mixes lists and values"},
      {R"({"$array": [1], "extra": 1})", R"(unexpected key "extra")"},
      {R"({"$int16": 1, "lbound": 0})", "unexpected key"},
      {R"({"$dict": {}})", "pairs"},
      {R"({"$dict": [["a"]]})", "pair"},
      {R"({"$dict": [["a", 1], ["a", 2]]})", "twice"},
      {R"({"$object": "Dictionary"})", "$object"},
      {R"({"$recordset": {"fields": ["A"], "rows": [[1, 2]]}})", "1 values"},
      {R"({"$recordset": {"fields": [1], "rows": []}})", "texts"},
      {R"({"$array": [{"$bad": 1}]})", R"(unknown key "$bad")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    try {
      ParseValue(c.input);
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(JsonCodec, WritesTheErrorDocument) {
  const ErrorInfo info{static_cast<std::int32_t>(0x80040404u), "Carvalen.ContractLine.GetPrice",
                       "\r\nERROR 0x80040404\r\n METHOD: Carvalen.ContractLine.GetPrice\r\n", "",
                       0};
  EXPECT_EQ(
      Dump(ErrorJson(info)),
      R"({"error": {"number": -2147220476, "source": "Carvalen.ContractLine.GetPrice", )"
      R"("description": "\r\nERROR 0x80040404\r\n METHOD: Carvalen.ContractLine.GetPrice\r\n", )"
      R"("helpFile": "", "helpContext": 0}})");
}

TEST(JsonCodec, ReplacesInvalidUtf8InsteadOfFailing) {
  EXPECT_EQ(Text(Variant(std::string("a\xff"
                                     "b"))),
            "\"a\xef\xbf\xbd"
            "b\"");
}

TEST(JsonCodec, NamesOtherObjectsByClass) {
  struct Widget final : Object {
    std::string ClassName() const override { return "ContractLine"; }
  };
  EXPECT_EQ(Text(Variant(ObjectPtr(std::make_shared<Widget>()))), R"({"$object": "ContractLine"})");
}

}  // namespace
}  // namespace carvalen::cli
