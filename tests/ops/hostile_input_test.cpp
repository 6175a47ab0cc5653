// Hostile text through the text parameters stays data; a NUL or non-finite double is refused.
#include <gmock/gmock.h>

#include <fmt/format.h>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using api::Json;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// In one pass: the texts reach a MiB, and replacing in place would move the rest at every quote.
std::string Sql(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// Quotes, backslashes, placeholders and comment openers, line breaks and Unicode, and 1 MiB.
std::vector<std::string> HostileTexts() {
  std::string large;
  while (large.size() < (std::size_t{1} << 20)) large += "'\\;--/*\"";
  return {"x'; DROP TABLE CONTRACTLINE; --", "back\\slash\\' \\", "$1 $$ ? :name %s /* */ ;",
          "line\nbreak\r\ttab \u00dcn\u00efc\u00f8de \u2713 \U0001d11e \u202e", large};
}

constexpr const char* kUnknown = "NOSUCHTEXT";

struct Call : api::CallOutcome {
  std::vector<std::string> queries;
};

Call CallTraced(const std::string& target, const std::string& arguments) {
  SqlTrace trace;
  return {{api::CallWithJson(target, arguments)}, trace.Queries()};
}

// The rows a stored-text call found: entries of a dictionary, a true Boolean, marked cells.
int Hits(const std::string& doc) {
  const Json result = Json::parse(doc).at("result");
  if (result.is_boolean()) return result.get<bool>();
  if (result.contains("$dict")) return static_cast<int>(result.at("$dict").size());
  return static_cast<int>((doc.size() - Replaced(doc, "\"HIT\"", "").size()) / 5);
}

// Whether the text reaches SQL with a row holding it; PostgreSQL indexes hold no text of 2.7 kB.
enum Stored { kNotSql, kIndexed, kUnindexed };

struct TextParameter {
  const char* target;
  Stored stored;
  const char* arguments;  // "H": the header id of the text's rows; "T": the text
};

const TextParameter kTextParameters[] = {
    {"Contract.GetContractLineDetails", kIndexed,
     R"({"i_lContractHeaderID": "H", "i_sBuyerId": "T"})"},
    // Not here: part numbers alone, attachment types, field-name lists and BIS ids, whose
    // statements (and refusals) the operations' own tests check.
    {"Contract.GetContractLineIdforProduct", kIndexed,
     R"({"i_sProductPartNumber": "T", "i_lBusinessPartnerId": "H"})"},
    {"Contract.GetActiveContractLinesForBuyer", kIndexed, R"({"i_sBuyerId": "T"})"},
    {"Contract.GetContractUserDataPerSupplier", kUnindexed,
     R"({"i_aContractHeaderIds": {"$array": ["H"]}, "i_aContractLineIds": {"$array": [1]},
         "i_aBusinessPartnerIds": {"$array": ["H"]}, "i_lBPArrayIndex": 0,
         "i_aContractUserDefinedFields": {"$array": ["T"]}})"},
    // A field name goes to the catalog as a restriction, never into SQL.
    {"ContractLine.GetContractFieldValue", kNotSql,
     R"({"i_lContractHeaderID": "H", "i_lContractLineID": 1, "i_sField": "T"})"},
    // Numbers as text: a bulk request's keys and partners.
    {"Contract.GetActiveContractLinesProc", kNotSql,
     R"({"i_oDicBPProductQuan": {"$dict": [["T", {"$array": [1, 1.0]}]]}})"},
    {"Contract.GetActiveContractLinesProc", kNotSql,
     R"({"i_oDicBPProductQuan": {"$dict": [["H", {"$array": ["T", 1.0]}]]}})"},
};

// The call with "H" in its arguments replaced by the header id and "T" (also as a key) by the text.
Call CallWith(const TextParameter& p, int header, const std::string& text) {
  const std::string with_header = Replaced(p.arguments, "\"H\"", std::to_string(header));
  return CallTraced(p.target, Replaced(with_header, "\"T\"", Json(text).dump()));
}

constexpr std::size_t kIndexable = 2000;

// A host's utilities component that formats whatever it gets, as a careless one might.
class LaxUtilities final : public IUtilities {
 public:
  std::string FormatSqlNumber(std::int32_t value) override { return std::to_string(value); }
  std::string FormatSqlDouble(double value) override { return std::to_string(value); }
  std::string QuoteSqlString(const std::string& value) override { return "'" + value + "'"; }
  std::string FormatSqlDate(Date value) override { return "'" + value.ToText() + "'"; }
  std::string ClassName() const override { return kUtilitiesName; }
};

class HostileInput : public LineReadTest {};

