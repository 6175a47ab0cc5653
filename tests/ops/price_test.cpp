// Unit price from a line's own price or its price breaks, the price-break table and its
// existence check.
#include <gtest/gtest.h>

#include "carvalen/contract_line.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

using test::Reported;

const std::string kLineCols =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
    "INCLUDEPRICEBREAKUP, MINQTYBREAKUP) VALUES ";

// Lines 1..6 of contract 1; the line's own PRICE 99 must never leak into a break price.
void Seed(test::ContractDb& db) {
  db.Exec(kLineCols +
          "(1, 1, 'EUR', 99, 1, 1), (1, 2, 'EUR', 99, 1, 0), (1, 3, 'EUR', 99, 0, NULL), "
          "(1, 4, 'EUR', 99, NULL, 1), (1, 5, 'EUR', 99, 1, 1), (1, 6, NULL, NULL, 0, 0)");
  for (int line : {1, 2, 3, 4}) {
    db.Exec(
        "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) "
        "VALUES (1, " +
        std::to_string(line) + ", 10, 9), (1, " + std::to_string(line) + ", 50, 8), (1, " +
        std::to_string(line) + ", 100, 7)");
  }
}

class Price : public ::testing::TestWithParam<test::Provider> {};

TEST_P(Price, PicksTheBreakTheQuantityEarns) {
  test::ContractDb db(GetParam());
  Seed(db);
  constexpr double kFallBack = 42.5;
  struct Case {
    std::int32_t line;
    double quantity;
    double expected;
  } const cases[] = {
      // From below (MINQTYBREAKUP true): the greatest break <= Q.
      {1, 5, kFallBack},
      {1, 10, 9},
      {1, 49.5, 9},
      {1, 50, 8},
      {1, 1000, 7},
      // From above (false): the least break >= Q.
      {2, 5, 9},
      {2, 10, 9},
      {2, 10.5, 8},
      {2, 100, 7},
      {2, 101, kFallBack},
      // Breaks off: the line's price, a NULL MINQTYBREAKUP is harmless. NULL means breaks on.
      {3, 5, 99},
      {3, 1000, 99},
      {4, 49.5, 9},
      // Breaks on and none stored: the fall-back, not the line's price.
      {5, 50, kFallBack}};
  for (const Case& c : cases) {
    test::NoConnectionLeft check;
    Variant currency;
    double fall_back = kFallBack;
    EXPECT_EQ(ContractLine().GetPrice(1, c.line, c.quantity, currency, fall_back), c.expected)
        << "line " << c.line << " quantity " << c.quantity;
    EXPECT_EQ(currency, Variant("EUR"));
  }
  Variant currency;
  EXPECT_EQ(ContractLine().GetPrice(1, 5, 50, currency), 0.0);  // fall-back omitted
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(Price, SendsTheStatementsAsWritten) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::SqlTrace trace;
  Variant currency;
  ContractLine line;
  line.GetPrice(1, 1, 49.5, currency);
  line.GetPrice(1, 2, 10, currency);
  std::string code;
  line.GetPriceBreakup(1, 2, code);
  line.ContractPriceBreakUpExists(1, 2);
  const std::string read =
      "SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE WHERE "
      "CONTRACTHEADERID = 1 AND CONTRACTLINEID = ";
  EXPECT_EQ(trace.Queries(),
            (std::vector<std::string>{
                read + "1",
                "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1 "
                "AND QUANTITY <= 49.5 ORDER BY QUANTITY DESC",
                read + "2",
                "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 2 "
                "AND QUANTITY >= 10 ORDER BY QUANTITY ASC",
                "SELECT CURRENCYCODE FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND "
                "CONTRACTLINEID = 2",
                "SELECT QUANTITY,PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = 1 AND "
                "CONTRACTLINEID = 2",
                "SELECT QUANTITY FROM CONTRACTPRICE WHERE CONTRACTHEADERID = 1 AND "
                "CONTRACTLINEID = 2"}));
  // The currency look-up of the break table runs on the operation's own connection.
  std::vector<std::int64_t> conns;
  for (const auto& e : trace.Events()) {
    if (e["event"] == "query") conns.push_back(e["conn"].get<std::int64_t>());
  }
  ASSERT_EQ(conns.size(), 7u);
  EXPECT_EQ(conns[4], conns[5]);
}

