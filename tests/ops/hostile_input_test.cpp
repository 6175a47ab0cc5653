// Hostile caller text through every operation parameter that carries text, on each provider:
// quotes, backslashes, comments, semicolons, Unicode and a 1 MiB string stay data. A parameter
// that reaches SQL finds exactly the row stored with that text; one that never reaches SQL (a field
// name, a number given as text) answers as an ordinary unknown value does. Either way the
// statements sent are the ordinary ones with only the quoted literal changed. A NUL character or a
// non-finite double is refused with 5 before a statement holding it is sent, whatever utilities
// component the host registered.
#include <gmock/gmock.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using api::Json;

std::string Sql(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// One text per way a literal can break out of its quotes or be mangled on its way: quotes with
// a semicolon and a comment, backslashes before a quote and alone, placeholders and comment
// openers, line breaks with Unicode (a 4-byte clef, a right-to-left override), and 1 MiB.
std::vector<std::string> HostileTexts() {
  std::string large;
  while (large.size() < (std::size_t{1} << 20)) large += "'\\;--/*\"";
  return {"x'; DROP TABLE CONTRACTLINE; --", "back\\slash\\' \\", "$1 $$ ? :name %s /* */ ;",
          "line\nbreak\r\ttab \u00dcn\u00efc\u00f8de \u2713 \U0001d11e \u202e", large};
}

constexpr const char* kUnknown = "NOSUCHTEXT";

struct Call {
  int status;
  std::string document;
  std::vector<std::string> queries;
};

Call CallTraced(const std::string& target, const Json& arguments) {
  SqlTrace trace;
  const api::CallOutcome outcome = api::CallWithJson(target, arguments.dump());
  return {outcome.status, outcome.text, trace.Queries()};
}

// The rows a stored-text call found: entries of a dictionary, a true Boolean, marked cells.
int Hits(const std::string& document) {
  const Json result = Json::parse(document).at("result");
  if (result.is_boolean()) return result.get<bool>() ? 1 : 0;
  if (result.contains("$dict")) return static_cast<int>(result.at("$dict").size());
  int marked = 0;
  for (std::size_t at = document.find("\"HIT\""); at != std::string::npos;
       at = document.find("\"HIT\"", at + 1)) {
    ++marked;
  }
  return marked;
}

struct TextParameter {
  const char* target;
  // Reaches SQL as a literal and a row holding each text exists, except for texts too long for an
  // indexed column (PostgreSQL's index rows hold about 2.7 kB), which no stored row can hold.
  bool stored;
  const char* arguments;  // "H": the header id of the text's rows; "T": the text
};

const TextParameter kTextParameters[] = {
    {"Contract.GetContractLineDetails", true, R"({"i_lContractHeaderID": "H", "i_sBuyerId": "T"})"},
    {"Contract.GetContractLineDetails", true,
     R"({"i_lContractHeaderID": "H", "i_sProductPartNumber": "T"})"},
    {"Contract.GetContractLineIdforProduct", true, R"({"i_sProductPartNumber": "T"})"},
    {"Contract.GetContractLineIdforProduct", true,
     R"({"i_sProductPartNumber": "T", "i_lBusinessPartnerId": "H"})"},
    {"Contract.GetActiveContractLinesForBuyer", true, R"({"i_sBuyerId": "T"})"},
    {"ContractLine.ContractLineAttachmentExists", true, R"({"i_sAttachmentTypeCode": "T"})"},
    {"Contract.GetContractUserDataPerSupplier", true,
     R"({"i_aContractHeaderIds": {"$array": ["H"]}, "i_aContractLineIds": {"$array": [1]},
         "i_aBusinessPartnerIds": {"$array": ["H"]}, "i_lBPArrayIndex": 0,
         "i_aContractUserDefinedFields": {"$array": ["T"]}})"},
    // Field names read columns by name and go to the catalog as restrictions, never into SQL.
    {"ContractLine.GetContractFieldValue", false,
     R"({"i_lContractHeaderID": "H", "i_lContractLineID": 1, "i_sField": "T"})"},
    {"Contract.GetActiveContractLines", false,
     R"({"i_aContractFields": {"$array": ["T"]}, "i_lContractHeaderID": "H"})"},
    {"ContractLine.GetEligibleContractsForRFQCreation", false,
     R"({"i_aContractFields": {"$array": ["T"]}})"},
    {"Contract.getActiveContractLineFieldsperSupplier", false,
     R"({"i_lProductId": "H", "i_aBusinessPartnerIds": {"$array": ["H"]},
         "i_aContractLineFieldNames": {"$array": ["T"]}})"},
    // Numbers given as text: the BIS id (written as its own text when both optionals are
    // given) and the partner and product of a bulk request.
    {"ContractLine.GetContractBIS", false,
     R"({"i_lContractHeaderID": "H", "i_lContractLineID": 1, "i_nContractExportStatus": 1,
         "i_lBISId": "T"})"},
    {"ContractLine.GetContractBIS", false,
     R"({"i_lContractHeaderID": "H", "i_lContractLineID": 1, "i_lBISId": "T"})"},
    {"Contract.GetActiveContractLinesProc", false,
     R"({"i_oDicBPProductQuan": {"$dict": {"T": {"$array": [1, 1.0]}}}})"},
    {"Contract.GetActiveContractLinesProc", false,
     R"({"i_oDicBPProductQuan": {"$dict": [["H", {"$array": ["T", 1.0]}]]}})"},
};

