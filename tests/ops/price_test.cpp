// Unit price from a line's own price or its price breaks, the price-break table and its
// existence check.
#include "ops/line_reads.hpp"

namespace carvalen::test {
namespace {

const std::string kLineCols =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
    "INCLUDEPRICEBREAKUP, MINQTYBREAKUP) VALUES ";

// Lines 1..6 of contract 1; the line's own PRICE 99 must never leak into a break price. Lines 1
// to 4 have the breaks 10 (9), 50 (8) and 100 (7).
class Price : public LineReadTest {
 protected:
  Price() {
    db.Exec(kLineCols +
            "(1, 1, 'EUR', 99, 1, 1), (1, 2, 'EUR', 99, 1, 0), (1, 3, 'EUR', 99, 0, NULL), "
            "(1, 4, 'EUR', 99, NULL, 1), (1, 5, 'EUR', 99, 1, 1), (1, 6, NULL, NULL, 0, 0)");
    for (const std::string l : {"1", "2", "3", "4"}) {
      db.Exec(
          "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) VALUES "
          "(1, " +
          l + ", 10, 9), (1, " + l + ", 50, 8), (1, " + l + ", 100, 7)");
    }
  }
};

TEST_P(Price, PicksTheBreakTheQuantityEarns) {
  constexpr double F = 42.5;  // the caller's fall-back
  struct Case {
    std::int32_t line;
    std::vector<double> quantities, prices;
  } const cases[] = {
      {1, {5, 10, 49.5, 50, 1000}, {F, 9, 9, 8, 7}},  // from below: the greatest break <= Q
      {2, {5, 10, 10.5, 100, 101}, {9, 9, 8, 7, F}},  // from above: the least break >= Q
      {3, {5}, {99}},                                 // breaks off: the line's own price
      {4, {49.5}, {9}},                               // NULL INCLUDEPRICEBREAKUP means on
      {5, {50}, {F}},                                 // on, but no break stored
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
  EXPECT_EQ(ContractLine().GetPrice(1, 5, 50, currency), 0.0);  // fall-back omitted
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(Price, BreakTableAndStatements) {
  ContractLine line;
  std::string code = "x";
  {
    SqlTrace trace;
    Variant currency;
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
  }
  // A line that does not exist is no error: no currency, no breaks.
  EXPECT_EQ(line.GetPriceBreakup(1, 99, code)->Count(), 0);
  EXPECT_EQ(code, "");
  EXPECT_TRUE(line.ContractPriceBreakUpExists(1, 3));  // breaks off, rows still there
  EXPECT_FALSE(line.ContractPriceBreakUpExists(1, 5));
}

TEST_P(Price, ReportsFailuresUnderItsName) {
  db.Exec(kLineCols + "(1, 8, 'EUR', 1, 1, NULL)");
  struct Case {
    std::int32_t line, number;
    std::string description;
    Variant currency;  // written before the price is decided; a missing line leaves it alone
  } const cases[] = {
      {99, errnum::kLineMissing, kGenericDescription, Variant("untouched")},
      {6, 94, "Invalid use of Null", Variant::Null()},  // NULL PRICE, breaks off
      {8, 94, "Invalid use of Null", Variant("EUR")},   // NULL MINQTYBREAKUP, breaks on
  };
  for (const Case& c : cases) {
    db.ClearLog();
    Variant currency("untouched");
    ErrorInfo e = RaisedBy([&] { ContractLine().GetPrice(1, c.line, 10, currency); });
    EXPECT_EQ(e.Description, Reported(c.number, "Carvalen.ContractLine.GetPrice", c.description));
    EXPECT_EQ(db.Log().size(), 1u);
    EXPECT_EQ(currency, c.currency) << "line " << c.line;
  }
  std::string code;
  ErrorInfo e = RaisedBy([&] { ContractLine().GetPriceBreakup(1, 6, code); });
  EXPECT_EQ(e.Description,
            Reported(94, "Carvalen.ContractLine.GetPriceBreakup", "Invalid use of Null"));
}

CARVALEN_ON_PROVIDERS(Price);

}  // namespace
}  // namespace carvalen::test
