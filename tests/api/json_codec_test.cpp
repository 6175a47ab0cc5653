// The tool's typed JSON, in process.
#include <gmock/gmock.h>

#include <limits>
#include <string>
#include <tuple>

#include "api/json_codec.hpp"
#include "carvalen/dictionary.hpp"
#include "contract/bulk_pricing.hpp"
#include "db/client.hpp"

namespace carvalen::api {
namespace {

// The text of a value, which the direct writer and the document writer must agree on.
std::string Text(const Variant& value) {
  std::string direct;
  AppendJson(value, direct);
  EXPECT_EQ(direct, Dump(ToJson(value)));
  return direct;
}

// Throws a usage error whose message holds `part` and quotes at most a few hundred bytes.
auto Refused(const std::string& part) {
  return ::testing::ThrowsMessage<UsageError>(
      ::testing::AllOf(::testing::HasSubstr(part), ::testing::SizeIs(::testing::Lt(700u))));
}

// Each value state's exact text (naming its type) decodes to the same type, value and text.
TEST(JsonCodec, RoundTripsEveryValueAndRejectsMalformedInput) {
  using V = Variant;
  const DictionaryPtr dict = Dictionary::Create();
  dict->Add(V("1"), V(Array::Of({V(10.0), V(9.0)})));
  dict->Add(V(1), V("one"));
  auto rows = db::Recordset::Create();
  rows->OpenRows({"ID", "NAME"}, {{V(1), V("x")}, {V(2), V::Null()}});
  Array grid(0, 1, 0, 2), column(1, 2, 5, 5);  // 2 x 3 from 0; 2 x 1 from (1, 5)
  for (std::int32_t i = 0; i < 6; ++i) grid.At(i / 3, i % 3) = V(i + 1);
  column.At(1, 5) = V("a"), column.At(2, 5) = V("b");
  // A record set prints the rows a caller can reach, from the first wherever the cursor stands.
  auto filtered = db::Recordset::Create();
  filtered->OpenRows({"ID"}, {{V(1)}, {V(2)}, {V(1.0)}});
  filtered->Filter("id", V(1));
  filtered->MoveLast();
  const std::pair<Variant, const char*> cases[] = {
      {V(), R"({"$empty": true})"},
      {V::Null(), "null"},
      {V::Nothing(), R"({"$nothing": true})"},
      {V::Missing(), R"({"$missing": true})"},
      {V(false), "false"},
      {V(std::int16_t{-32768}), R"({"$int16": -32768})"},
      {V(std::int32_t{-2147483647 - 1}), "-2147483648"},
      {V(std::int64_t{5'000'000'000}), R"({"$int64": 5000000000})"},
      {V(5.0), "5.0"},
      {V(std::numeric_limits<double>::quiet_NaN()), R"({"$double": "NaN"})"},
      {V("B01 \"quoted\" \xc3\xbc"), R"("B01 \"quoted\" ü")"},
      {V(Date::FromParts(2026, 6, 10, 8, 0, 0, 250000)),
       R"({"$date": "2026-06-10T08:00:00.250000"})"},
      {V(Array::Of({V(1), V("a"), V::Null()})), R"({"$array": [1, "a", null], "lbound": 0})"},
      {V::UnallocatedArray(), R"({"$array": null})"},
      {V(grid), R"({"$array": [[1, 2, 3], [4, 5, 6]], "lbound": [0, 0]})"},
      {V(column), R"({"$array": [["a"], ["b"]], "lbound": [1, 5]})"},
      {V(Array::Of({V("A")}, 2147483647)), R"({"$array": ["A"], "lbound": 2147483647})"},
      {V(dict), R"({"$dict": [["1", {"$array": [10.0, 9.0], "lbound": 0}], [1, "one"]]})"},
      {V(rows), R"({"$recordset": {"fields": ["ID", "NAME"], "rows": [[1, "x"], [2, null]]}})"},
      {V(filtered), R"({"$recordset": {"fields": ["ID"], "rows": [[1], [1.0]]}})"},
      // Input with a canonical form of its own: numbers by range, defaults, other spellings.
      {ParseValue("2147483647"), "2147483647"},
      {ParseValue("2147483648"), "2147483648.0"},
      {ParseValue("18446744073709551615"), "1.8446744073709552e+19"},
      {ParseValue("99999999999999999999"), "1e+20"},  // past 64 bits, but a double
      {ParseValue(R"({"$array": [[1], [2]]})"), R"({"$array": [[1], [2]], "lbound": [0, 0]})"},
      {ParseValue(R"({"$int64": "42"})"), R"({"$int64": 42})"},
      {ParseValue(R"({"$date": "2026-06-10"})"), R"({"$date": "2026-06-10T00:00:00"})"},
  };
  for (const auto& [value, json] : cases) {
    SCOPED_TRACE(json);
    EXPECT_EQ(Text(value), json);
    const Variant decoded = ParseValue(json);
    EXPECT_EQ(decoded.Type(), value.Type());
    EXPECT_EQ(Text(decoded), json);
    // Objects decode as new objects, and NaN equals nothing.
    EXPECT_TRUE(value.IsObject() || std::string(json).find("NaN") != std::string::npos ||
                decoded == value);
  }
  // Invalid UTF-8 is replaced, not refused; the exact error object is checked through the tool.
  EXPECT_EQ(Text(Variant(std::string("a\xff"))), "\"a\xef\xbf\xbd\"");
  // Malformed and hostile documents are usage errors, never a blown stack, in text or in memory.
  const std::size_t limit = kMaxJsonDepth;
  const std::string big(std::size_t{1} << 20, 'x');
  const std::pair<std::string, const char*> bad[] = {
      // Caller text of 1 MiB, wherever it stands, is quoted by its start only.
      {R"({"$int16": ")" + big + "\"}", "$int16"},
      {R"({"$dict": [[")" + big + R"(", 1], [")" + big + R"(", 2]]})", "twice"},
      {R"({"$dict": [[1, 2, ")" + big + R"("]]})", "pair [key, item]"},
      {"[\"" + big + "\"]", "a JSON list is no value"},
      {R"({"$)" + big + R"(": 1})", "unknown key"},
      // At the limit the text is parsed (and then is no value); one more level is refused.
      {std::string(limit, '[') + std::string(limit, ']'), "a JSON list is no value"},
      {std::string(limit + 1, '[') + std::string(limit + 1, ']'), "nesting deeper than 256 levels"},
      // A long text is named by its start and size, not echoed whole.
      {std::string(100'000, '['), "(100000 bytes)"},
      {"1e400", "number overflow"},
      {R"({"$double": 1e400})", "number overflow"},
      {"\"\xff\xfe\"", "ill-formed UTF-8"},
      {R"({"$dict": [], "$dict": []})", "holds the key \"$dict\" twice"},
      {std::string("1\0 2", 4), "bad JSON 1\\u0000 2: a NUL byte at offset 1"},
      {R"({"$dict": [[{"$array": [1]}, 1]]})", "an array cannot be a key"},
      {"1 2", "syntax error"},
      {"{}", "no value"},
      {R"({"$foo": 1})", R"(unknown key "$foo")"},
      {R"({"$int16": 40000})", "$int16"},
      {R"({"$array": 5})", "list of values"},
      {R"({"$array": null, "lbound": 0})", "never-allocated"},
      // Bounds that leave the 32-bit range, above or (empty, from the lowest index) below.
      {R"({"$array": [1, 2], "lbound": 2147483647})", "lower bound"},
      {R"({"$array": [[1, 2]], "lbound": [0, 2147483647]})", "lower bound"},
      {R"({"$array": [], "lbound": -2147483648})", "lower bound"},
      {R"({"$array": [], "lbound": 2147483648})", "32-bit range"},
      {R"({"$array": [[1]], "lbound": 0})", "holds values, not lists"},
      {R"({"$array": [[1], 2]})", "mixes lists and values"},
      {R"({"$object": "Dictionary"})", "$object"},
      {R"({"$recordset": {"fields": ["A"], "rows": [[1, 2]]}})", "1 values"},
      {R"([{"a": 1, "b": {"a": 2}, "c": 3, "b": 4}])", "holds the key \"b\" twice"},
  };
  for (const auto& [input, message] : bad)
    EXPECT_THAT([&in = input] { ParseValue(in); }, Refused(message)) << input.substr(0, 40);
  const std::string brackets(1000, '[');  // in a string, an escaped quote between them: text
  EXPECT_NO_THROW(ParseValue("\"" + brackets + "\\\"" + brackets + "\""));

  // Built in memory, past anything the parser would let through.
  Json deep = Json(1);
  for (std::size_t i = 0; i < 2 * limit; ++i) deep = Json{{"$array", Json::array({deep})}};
  EXPECT_THAT([&] { FromJson(deep); }, Refused("nest deeper than 256"));
  EXPECT_THAT([&] { FromJson(Json(std::numeric_limits<double>::infinity())); },
              Refused("beyond the range"));
}

// The entry limit holds for the whole text; only a plain bulk request is read compactly.
TEST(JsonCodec, LimitsEntriesAndReadsPlainBulkRequestsCompactly) {
  const Limits ten{10};
  for (const char* fits : {R"({"$array": [1, 2]})", R"({"$dict": [[1, 1], [2, 2]]})",
                           R"({"$array": [[1, 2], [3, 4]], "lbound": [0, 0]})"})
    EXPECT_NO_THROW(ParseValue(fits, ten)) << fits;
  for (const char* over :
       {R"({"$array": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]})",
        R"({"$dict": [[1, 1], [2, 2], [3, 3], [4, 4]]})",
        R"({"$array": [{"$array": [1, 2]}, {"$array": [3, 4]}, {"$array": [5, 6]}]})",
        R"({"$recordset": {"fields": ["A"], "rows": [[1], [2], [3], [4]]}})",
        R"({"$empty": true, "a": [1, 2], "b": [3, 4], "c": [5, 6], "d": 7})"})
    EXPECT_THAT([&] { ParseValue(over, ten); },
                Refused("hold more than 10 entries in all (the limit is set by "
                        "CARVALEN_MAX_ENTRIES)"))
        << over;

  const auto compact = [](const Variant& value) {
    return dynamic_cast<const contract::PricingRequest*>(value.GetObject().get());
  };
  const Variant request =
      ParseValue(R"({"$dict": [[7, {"$array": [5, 10]}], [-3, {"$array": [6, 2.5]}]]})", {}, true);
  const auto* plain = compact(request);
  ASSERT_NE(plain, nullptr);
  ASSERT_EQ(plain->Asks().size(), 2u);
  const auto& ask = plain->Asks()[1];
  EXPECT_EQ(std::tuple(ask.product, ask.partner, ask.quantity), std::tuple(-3, 6, 2.5));
  // An irregular entry, alone or after plain ones, makes a dictionary, quantities' types kept.
  for (const char* irregular :
       {R"(["7", {"$array": [5, 10]}])", R"([7.5, {"$array": [5, 10]}])",
        R"([7, {"$array": [5, 10], "lbound": 1}])", R"([7, {"$array": [5, 10, 1]}])",
        R"([7, {"$array": [5, "10"]}])", R"([7, {"$array": [5.5, 10]}])", R"([7, 5])"}) {
    for (const std::string before :
         {"", R"([1, {"$array": [2, 3]}], [2, {"$array": [2, 3.5]}], )"}) {
      const std::string text = R"({"$dict": [)" + before + irregular + "]}";
      const Variant value = ParseValue(text, {}, true);
      EXPECT_EQ(compact(value), nullptr) << text;
      EXPECT_EQ(Text(value), Text(ParseValue(text))) << text;
    }
  }
  for (const char* twice : {R"({"$dict": [[7, {"$array": [5, 10]}], [7, {"$array": [6, 1]}]]})",
                            R"({"$dict": [[7, {"$array": [5, 10]}], [7, 1]]})"})
    EXPECT_THAT([&] { ParseValue(twice, {}, true); },
                Refused("holds a key twice: entry 1 (counting"))
        << twice;
}

}  // namespace
}  // namespace carvalen::api