TEST_P(Price, ReportsFailuresUnderItsName) {
  test::ContractDb db(GetParam());
  Seed(db);
  db.Exec(kLineCols + "(1, 7, 'EUR', NULL, 1, 1), (1, 8, 'EUR', 1, 1, NULL)");
  const std::string get_price = "Carvalen.ContractLine.GetPrice";
  struct Case {
    std::int32_t line;
    std::int32_t number;
    std::string description;
    Variant currency;  // written before the price is decided; a missing line leaves it alone
  } const cases[] = {
      {99, errnum::kLineMissing, kGenericDescription, Variant("untouched")},
      {6, 94, "Invalid use of Null", Variant::Null()},  // NULL PRICE, breaks off
      {8, 94, "Invalid use of Null", Variant("EUR")},   // NULL MINQTYBREAKUP, breaks on
  };
  for (const Case& c : cases) {
    db.ClearLog();
    test::NoConnectionLeft check;
    Variant currency("untouched");
    ErrorInfo e = test::RaisedBy([&] { ContractLine().GetPrice(1, c.line, 10, currency); });
    EXPECT_EQ(e.Number, c.number);
    EXPECT_EQ(e.Description, Reported(c.number, get_price, c.description));
    EXPECT_EQ(db.Log().size(), 1u);
    EXPECT_EQ(currency, c.currency) << "line " << c.line;
  }
  std::string code;
  ErrorInfo e = test::RaisedBy([&] { ContractLine().GetPriceBreakup(1, 6, code); });
  EXPECT_EQ(e.Description,
            Reported(94, "Carvalen.ContractLine.GetPriceBreakup", "Invalid use of Null"));
}

TEST_P(Price, ListsBreaksUnderTextKeys) {
  test::ContractDb db(GetParam());
  Seed(db);
  std::string code = "x";
  DictionaryPtr breaks = ContractLine().GetPriceBreakup(1, 1, code);
  EXPECT_EQ(code, "EUR");
  EXPECT_EQ(test::KeysOf(*breaks),
            (std::vector<Variant>{Variant("1"), Variant("2"), Variant("3")}));
  EXPECT_EQ(test::ElementsOf(breaks->Item(Variant("2"))),
            (std::vector<Variant>{Variant(50.0), Variant(8.0)}));
  EXPECT_FALSE(breaks->Exists(Variant(std::int32_t{1})));
  // A line that does not exist is no error: no currency, no breaks.
  EXPECT_EQ(ContractLine().GetPriceBreakup(1, 99, code)->Count(), 0);
  EXPECT_EQ(code, "");
  EXPECT_TRUE(ContractLine().ContractPriceBreakUpExists(1, 3));  // breaks off, rows still there
  EXPECT_FALSE(ContractLine().ContractPriceBreakUpExists(1, 5));
}

TEST_P(Price, CallsByNameAndWritesBack) {
  test::ContractDb db(GetParam());
  Seed(db);
  ContractLine line;
  std::vector<Variant> args = {Variant(std::int32_t{1}), Variant(std::int32_t{1}), Variant(5.0),
                               Variant()};
  EXPECT_EQ(line.Invoke("GetPrice", args), Variant(0.0));  // omitted fall-back is 0
  EXPECT_EQ(args[3], Variant("EUR"));
  std::vector<Variant> with_fall_back = {Variant(std::int32_t{1}), Variant(std::int32_t{1}),
                                         Variant(5.0), Variant(), Variant(3.5)};
  EXPECT_EQ(line.Invoke("getprice", with_fall_back), Variant(3.5));
  EXPECT_EQ(with_fall_back[4], Variant(3.5));  // read, never written

  std::vector<Variant> breakup = {Variant(std::int32_t{1}), Variant(std::int32_t{2}), Variant()};
  EXPECT_EQ(line.Invoke("GetPriceBreakup", breakup).As<Dictionary>()->Count(), 3);
  EXPECT_EQ(breakup[2], Variant("EUR"));
  std::vector<Variant> exists = {Variant(std::int32_t{1}), Variant(std::int32_t{5})};
  EXPECT_EQ(line.Invoke("ContractPriceBreakUpExists", exists), Variant(false));
}

INSTANTIATE_TEST_SUITE_P(Providers, Price, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