TEST_P(HostileInput, TextStaysDataAndNulOrNonFiniteDoublesAreRefusedBeforeTheirStatement) {
  const std::vector<std::string> texts = HostileTexts();
  // Text k is stored, in each column a parameter searches, under header and partner 900 + k.
  for (int k = 0; k < static_cast<int>(texts.size()); ++k) {
    const std::string id = std::to_string(900 + k), text = Sql(texts[k]);
    const std::string indexable = texts[k].size() < kIndexable ? text : "NULL";
    db.Exec(fmt::format(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES ({0}, {0}); "
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, PRODUCTPARTNUMBER, "
        "BUYERID, CONTRACTSTATUS) VALUES ({0}, 1, {0}, {1}, {1}, 6); INSERT INTO CONTRACTUSERDATA "
        "(CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, VALUE) VALUES ({0}, 1, {2}, 'HIT')",
        id, indexable, text));
  }
  for (const TextParameter& parameter : kTextParameters) {
    for (int k = 0; k < static_cast<int>(texts.size()); ++k) {
      const std::string& text = texts[k];
      const std::string label = std::string(parameter.target) + " text " + std::to_string(k);
      Call ordinary = CallWith(parameter, 900 + k, kUnknown);
      const Call hostile = CallWith(parameter, 900 + k, text);
      for (std::string& query : ordinary.queries) query = Replaced(query, Sql(kUnknown), Sql(text));
      // Compared whole, printed short: a statement may hold the 1 MiB text.
      EXPECT_TRUE(hostile.queries == ordinary.queries)
          << label << ": " << (hostile.queries.empty() ? "" : hostile.queries[0].substr(0, 300));
      if (parameter.stored != kNotSql) {
        ASSERT_EQ(ordinary.status, api::kCallOk) << label << ordinary.text.substr(0, 300);
        ASSERT_EQ(hostile.status, api::kCallOk) << label << hostile.text.substr(0, 300);
        EXPECT_EQ(Hits(ordinary.text), 0) << label;
        EXPECT_EQ(Hits(hostile.text),
                  parameter.stored == kIndexed && text.size() >= kIndexable ? 0 : 1)
            << label;
      } else {
        EXPECT_EQ(hostile.status, ordinary.status) << label;
        EXPECT_TRUE(hostile.text == ordinary.text) << label << ": " << hostile.text.substr(0, 300)
                                                   << " vs " << ordinary.text.substr(0, 300);
      }
    }
  }
  // Breaks let the quantity reach SQL; a NUL stops before any statement, a double before its own.
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
      "PRICE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP, CURRENCYCODE) "
      "VALUES (1, 1, 5, 6, 10, 1, 1, 1, 'EUR'); INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, "
      "BUSINESSPARTNERID) VALUES (1, 1); INSERT INTO CONTRACTPRICE VALUES (1, 1, 10, 9); "
      "INSERT INTO CONTRACTDISCOUNT VALUES (1, 1, 10, 5, 0)");
  const std::string line = R"("i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": )";
  const std::pair<const char*, std::string> cases[] = {
      {"Contract.GetActiveContractLinesForBuyer", R"({"i_sBuyerId": "a\u0000b"})"},
      {"ContractLine.GetPrice", "{" + line + R"({"$double": "NaN"}})"},
      {"ContractLine.GetDiscount", "{" + line + R"({"$double": "-Infinity"}})"},
      // Bulk pricing (product 5: partner 1, quantity) formats with the library's own component.
      {"Contract.GetActiveContractLinesProc",
       R"({"i_oDicBPProductQuan": {"$dict": [[5, {"$array": [1, {"$double": "NaN"}]}]]}})"},
  };
  // Under a careless host's component: the library refuses them itself (its own: Utilities).
  ComponentOverride host(kUtilitiesName, [] { return std::make_shared<LaxUtilities>(); });
  for (const auto& [target, arguments] : cases) {
    const std::string label = std::string(target) + " " + arguments;
    const Call call = CallTraced(target, arguments);
    ASSERT_EQ(call.status, api::kCallFailed) << label << call.text;
    EXPECT_EQ(Json::parse(call.text).at("error").at("number"), 5) << label;
    EXPECT_THAT(call.text, ::testing::HasSubstr("Invalid procedure call or argument")) << label;
    EXPECT_TRUE(call.queries.empty() || arguments.find("u0000") == std::string::npos) << label;
    EXPECT_THAT(call.queries,
                ::testing::Each(::testing::Not(::testing::ContainsRegex("QUANTITY [<>]="))))
        << label;
  }
}

CARVALEN_ON_PROVIDERS(HostileInput);

}  // namespace
}  // namespace carvalen::test
