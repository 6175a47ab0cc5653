// The landed price of an active line, named directly or found by supplier and product, and how
// failures of the nested price and discount look-ups reach the caller.
#include <gtest/gtest.h>

#include "carvalen/component.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/interfaces.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

const std::string kOp = "Carvalen.ContractLine.GetEffectivePrice";
// Price 100, 10 off, tax 8, freight 5, handling 2, in the order the operation computes it.
const double kLanded = (100.0 - 10.0) * (1 + 8.0 / 100) + 5.0 + 2.0;

// Partner 500 has contracts 1 (category 7) and 2 (category 8); product 12 is only under 2.
void Seed(test::ContractDb& db) {
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

Variant L(std::int32_t v) { return Variant(v); }

class EffectivePrice : public ::testing::TestWithParam<test::Provider> {};

TEST_P(EffectivePrice, ChoosesTheLineAndPricesIt) {
  test::ContractDb db(GetParam());
  Seed(db);
  const Variant no = Variant::Missing();
  struct Case {
    const char* name;
    Variant header, line, product, partner, category;
    Variant found_line, found_header;  // Empty: no line qualifies
    double price;
  } const cases[] = {
      {"direct, percentage", L(1), L(7), no, no, no, L(7), L(1), kLanded},
      {"direct keeps the caller's text ids", Variant("1"), Variant("9"), no, no, no, Variant("9"),
       Variant("1"), kLanded},
      {"partner alone is direct mode", L(1), L(7), no, L(999), no, L(7), L(1), kLanded},
      {"supplier ignores the header id, newest line", L(2), no, L(11), L(500), no, L(9), L(1),
       kLanded},
      {"supplier narrowed by line", no, L(7), L(11), L(500), no, L(7), L(1), kLanded},
      {"only the partner's first contract", no, no, L(12), L(500), no, {}, {}, 0},
      {"category picks the contract", no, no, L(12), L(500), L(8), L(1), L(2), 50},
      {"inactive line, direct", L(1), L(10), no, no, no, {}, {}, 0},
      {"inactive line, supplier", no, L(10), L(11), L(500), no, {}, {}, 0},
      {"direct without a line id", L(1), no, no, no, no, {}, {}, 0},
      {"unknown partner", no, no, L(11), L(501), no, {}, {}, 0},
      {"no break applies: price 0 less the amount", L(1), L(21), no, no, no, L(21), L(1), -10},
  };
  for (const Case& c : cases) {
    test::NoConnectionLeft check;
    std::string currency = "keep";
    DictionaryPtr result = ContractLine().GetEffectivePrice(1, currency, c.header, c.line,
                                                            c.product, c.partner, c.category);
    if (c.found_line.IsEmpty()) {
      EXPECT_EQ(result, nullptr) << c.name;
      EXPECT_EQ(currency, "keep") << c.name;
      continue;
    }
    ASSERT_NE(result, nullptr) << c.name;
    EXPECT_EQ(test::KeysOf(*result),
              (std::vector<Variant>{Variant("CONTRACTLINEID"), Variant("EFFECTIVEPRICE"),
                                    Variant("CONTRACTHEADERID")}));
    EXPECT_EQ(result->Item(Variant("CONTRACTLINEID")), c.found_line) << c.name;
    EXPECT_EQ(result->Item(Variant("EFFECTIVEPRICE")), Variant(c.price)) << c.name;
    EXPECT_EQ(result->Item(Variant("CONTRACTHEADERID")), c.found_header) << c.name;
    EXPECT_EQ(currency, c.found_header == L(2) ? "GBP" : "EUR") << c.name;
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(EffectivePrice, SendsTheStatementsAsWritten) {
  test::ContractDb db(GetParam());
  Seed(db);
  const std::string line_of_partner =
      "SELECT CURRENCYCODE,CONTRACTLINEID,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM "
      "CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND PRODUCTID = 11";
  const std::string headers =
      "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE BUSINESSPARTNERID = 500";
  const Variant no = Variant::Missing();
  struct Case {
    Variant header, line, product, partner, category;
    std::vector<std::string> first_queries;
  } const cases[] = {
      {L(1),
       L(7),
       no,
       no,
       no,
       {"SELECT CURRENCYCODE,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM CONTRACTLINE WHERE "
        "CONTRACTHEADERID = 1 AND CONTRACTLINEID = 7 AND CONTRACTSTATUS = 6"}},
      {no,
       no,
       L(11),
       L(500),
       L(7),
       {headers + " AND CATEGORYID = 7",
        line_of_partner + " AND CONTRACTSTATUS = 6 ORDER BY CONTRACTLINEID DESC"}},
      {no,
       L(7),
       L(11),
       L(500),
       no,
       {headers, line_of_partner + " AND CONTRACTLINEID = 7 AND CONTRACTSTATUS = 6"}},
      {L(1), no, no, no, no, {}},  // nothing to look for: no statement at all
  };
  for (const Case& c : cases) {
    test::SqlTrace trace;
    std::string currency;
    ContractLine().GetEffectivePrice(1, currency, c.header, c.line, c.product, c.partner,
                                     c.category);
    std::vector<std::string> queries = trace.Queries();
    // Then one line read each by the nested price and discount look-ups.
    ASSERT_EQ(queries.size(), c.first_queries.empty() ? 0 : c.first_queries.size() + 2);
    queries.resize(c.first_queries.size());
    EXPECT_EQ(queries, c.first_queries);
  }
}

// Records how many connections are open whenever a quantity is formatted, which only the nested
// break look-ups do.
class CountingUtilities : public IUtilities {
 public:
  CountingUtilities(std::shared_ptr<IUtilities> real, std::vector<std::int64_t>* seen)
      : real_(std::move(real)), seen_(seen) {}
  std::string FormatSqlNumber(std::int32_t v) override { return real_->FormatSqlNumber(v); }
  std::string FormatSqlDouble(double v) override {
    seen_->push_back(db::OpenConnectionCount());
    return real_->FormatSqlDouble(v);
  }
  std::string QuoteSqlString(const std::string& v) override { return real_->QuoteSqlString(v); }
  std::string FormatSqlDate(Date v) override { return real_->FormatSqlDate(v); }
  std::string ClassName() const override { return "CountingUtilities"; }

 private:
  std::shared_ptr<IUtilities> real_;
  std::vector<std::int64_t>* seen_;
};

TEST_P(EffectivePrice, NestedCallsHoldTheirOwnConnection) {
  test::ContractDb db(GetParam());
  Seed(db);
  std::vector<std::int64_t> seen;
  auto real = CreateObject(kUtilitiesName);
  ComponentOverride counting(kUtilitiesName, [&] {
    return ObjectPtr(std::make_shared<CountingUtilities>(Variant(real).As<IUtilities>(), &seen));
  });
  const std::int64_t before = db::OpenConnectionCount();
  std::string currency;
  ContractLine().GetEffectivePrice(1, currency, L(1), L(21));
  EXPECT_EQ(seen, std::vector<std::int64_t>{before + 2});
  EXPECT_EQ(db::OpenConnectionCount(), before);
}

TEST_P(EffectivePrice, NestedFailureCarriesBothHeaders) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  std::string currency;
  ErrorInfo e = test::RaisedBy([&] { ContractLine().GetEffectivePrice(1, currency, L(1), L(20)); });
  EXPECT_EQ(e.Number, 94);
  EXPECT_EQ(e.Description,
            test::ReportHeader(94, kOp) +
                test::Reported(94, "Carvalen.ContractLine.GetPrice", "Invalid use of Null") +
                ".\r\n");
  EXPECT_EQ(db.Log().size(), 2u);
}

TEST_P(EffectivePrice, CallsByNameAndWritesBack) {
  test::ContractDb db(GetParam());
  Seed(db);
  ContractLine line;
  std::vector<Variant> args = {Variant(1.0), Variant(), L(1), L(7)};
  DictionaryPtr found = line.Invoke("GetEffectivePrice", args).As<Dictionary>();
  EXPECT_EQ(found->Item(Variant("EFFECTIVEPRICE")), Variant(kLanded));
  EXPECT_EQ(args[1], Variant("EUR"));
  std::vector<Variant> none = {Variant(1.0), Variant("keep")};
  EXPECT_TRUE(line.Invoke("GetEffectivePrice", none).IsNothing());
  EXPECT_EQ(none[1], Variant("keep"));
}

INSTANTIATE_TEST_SUITE_P(Providers, EffectivePrice, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
