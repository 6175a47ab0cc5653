// Back-end integration records of a line: the four statement forms, the items, and the
// transaction-ignore flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "carvalen/contract_line.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

using test::Reported;
using test::Show;

constexpr const char* kBisName = "Carvalen.ContractLine.GetContractBIS";
constexpr const char* kIgnoreName = "Carvalen.ContractLine.GetBISTransactionIgnore";

void Seed(test::ContractDb& db) {
  db.Exec(
      "INSERT INTO CONTRACTLINEBIS (BISID, CONTRACTHEADERID, CONTRACTLINEID, EXPORTSTATUS, "
      "BACKENDHEADERID, BACKENDLINEID, ERRORFIELD, CALLEDQUANTITY, INVOICEDQUANTITY, "
      "CALLEDVALUE, INVOICEDVALUE, PREVENTTRANSACTION, PRICESERIES, CONTRACTSERIES, "
      "DISCOUNTSERIES) VALUES "
      "(7, 12, 3, 2, 'BH7', 'BL7', 'none', 5, 4, 50.5, 40, 1, 'P7', 'C7', 'D7'), "
      "(8, 12, 3, 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, NULL), "
      "(9, 12, 3, 1, 'BH9', 'BL9', 'failed', 1, 1, 1, 1, 5, 'P9', 'C9', 'D9'), "
      "(10, 12, 3, 2, 'BH10', 'BL10', '', 0, 0, 0, 0, NULL, '', '', ''), "
      "(20, 12, 4, 1, 'BH20', 'BL20', '', 0, 0, 0, 0, 1, '', '', '')");
}

std::vector<std::int32_t> BisIds(const Dictionary& result) {
  std::vector<std::int32_t> ids;
  for (const auto& [key, item] : result.Entries()) ids.push_back(item.GetArray().At(0).ToLong());
  std::sort(ids.begin(), ids.end());
  return ids;
}

const std::string kByLine =
    "SELECT * FROM CONTRACTLINEBIS WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3";

class ContractBis : public ::testing::TestWithParam<test::Provider> {};

