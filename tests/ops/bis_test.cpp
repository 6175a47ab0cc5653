// Back-end integration records of a line: the four statement forms, the items, and the
// transaction-ignore flag.
#include <gmock/gmock.h>

#include "ops/line_reads.hpp"

namespace carvalen::test {
namespace {

class ContractBis : public LineReadTest {
 protected:
  ContractBis() {
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
};

const std::string kLine = "CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3";
const Variant no = Variant::Missing();

TEST_P(ContractBis, EachCombinationOfOptionalsHasItsOwnStatement) {
  const struct {
    Variant status, bis;
    std::string where;
    std::vector<std::int32_t> found;
  } cases[] = {
      {no, no, kLine, {7, 8, 9, 10}},
      {Variant(1), no, kLine + " And EXPORTSTATUS = 1", {8, 9}},
      {Variant(1.5), no, kLine + " And EXPORTSTATUS = 2", {7, 10}},  // rounds to even
      {Variant(), no, kLine + " And EXPORTSTATUS = 0", {}},          // supplied, even if Empty
      {no, Variant(9), "BISID = 9 AND " + kLine, {9}},
      {Variant(2), Variant(7), "BISID = 7 AND " + kLine + " AND EXPORTSTATUS = 2", {7}},
      // With both, the BIS id is written as its own text, not rounded through a 32-bit integer.
      {Variant(2), Variant(7.0), "BISID = 7 AND " + kLine + " AND EXPORTSTATUS = 2", {7}},
      {Variant(2), Variant("+7.0"), "BISID = +7.0 AND " + kLine + " AND EXPORTSTATUS = 2", {7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.status) + ", " + ::testing::PrintToString(c.bis));
    SqlTrace trace;
    const DictionaryPtr result = ContractLine().GetContractBIS(12, 3, c.status, c.bis);
    std::vector<std::int32_t> ids;
    for (const auto& [key, item] : result->Entries()) ids.push_back(item.GetArray().At(0).ToLong());
    EXPECT_THAT(ids, ::testing::UnorderedElementsAreArray(c.found));
    EXPECT_EQ(trace.Queries(),
              std::vector<std::string>{"SELECT * FROM CONTRACTLINEBIS WHERE " + c.where});
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(ContractBis, ItemsCarryThirteenColumnsWithTextNullsEmptied) {
  const DictionaryPtr result = ContractLine().GetContractBIS(12, 3, Variant(2), no);
  EXPECT_EQ(KeysOf(*result), Vs("1", "2"));
  const DictionaryPtr open = ContractLine().GetContractBIS(12, 3, Variant(1), Variant(8));
  EXPECT_EQ(ElementsOf(open->Item(Variant("1"))),
            Vs(8, 1, "", "", "", Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null(),
               0, "", "", ""));
  const DictionaryPtr full = ContractLine().GetContractBIS(12, 3, no, Variant(7));
  EXPECT_EQ(ElementsOf(full->Item(Variant("1"))),
            Vs(7, 2, "BH7", "BL7", "none", 5.0, 4.0, 50.5, 40.0, 1, "P7", "C7", "D7"));
}

TEST_P(ContractBis, OptionalsThatDoNotConvertFailBeforeAnythingIsSent) {
  const struct {
    Variant status, bis;
    std::int32_t number;
  } cases[] = {
      {Variant::Null(), no, 94},
      {Variant(1e10), no, 6},
      {no, Variant("seven"), 13},
      // With both supplied the BIS id reaches the text unformatted: only a plain number passes.
      {Variant(1), Variant("7 OR 1=1"), 13},
      {Variant(1), Variant(), 13},
  };
  auto text = [](std::int32_t number) {
    return number == 94 ? "Invalid use of Null" : number == 6 ? "Overflow" : "Type mismatch";
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.status) + ", " + ::testing::PrintToString(c.bis));
    db.ClearLog();
    SqlTrace trace;
    const ErrorInfo error =
        RaisedBy([&] { ContractLine().GetContractBIS(12, 3, c.status, c.bis); });
    EXPECT_EQ(error.Description,
              Reported(c.number, "Carvalen.ContractLine.GetContractBIS", text(c.number)));
    EXPECT_TRUE(trace.Queries().empty());
    EXPECT_EQ(db.Log().size(), 1u);
  }
}

TEST_P(ContractBis, TransactionIgnoreReadsTheFlagOfOneRecord) {
  ContractLine line;
  {
    SqlTrace trace;
    EXPECT_TRUE(line.GetBISTransactionIgnore(7, 12, 3));
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{"SELECT PREVENTTRANSACTION FROM "
                                                        "CONTRACTLINEBIS WHERE BISID = 7 AND " +
                                                        kLine});
  }
  EXPECT_FALSE(line.GetBISTransactionIgnore(8, 12, 3));
  EXPECT_TRUE(line.GetBISTransactionIgnore(9, 12, 3));  // any non-zero value
  EXPECT_TRUE(db.Log().empty());
  constexpr auto kMissing = static_cast<std::int32_t>(0x8004040Cu);
  const struct {
    std::int32_t bis, number;
    const char* description;
  } cases[] = {{10, 94, "Invalid use of Null"},
               {99, kMissing, kGenericDescription},
               {20, kMissing, kGenericDescription}};  // 20: a record of another line
  for (const auto& c : cases) {
    db.ClearLog();
    const ErrorInfo error = RaisedBy([&] { line.GetBISTransactionIgnore(c.bis, 12, 3); });
    EXPECT_EQ(error.Source, "Carvalen");
    EXPECT_EQ(error.Description,
              Reported(c.number, "Carvalen.ContractLine.GetBISTransactionIgnore", c.description));
    EXPECT_EQ(db.Log().size(), 1u);
  }
}

CARVALEN_ON_PROVIDERS(ContractBis);

}  // namespace
}  // namespace carvalen::test