// The pattern with the string "H" replaced by the header id, and "T" (also as a key) by the text.
Json Arguments(const Json& pattern, int header, const std::string& text) {
  if (pattern == "H") return header;
  if (pattern == "T") return text;
  Json filled = pattern;
  if (pattern.is_object()) {
    filled = Json::object();
    for (const auto& [key, value] : pattern.items()) {
      filled[key == "T" ? text : key] = Arguments(value, header, text);
    }
  } else if (pattern.is_array()) {
    for (Json& item : filled) item = Arguments(item, header, text);
  }
  return filled;
}

constexpr std::size_t kIndexable = 2000;

// The columns behind these parameters are indexed; the user-data code is not.
bool Indexed(const TextParameter& parameter) {
  return std::string_view(parameter.target) != "Contract.GetContractUserDataPerSupplier";
}

// The statements of the ordinary call with its literal replaced by the hostile one.
std::vector<std::string> WithLiteral(std::vector<std::string> queries, const std::string& text) {
  const std::string from = Sql(kUnknown);
  const std::string to = Sql(text);
  for (std::string& query : queries) {
    for (std::size_t at = query.find(from); at != std::string::npos;
         at = query.find(from, at + to.size())) {
      query.replace(at, from.size(), to);
    }
  }
  return queries;
}

class HostileInput : public LineReadTest {
 protected:
  // Text k is stored, in each column a parameter searches, under header and partner 900 + k.
  void StoreTexts(const std::vector<std::string>& texts) {
    for (int k = 0; k < static_cast<int>(texts.size()); ++k) {
      const std::string id = std::to_string(900 + k);
      const std::string text = Sql(texts[k]);
      const std::string indexable = texts[k].size() < kIndexable ? text : "NULL";
      db.Exec("INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES (" + id +
              ", " + id + ")");
      db.Exec(
          "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, "
          "PRODUCTPARTNUMBER, BUYERID, CONTRACTSTATUS) VALUES (" +
          id + ", 1, " + id + ", " + indexable + ", " + indexable + ", 6)");
      db.Exec(
          "INSERT INTO CONTRACTATTACHMENT (ATTACHMENTID, CONTRACTHEADERID, CONTRACTLINEID, "
          "ATTACHMENTTYPECODE) VALUES (" +
          id + ", " + id + ", 1, " + indexable + ")");
      db.Exec(
          "INSERT INTO CONTRACTUSERDATA (CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, VALUE) "
          "VALUES (" +
          id + ", 1, " + text + ", 'HIT')");
    }
  }
};

TEST_P(HostileInput, TextStaysData) {
  const std::vector<std::string> texts = HostileTexts();
  StoreTexts(texts);
  int calls = 0;
  for (const TextParameter& parameter : kTextParameters) {
    for (int k = 0; k < static_cast<int>(texts.size()); ++k) {
      const std::string& text = texts[k];
      const std::string label = std::string(parameter.target) + " text " + std::to_string(k);
      const Call ordinary = CallTraced(
          parameter.target, Arguments(Json::parse(parameter.arguments), 900 + k, kUnknown));
      const Call hostile =
          CallTraced(parameter.target, Arguments(Json::parse(parameter.arguments), 900 + k, text));
      ++calls;
      // Compared whole, printed short: a statement may hold the 1 MiB text.
      EXPECT_TRUE(hostile.queries == WithLiteral(ordinary.queries, text))
          << label << ": " << (hostile.queries.empty() ? "" : hostile.queries[0].substr(0, 300));
      if (parameter.stored) {
        ASSERT_EQ(ordinary.status, api::kCallOk) << label << ordinary.document.substr(0, 300);
        ASSERT_EQ(hostile.status, api::kCallOk) << label << hostile.document.substr(0, 300);
        EXPECT_EQ(Hits(ordinary.document), 0) << label;
        EXPECT_EQ(Hits(hostile.document), Indexed(parameter) && text.size() >= kIndexable ? 0 : 1)
            << label;
      } else {
        EXPECT_EQ(hostile.status, ordinary.status) << label;
        EXPECT_TRUE(hostile.document == ordinary.document)
            << label << ": " << hostile.document.substr(0, 300) << " vs "
            << ordinary.document.substr(0, 300);
      }
    }
  }
  EXPECT_EQ(calls, 15 * 5);
}

