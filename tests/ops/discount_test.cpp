// Discount from a line's own percentage and amount or its discount breaks, the discount-break
// table and its existence check.
#include <gtest/gtest.h>

#include "carvalen/contract_line.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

// Lines 1 and 2 use the breaks 10 (2 %) and 100 (amount 50), from below and from above; lines
// 3 to 5 carry their own percentage and amount.
void Seed(test::ContractDb& db) {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, "
      "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP) VALUES "
      "(1, 1, 'USD', 7, 7, 1, 1), (1, 2, 'USD', 7, 7, NULL, 0), (1, 3, 'USD', 5, 20, 0, NULL), "
      "(1, 4, 'USD', 0, 20, 0, NULL), (1, 5, 'USD', 0, 0, 0, NULL), "
      "(1, 6, 'USD', NULL, 1, 0, 0)");
  for (const char* line : {"1", "2"}) {
    db.Exec(std::string("INSERT INTO CONTRACTDISCOUNT (CONTRACTHEADERID, CONTRACTLINEID, "
                        "QUANTITY, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT) VALUES (1, ") +
            line + ", 10, 2, 0), (1, " + line + ", 100, 0, 50)");
  }
}

class Discount : public ::testing::TestWithParam<test::Provider> {};

TEST_P(Discount, PercentageWinsAndNothingLeavesTheFlag) {
  test::ContractDb db(GetParam());
  Seed(db);
  const Variant pct(true), amount(false), untouched;  // the flag goes in Empty
  struct Case {
    std::int32_t line;
    double quantity;
    double expected;
    Variant flag;
  } const cases[] = {{1, 5, 0, untouched},
                     {1, 10, 2, pct},
                     {1, 99, 2, pct},
                     {1, 100, 50, amount},
                     {1, 5000, 50, amount},
                     {2, 5, 2, pct},
                     {2, 10, 2, pct},
                     {2, 11, 50, amount},
                     {2, 100, 50, amount},
                     {2, 101, 0, untouched},
                     {3, 1, 5, pct},  // own figures: the amount is ignored
                                      // when there is a percentage
                     {4, 1, 20, amount},
                     {5, 1, 0, untouched}};
  for (const Case& c : cases) {
    test::NoConnectionLeft check;
    Variant currency, flag;
    EXPECT_EQ(ContractLine().GetDiscount(1, c.line, c.quantity, currency, flag), c.expected)
        << "line " << c.line << " quantity " << c.quantity;
    EXPECT_EQ(flag, c.flag) << "line " << c.line << " quantity " << c.quantity;
    EXPECT_EQ(currency, Variant("USD"));
  }
}

TEST_P(Discount, SendsTheStatementsAsWritten) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::SqlTrace trace;
  Variant currency, flag;
  ContractLine line;
  line.GetDiscount(1, 1, 99.5, currency, flag);
  line.GetDiscount(1, 2, 1e-05, currency, flag);
  std::string code;
  line.GetDiscountBreakUp(1, 1, code);
  line.ContractDiscountBreakUpExists(1, 1);
  const std::string read =
      "SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,INCLUDEDISCOUNTBREAKUP,MINQTYBREAKUP "
      "FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = ";
  const std::string breaks =
      "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT WHERE CONTRACTHEADERID = 1 "
      "AND CONTRACTLINEID = ";
  EXPECT_EQ(trace.Queries(),
            (std::vector<std::string>{
                read + "1", breaks + "1 AND QUANTITY <= 99.5 ORDER BY QUANTITY DESC", read + "2",
                breaks + "2 AND QUANTITY >= 1e-05 ORDER BY QUANTITY ASC",
                "SELECT CURRENCYCODE FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND "
                "CONTRACTLINEID = 1",
                "SELECT QUANTITY,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT WHERE "
                "CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1",
                "SELECT QUANTITY FROM CONTRACTDISCOUNT WHERE CONTRACTHEADERID = 1 AND "
                "CONTRACTLINEID = 1"}));
}

TEST_P(Discount, ReportsFailuresUnderItsName) {
  test::ContractDb db(GetParam());
  Seed(db);
  struct Case {
    std::int32_t line;
    std::int32_t number;
    std::string description;
  } const cases[] = {{99, errnum::kLineMissing, kGenericDescription},
                     {6, 94, "Invalid use of Null"}};
  for (const Case& c : cases) {
    db.ClearLog();
    test::NoConnectionLeft check;
    Variant currency, flag;
    ErrorInfo e = test::RaisedBy([&] { ContractLine().GetDiscount(1, c.line, 1, currency, flag); });
    EXPECT_EQ(e.Description,
              test::Reported(c.number, "Carvalen.ContractLine.GetDiscount", c.description));
    EXPECT_EQ(db.Log().size(), 1u);
  }
}

TEST_P(Discount, ListsBreaksUnderNumberKeys) {
  test::ContractDb db(GetParam());
  Seed(db);
  std::string code;
  DictionaryPtr breaks = ContractLine().GetDiscountBreakUp(1, 1, code);
  EXPECT_EQ(code, "USD");
  EXPECT_EQ(test::KeysOf(*breaks),
            (std::vector<Variant>{Variant(std::int32_t{1}), Variant(std::int32_t{2})}));
  EXPECT_EQ(test::ElementsOf(breaks->Item(Variant(std::int32_t{2}))),
            (std::vector<Variant>{Variant(100.0), Variant(0.0), Variant(50.0)}));
  EXPECT_FALSE(breaks->Exists(Variant("1")));
  EXPECT_EQ(ContractLine().GetDiscountBreakUp(1, 99, code)->Count(), 0);
  EXPECT_EQ(code, "");
  EXPECT_TRUE(ContractLine().ContractDiscountBreakUpExists(1, 2));
  EXPECT_FALSE(ContractLine().ContractDiscountBreakUpExists(1, 3));
}

TEST_P(Discount, CallsByNameAndWritesBack) {
  test::ContractDb db(GetParam());
  Seed(db);
  ContractLine line;
  const Variant h(std::int32_t{1});
  std::vector<Variant> args = {h, Variant(std::int32_t{4}), Variant(1.0), Variant(), Variant()};
  EXPECT_EQ(line.Invoke("GetDiscount", args), Variant(20.0));
  EXPECT_EQ(args[3], Variant("USD"));
  EXPECT_EQ(args[4], Variant(false));
  std::vector<Variant> breakup = {h, h, Variant()};
  EXPECT_EQ(line.Invoke("GetDiscountBreakUp", breakup).As<Dictionary>()->Count(), 2);
  EXPECT_EQ(breakup[2], Variant("USD"));
  std::vector<Variant> exists = {h, h};
  EXPECT_EQ(line.Invoke("ContractDiscountBreakUpExists", exists), Variant(true));
}

INSTANTIATE_TEST_SUITE_P(Providers, Discount, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
