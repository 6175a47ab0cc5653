// Discount from a line's own percentage and amount or its discount breaks, the discount-break
// table and its existence check.
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

// Lines 1 and 2 use the breaks 10 (2 %) and 100 (amount 50), from below and from above; lines
// 3 to 5 carry their own percentage and amount.
class Discount : public LineReadTest {
 protected:
  Discount() {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, "
        "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP) VALUES "
        "(1, 1, 'USD', 7, 7, 1, 1), (1, 2, 'USD', 7, 7, NULL, 0), (1, 3, 'USD', 5, 20, 0, NULL), "
        "(1, 4, 'USD', 0, 20, 0, NULL), (1, 5, 'USD', 0, 0, 0, NULL), (1, 6, 'USD', NULL, 1, 0, "
        "0)");
    db.Exec(
        "INSERT INTO CONTRACTDISCOUNT (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, "
        "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT) VALUES (1, 1, 10, 2, 0), (1, 1, 100, 0, 50), "
        "(1, 2, 10, 2, 0), (1, 2, 100, 0, 50)");
  }
};

TEST_P(Discount, PercentageWinsAndNothingLeavesTheFlag) {
  struct Case {
    std::int32_t line;
    std::vector<double> quantities, discounts;
    std::string flags;  // p: percentage (true), a: amount (false), -: left Empty
  } const cases[] = {
      {1, {5, 10, 99, 100}, {0, 2, 2, 50}, "-ppa"},  // from below
      {2, {5, 10, 11, 101}, {2, 2, 50, 0}, "ppa-"},  // from above, NULL means breaks on
      {3, {1}, {5}, "p"},                            // own figures: a percentage wins
      {4, {1}, {20}, "a"},
      {5, {1}, {0}, "-"},
  };
  for (const Case& c : cases) {
    for (std::size_t i = 0; i < c.quantities.size(); ++i) {
      SCOPED_TRACE("line " + std::to_string(c.line) + " quantity " +
                   std::to_string(c.quantities[i]));
      Variant currency, flag;
      EXPECT_EQ(ContractLine().GetDiscount(1, c.line, c.quantities[i], currency, flag),
                c.discounts[i]);
      EXPECT_EQ(flag, c.flags[i] == '-' ? Variant() : Variant(c.flags[i] == 'p'));
      EXPECT_EQ(currency, Variant("USD"));
    }
  }
}

TEST_P(Discount, BreakTableAndStatements) {
  ContractLine line;
  std::string code;
  Variant currency, flag;
  SqlTrace trace;
  line.GetDiscount(1, 1, 99.5, currency, flag);
  line.GetDiscount(1, 2, 1e-05, currency, flag);
  DictionaryPtr breaks = line.GetDiscountBreakUp(1, 1, code);
  EXPECT_TRUE(line.ContractDiscountBreakUpExists(1, 1));
  const std::string w = " WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = ";
  const std::string read =
      "SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,"
      "INCLUDEDISCOUNTBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE" +
      w;
  const std::string of_breaks =
      "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT" + w;
  EXPECT_EQ(trace.Queries(),
            (std::vector<std::string>{
                read + "1",
                of_breaks + "1 AND QUANTITY <= 99.5 ORDER BY QUANTITY DESC",
                read + "2",
                of_breaks + "2 AND QUANTITY >= 1e-05 ORDER BY QUANTITY ASC",
                "SELECT CURRENCYCODE FROM CONTRACTLINE" + w + "1",
                "SELECT QUANTITY,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT" + w + "1",
                "SELECT QUANTITY FROM CONTRACTDISCOUNT" + w + "1",
            }));
  EXPECT_EQ(code, "USD");
  // Number keys, where the price breaks have text keys.
  EXPECT_EQ(KeysOf(*breaks), Vs(1, 2));
  EXPECT_EQ(ElementsOf(breaks->Item(Variant(2))), Vs(100.0, 0.0, 50.0));
  EXPECT_FALSE(line.ContractDiscountBreakUpExists(1, 3));
}

TEST_P(Discount, ReportsFailuresUnderItsName) {
  for (auto [line, number, description] :
       {std::tuple{99, errnum::kLineMissing, kGenericDescription},
        std::tuple{6, 94, "Invalid use of Null"}}) {
    Variant currency, flag;
    ErrorInfo e =
        ReportedOnce([&, line = line] { ContractLine().GetDiscount(1, line, 1, currency, flag); });
    EXPECT_EQ(e.Description, Reported(number, "Carvalen.ContractLine.GetDiscount", description));
  }
}

CARVALEN_ON_PROVIDERS(Discount);

}  // namespace
}  // namespace carvalen::test