// A host's utilities component that formats whatever it gets, as a careless one might.
class LaxUtilities final : public IUtilities {
 public:
  std::string FormatSqlNumber(std::int32_t value) override { return std::to_string(value); }
  std::string FormatSqlDouble(double value) override { return std::to_string(value); }
  std::string QuoteSqlString(const std::string& value) override { return "'" + value + "'"; }
  std::string FormatSqlDate(Date value) override { return "'" + value.ToText() + "'"; }
  std::string ClassName() const override { return kUtilitiesName; }
};

TEST_P(HostileInput, NulAndNonFiniteDoublesAreRefusedBeforeTheirStatement) {
  // A line with price and discount breaks, so that the quantity reaches SQL.
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
      "PRICE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP, CURRENCYCODE) "
      "VALUES (1, 1, 5, 6, 10, 1, 1, 1, 'EUR')");
  db.Exec("INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES (1, 1)");
  db.Exec("INSERT INTO CONTRACTPRICE VALUES (1, 1, 10, 9)");
  db.Exec("INSERT INTO CONTRACTDISCOUNT VALUES (1, 1, 10, 5, 0)");
  const std::string line = R"("i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": )";
  const struct {
    const char* target;
    std::string arguments;
    bool no_statement;  // else: the statements before the value's, none with it
  } cases[] = {
      {"Contract.GetActiveContractLinesForBuyer", R"({"i_sBuyerId": "a\u0000b"})", true},
      {"Contract.GetContractLineIdforProduct", R"({"i_sProductPartNumber": "a\u0000b"})", true},
      {"ContractLine.ContractLineAttachmentExists", R"({"i_sAttachmentTypeCode": "a\u0000b"})",
       true},
      {"Contract.GetContractLineDetails", R"({"i_lContractHeaderID": 1, "i_sBuyerId": "a\u0000b"})",
       true},
      {"ContractLine.GetPrice", "{" + line + R"({"$double": "NaN"}})", false},
      {"ContractLine.GetPrice", "{" + line + R"({"$double": "Infinity"}})", false},
      {"ContractLine.GetDiscount", "{" + line + R"({"$double": "-Infinity"}})", false},
      {"ContractLine.GetEffectivePrice", "{" + line + R"({"$double": "NaN"}})", false},
      // Bulk pricing (product 5: partner 1, quantity) formats with the library's own component.
      {"Contract.GetActiveContractLinesProc",
       R"({"i_oDicBPProductQuan": {"$dict": [[5, {"$array": [1, {"$double": "NaN"}]}]]}})", false},
  };
  for (const bool lax : {false, true}) {
    std::optional<ComponentOverride> host;
    if (lax) host.emplace(kUtilitiesName, [] { return std::make_shared<LaxUtilities>(); });
    for (const auto& c : cases) {
      const std::string label =
          std::string(c.target) + (lax ? " (lax utilities) " : " ") + c.arguments;
      const Call call = CallTraced(c.target, Json::parse(c.arguments));
      ASSERT_EQ(call.status, api::kCallFailed) << label << call.document;
      EXPECT_EQ(Json::parse(call.document).at("error").at("number"), 5) << label;
      EXPECT_THAT(call.document, ::testing::HasSubstr("Invalid procedure call or argument"))
          << label;
      if (c.no_statement) {
        EXPECT_THAT(call.queries, ::testing::IsEmpty()) << label;
      }
      for (const std::string& query : call.queries) {
        EXPECT_THAT(query, ::testing::Not(::testing::HasSubstr("QUANTITY <="))) << label;
        EXPECT_THAT(query, ::testing::Not(::testing::HasSubstr("QUANTITY >="))) << label;
        EXPECT_EQ(query.find('\0'), std::string::npos) << label;
      }
    }
  }
}

CARVALEN_ON_PROVIDERS(HostileInput);

}  // namespace
}  // namespace carvalen::test
