// The landed price of an active line, named directly or found by supplier and product, and how
// failures of the nested price and discount look-ups reach the caller.
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

// Partner 500 has contracts 1 (category 7) and 2 (category 8); product 12 is only under 2.
// Line 1/7 costs 100, less 10 %, plus 8 % tax, freight 5 and handling 2: 104.2.
class EffectivePrice : public LineReadTest {
 protected:
  EffectivePrice() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(1, 500, 7), (2, 500, 8)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, "
        "CONTRACTSTATUS, CURRENCYCODE, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, "
        "FREIGHTCHARGE, HANDLINGCHARGE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, "
        "MINQTYBREAKUP) VALUES "
        "(1, 7, 11, 6, 'EUR', 100, 10, 0, 8, 5, 2, 0, 0, 1), "
        "(1, 9, 11, 6, 'EUR', 100, 0, 10, 8, 5, 2, 0, 0, 1), "
        "(1, 10, 11, 5, 'EUR', 100, 0, 10, 8, 5, 2, 0, 0, 1), "
        "(2, 1, 12, 6, 'GBP', 50, 0, 0, 0, 0, 0, 0, 0, 1), "
        "(1, 20, 13, 6, 'EUR', NULL, 0, 0, 0, 0, 0, 0, 0, 1), "
        "(1, 21, 14, 6, 'EUR', 100, 0, 10, 0, 0, 0, 1, 0, 1)");
  }
};

Variant L(std::int32_t v) { return Variant(v); }
const Variant no = Variant::Missing();

TEST_P(EffectivePrice, ChoosesTheLineAndPricesIt) {
  struct Case {
    const char* name;
    Variant header, line, product, partner, category;
    Variant found_line, found_header;  // Empty: no line qualifies
    double price;
  } const cases[] = {
      {"direct, percentage", L(1), L(7), no, no, no, L(7), L(1), 104.2},
      {"direct keeps the caller's text ids", Variant("1"), Variant("9"), no, no, no, Variant("9"),
       Variant("1"), 104.2},
      {"partner alone is direct mode", L(1), L(7), no, L(999), no, L(7), L(1), 104.2},
      {"supplier ignores the header id, newest line", L(2), no, L(11), L(500), no, L(9), L(1),
       104.2},
      {"only the partner's first contract", no, no, L(12), L(500), no, {}, {}, 0},
      {"category picks the contract", no, no, L(12), L(500), L(8), L(1), L(2), 50},
      {"no break applies: price 0 less the amount", L(1), L(21), no, no, no, L(21), L(1), -10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string currency = "keep";
    DictionaryPtr result = ContractLine().GetEffectivePrice(1, currency, c.header, c.line,
                                                            c.product, c.partner, c.category);
    if (c.found_line.IsEmpty()) {
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(currency, "keep");
      continue;
    }
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(KeysOf(*result), Vs("CONTRACTLINEID", "EFFECTIVEPRICE", "CONTRACTHEADERID"));
    EXPECT_EQ(ElementsOf(Variant(result->Items())), Vs(c.found_line, c.price, c.found_header));
    EXPECT_EQ(currency, c.found_header == L(2) ? "GBP" : "EUR");
  }
}

TEST_P(EffectivePrice, SendsTheStatementsAsWritten) {
  // The statements before the nested price and discount look-ups, which read one line each.
  auto first = [](Variant header, Variant line, Variant product, Variant partner,
                  Variant category) {
    SqlTrace trace;
    std::string currency;
    ContractLine().GetEffectivePrice(1, currency, header, line, product, partner, category);
    std::vector<std::string> queries = trace.Queries();
    queries.resize(queries.size() - std::min<std::size_t>(2, queries.size()));
    return queries;
  };
  const std::string of_partner =
      "SELECT CURRENCYCODE,CONTRACTLINEID,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM "
      "CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND PRODUCTID = 11";
  const std::string headers =
      "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE BUSINESSPARTNERID = 500";
  EXPECT_EQ(first(L(1), L(7), no, no, no),
            std::vector<std::string>{
                "SELECT CURRENCYCODE,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM CONTRACTLINE "
                "WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 7 AND CONTRACTSTATUS = 6"});
  EXPECT_EQ(first(no, no, L(11), L(500), L(7)),
            (std::vector<std::string>{
                headers + " AND CATEGORYID = 7",
                of_partner + " AND CONTRACTSTATUS = 6 ORDER BY CONTRACTLINEID DESC"}));
  EXPECT_EQ(first(no, L(7), L(11), L(500), no),
            (std::vector<std::string>{
                headers, of_partner + " AND CONTRACTLINEID = 7 AND CONTRACTSTATUS = 6"}));
  // Direct without a line id: nothing to look for, no statement at all.
  EXPECT_TRUE(first(L(1), no, no, no, no).empty());
}

TEST_P(EffectivePrice, NestedLookUpsHoldTheirOwnConnectionAndNestTheirErrors) {
  std::string currency;
  {
    SqlTrace trace;
    ContractLine().GetEffectivePrice(1, currency, L(1), L(21));
    int open = 0, most = 0;
    for (const auto& event : trace.Events()) {
      if (event["event"] == "open") most = std::max(most, ++open);
      if (event["event"] == "close") --open;
    }
    EXPECT_EQ(most, 2);  // the operation's own and one nested look-up's at a time
    EXPECT_EQ(open, 0);
  }
  ErrorInfo e = RaisedBy([&] { ContractLine().GetEffectivePrice(1, currency, L(1), L(20)); });
  EXPECT_EQ(e.Number, 94);
  EXPECT_EQ(e.Description,
            ReportHeader(94, "Carvalen.ContractLine.GetEffectivePrice") +
                Reported(94, "Carvalen.ContractLine.GetPrice", "Invalid use of Null") + ".\r\n");
  EXPECT_EQ(db.Log().size(), 2u);
}

CARVALEN_ON_PROVIDERS(EffectivePrice);

}  // namespace
}  // namespace carvalen::test