TEST_P(ContractBis, EachCombinationOfOptionalsHasItsOwnStatement) {
  test::ContractDb db(GetParam());
  Seed(db);
  const Variant missing = Variant::Missing();
  const struct {
    const char* label;
    Variant status, bis;
    std::string sql;
    std::vector<std::int32_t> found;
  } cases[] = {
      {"neither", missing, missing, kByLine, {7, 8, 9, 10}},
      {"status only", Variant(1), missing, kByLine + " And EXPORTSTATUS = 1", {8, 9}},
      {"status as text", Variant("2"), missing, kByLine + " And EXPORTSTATUS = 2", {7, 10}},
      {"status 1.5 rounds to even",
       Variant(1.5),
       missing,
       kByLine + " And EXPORTSTATUS = 2",
       {7, 10}},
      // Supplied, even if Empty: the status piece is there, with Empty as 0.
      {"status Empty", Variant(), missing, kByLine + " And EXPORTSTATUS = 0", {}},
      {"BIS id only",
       missing,
       Variant(9),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = 9 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3",
       {9}},
      {"BIS id of another line",
       missing,
       Variant("20"),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = 20 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3",
       {}},
      {"both",
       Variant(2),
       Variant(7),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = 7 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3 AND EXPORTSTATUS = 2",
       {7}},
      {"both, BIS id as text",
       Variant(1),
       Variant("8"),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = 8 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3 AND EXPORTSTATUS = 1",
       {8}},
      // The BIS id is written as its own text here, not rounded through a 32-bit integer.
      {"both, BIS id a Double",
       Variant(2),
       Variant(7.0),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = 7 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3 AND EXPORTSTATUS = 2",
       {7}},
      {"both, BIS id signed with a point",
       Variant(2),
       Variant("+7.0"),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = +7.0 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3 AND EXPORTSTATUS = 2",
       {7}},
      {"both, status of another record",
       Variant(1),
       Variant(7),
       "SELECT * FROM CONTRACTLINEBIS WHERE BISID = 7 AND CONTRACTHEADERID = 12 AND "
       "CONTRACTLINEID = 3 AND EXPORTSTATUS = 1",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    test::SqlTrace trace;
    test::NoConnectionLeft check;
    const DictionaryPtr result = ContractLine().GetContractBIS(12, 3, c.status, c.bis);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(BisIds(*result), c.found);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{c.sql});
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(ContractBis, ItemsCarryThirteenColumnsWithTextNullsEmptied) {
  test::ContractDb db(GetParam());
  Seed(db);
  const DictionaryPtr result = ContractLine().GetContractBIS(12, 3, Variant(2), Variant::Missing());
  ASSERT_EQ(test::KeysOf(*result), (std::vector<Variant>{Variant("1"), Variant("2")}));
  EXPECT_FALSE(result->Exists(Variant(1)));

  const DictionaryPtr open = ContractLine().GetContractBIS(12, 3, Variant(1), Variant(8));
  ASSERT_EQ(open->Count(), 1);
  EXPECT_EQ(
      test::ElementsOf(open->Item(Variant("1"))),
      (std::vector<Variant>{Variant(8), Variant(1), Variant(""), Variant(""), Variant(""),
                            Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null(),
                            Variant(0), Variant(""), Variant(""), Variant("")}));
  const DictionaryPtr full = ContractLine().GetContractBIS(12, 3, Variant::Missing(), Variant(7));
  ASSERT_EQ(full->Count(), 1);
  EXPECT_EQ(
      test::ElementsOf(full->Item(Variant("1"))),
      (std::vector<Variant>{Variant(7), Variant(2), Variant("BH7"), Variant("BL7"), Variant("none"),
                            Variant(5.0), Variant(4.0), Variant(50.5), Variant(40.0), Variant(1),
                            Variant("P7"), Variant("C7"), Variant("D7")}));
}

TEST_P(ContractBis, OptionalsThatDoNotConvertFailBeforeAnythingIsSent) {
  test::ContractDb db(GetParam());
  Seed(db);
  const Variant missing = Variant::Missing();
  const struct {
    const char* label;
    Variant status, bis;
    std::int32_t number;
    const char* description;
  } cases[] = {
      {"status Null", Variant::Null(), missing, 94, "Invalid use of Null"},
      {"status not a number", Variant("open"), missing, 13, "Type mismatch"},
      {"status too large", Variant(1e10), missing, 6, "Overflow"},
      {"BIS id not a number", missing, Variant("seven"), 13, "Type mismatch"},
      // With both supplied the BIS id reaches the text unformatted: only a plain number passes.
      {"BIS id carrying SQL", Variant(1), Variant("7 OR 1=1"), 13, "Type mismatch"},
      {"BIS id with an exponent", Variant(1), Variant("7e0"), 13, "Type mismatch"},
      {"BIS id with blanks", Variant(1), Variant(" 7"), 13, "Type mismatch"},
      {"BIS id two points", Variant(1), Variant("7.0.0"), 13, "Type mismatch"},
      {"BIS id only a sign", Variant(1), Variant("-"), 13, "Type mismatch"},
      {"BIS id a Boolean", Variant(1), Variant(true), 13, "Type mismatch"},
      {"BIS id Empty", Variant(1), Variant(), 13, "Type mismatch"},
      {"BIS id Null", Variant(1), Variant::Null(), 13, "Type mismatch"},
      {"BIS id large Double", Variant(1), Variant(1e20), 13, "Type mismatch"},
      {"status bad, BIS id fine", Variant("x"), Variant(7), 13, "Type mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    db.ClearLog();
    test::SqlTrace trace;
    test::NoConnectionLeft check;
    const ErrorInfo error =
        test::RaisedBy([&] { ContractLine().GetContractBIS(12, 3, c.status, c.bis); });
    EXPECT_EQ(error.Number, c.number);
    EXPECT_EQ(error.Description,
              Reported(static_cast<std::uint32_t>(c.number), kBisName, c.description));
    EXPECT_TRUE(trace.Queries().empty());
    EXPECT_EQ(db.Log().size(), 1u);
  }
}

TEST_P(ContractBis, TransactionIgnoreReadsTheFlagOfOneRecord) {
  test::ContractDb db(GetParam());
  Seed(db);
  const struct {
    std::int32_t bis, header, line;
    bool ignore;
    std::int32_t error;
  } cases[] = {
      {7, 12, 3, true, 0},
      {8, 12, 3, false, 0},
      {9, 12, 3, true, 0},  // any non-zero value
      {10, 12, 3, false, 94},
      {99, 12, 3, false, static_cast<std::int32_t>(0x8004040Cu)},
      {20, 12, 3, false, static_cast<std::int32_t>(0x8004040Cu)},  // a record of another line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bis);
    db.ClearLog();
    test::SqlTrace trace;
    test::NoConnectionLeft check;
    ContractLine line;
    if (c.error == 0) {
      EXPECT_EQ(line.GetBISTransactionIgnore(c.bis, c.header, c.line), c.ignore);
      EXPECT_TRUE(db.Log().empty());
    } else {
      const ErrorInfo error =
          test::RaisedBy([&] { line.GetBISTransactionIgnore(c.bis, c.header, c.line); });
      EXPECT_EQ(error.Number, c.error);
      EXPECT_EQ(error.Source, "Carvalen");
      EXPECT_EQ(error.Description,
                Reported(static_cast<std::uint32_t>(c.error), kIgnoreName,
                         c.error == 94 ? "Invalid use of Null"
                                       : "Application-defined or object-defined error"));
      EXPECT_EQ(db.Log().size(), 1u);
    }
    EXPECT_EQ(trace.Queries(),
              std::vector<std::string>{
                  "SELECT PREVENTTRANSACTION FROM CONTRACTLINEBIS WHERE BISID = " +
                  std::to_string(c.bis) + " AND CONTRACTHEADERID = " + std::to_string(c.header) +
                  " AND CONTRACTLINEID = " + std::to_string(c.line)});
  }
}

TEST_P(ContractBis, LateBoundCallsLeaveOmittedOptionalsMissing) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::SqlTrace trace;
  ContractLine cl;
  std::vector<Variant> two{Variant(12), Variant(3)};
  EXPECT_EQ(cl.Invoke("getcontractbis", two).As<Dictionary>()->Count(), 4);
  std::vector<Variant> three{Variant(12), Variant(3), Variant(1)};
  EXPECT_EQ(cl.Invoke("GetContractBIS", three).As<Dictionary>()->Count(), 2);
  std::vector<Variant> four{Variant(12), Variant(3), Variant(2), Variant(7)};
  EXPECT_EQ(cl.Invoke("GetContractBIS", four).As<Dictionary>()->Count(), 1);
  std::vector<Variant> ignore{Variant(7), Variant("12"), Variant(3)};
  EXPECT_EQ(cl.Invoke("GETBISTRANSACTIONIGNORE", ignore), Variant(true));
  const auto queries = trace.Queries();
  ASSERT_EQ(queries.size(), 4u);
  EXPECT_EQ(queries[0], kByLine);
  EXPECT_EQ(queries[1], kByLine + " And EXPORTSTATUS = 1");
}

INSTANTIATE_TEST_SUITE_P(Providers, ContractBis, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
