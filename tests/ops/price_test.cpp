// Unit price from a line's own price or its price breaks, the price-break table and its
// existence check.
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

// Lines 1 and 2 of contract 1 have the breaks 10 (9), 50 (8) and 100 (7), from below and (with a
// NULL flag, which means on) from above; line 3 has a break but switched off. The line's own
// PRICE 99 must never leak into a break price. Lines 4 and 5 have NULLs that fail.
class Price : public LineReadTest {
 protected:
  Price() {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
        "INCLUDEPRICEBREAKUP, MINQTYBREAKUP) VALUES (1, 1, 'EUR', 99, 1, 1), "
        "(1, 2, 'EUR', 99, NULL, 0), (1, 3, 'EUR', 99, 0, NULL), (1, 4, NULL, NULL, 0, NULL), "
        "(1, 5, 'EUR', 1, 1, NULL)");
    db.Exec(
        "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) VALUES "
        "(1, 1, 10, 9), (1, 1, 50, 8), (1, 1, 100, 7), (1, 2, 10, 9), (1, 2, 50, 8), "
        "(1, 2, 100, 7), (1, 3, 10, 9)");
  }
};

TEST_P(Price, PicksTheBreakTheQuantityEarns) {
  constexpr double F = 42.5;  // the caller's fall-back when no break applies
  struct Case {
    std::int32_t line;
    std::vector<double> quantities, prices;
  } const cases[] = {
      {1, {5, 10, 49.5, 50, 1000}, {F, 9, 9, 8, 7}},  // from below: the greatest break <= Q
      {2, {5, 10, 10.5, 100, 101}, {9, 9, 8, 7, F}},  // from above: the least break >= Q
      {3, {5}, {99}},                                 // breaks off: the line's own price
  };
  for (const Case& c : cases) {
    for (std::size_t i = 0; i < c.quantities.size(); ++i) {
      Variant currency;
      double fall_back = F;
      EXPECT_EQ(ContractLine().GetPrice(1, c.line, c.quantities[i], currency, fall_back),
                c.prices[i])
          << "line " << c.line << " quantity " << c.quantities[i];
      EXPECT_EQ(currency, Variant("EUR"));
    }
  }
  Variant currency;
  EXPECT_EQ(ContractLine().GetPrice(1, 1, 5, currency), 0.0);  // fall-back omitted
}

TEST_P(Price, BreakTableAndStatements) {
  ContractLine line;
  std::string code = "x";
  Variant currency;
  SqlTrace trace;
  line.GetPrice(1, 1, 49.5, currency);
  line.GetPrice(1, 2, 10, currency);
  DictionaryPtr breaks = line.GetPriceBreakup(1, 2, code);
  EXPECT_TRUE(line.ContractPriceBreakUpExists(1, 2));
  const std::string w = " WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = ";
  const std::string read =
      "SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE" + w;
  EXPECT_EQ(
      trace.Queries(),
      (std::vector<std::string>{
          read + "1",
          "SELECT PRICE FROM CONTRACTPRICE" + w + "1 AND QUANTITY <= 49.5 ORDER BY QUANTITY DESC",
          read + "2",
          "SELECT PRICE FROM CONTRACTPRICE" + w + "2 AND QUANTITY >= 10 ORDER BY QUANTITY ASC",
          "SELECT CURRENCYCODE FROM CONTRACTLINE" + w + "2",
          "SELECT QUANTITY,PRICE FROM CONTRACTPRICE" + w + "2",
          "SELECT QUANTITY FROM CONTRACTPRICE" + w + "2",
      }));
  EXPECT_EQ(code, "EUR");
  EXPECT_EQ(KeysOf(*breaks), Vs("1", "2", "3"));
  EXPECT_EQ(ElementsOf(breaks->Item(Variant("2"))), Vs(50.0, 8.0));
  // A line that does not exist is no error: no currency, no breaks.
  EXPECT_EQ(line.GetPriceBreakup(1, 99, code)->Count(), 0);
  EXPECT_EQ(code, "");
  EXPECT_TRUE(line.ContractPriceBreakUpExists(1, 3));  // breaks off, rows still there
  EXPECT_FALSE(line.ContractPriceBreakUpExists(1, 4));
}

TEST_P(Price, ReportsFailuresUnderItsName) {
  struct Case {
    std::int32_t line, number;
    std::string description;
    Variant currency;  // written before the price is decided; a missing line leaves it alone
  } const cases[] = {
      {99, errnum::kLineMissing, kGenericDescription, Variant("untouched")},
      {4, 94, "Invalid use of Null", Variant::Null()},  // NULL PRICE, breaks off
      {5, 94, "Invalid use of Null", Variant("EUR")},   // NULL MINQTYBREAKUP, breaks on
  };
  for (const Case& c : cases) {
    Variant currency("untouched");
    ErrorInfo e = ReportedOnce([&] { ContractLine().GetPrice(1, c.line, 10, currency); });
    EXPECT_EQ(e.Description, Reported(c.number, "Carvalen.ContractLine.GetPrice", c.description));
    EXPECT_EQ(currency, c.currency) << "line " << c.line;
  }
}

CARVALEN_ON_PROVIDERS(Price);

}  // namespace
}  // namespace carvalen::test
