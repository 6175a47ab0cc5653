// Back-end integration records of a line: the four statement forms, the items, and the
// transaction-ignore flag.
#include <gmock/gmock.h>

#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

// Records 7 and 10 (status 2), 8 and 9 (status 1) of line 12/3; record 8 is NULL where it may be.
class ContractBis : public LineReadTest {
 protected:
  ContractBis() {
    db.Exec(
        "INSERT INTO CONTRACTLINEBIS (BISID, CONTRACTHEADERID, CONTRACTLINEID, EXPORTSTATUS, "
        "BACKENDHEADERID, BACKENDLINEID, ERRORFIELD, CALLEDQUANTITY, INVOICEDQUANTITY, "
        "CALLEDVALUE, INVOICEDVALUE, PREVENTTRANSACTION, PRICESERIES, CONTRACTSERIES, "
        "DISCOUNTSERIES) VALUES (7, 12, 3, 2, 'BH7', 'BL7', 'none', 5, 4, 50.5, 40, 1, 'P7', "
        "'C7', 'D7')");
    db.Exec(
        "INSERT INTO CONTRACTLINEBIS (BISID, CONTRACTHEADERID, CONTRACTLINEID, EXPORTSTATUS, "
        "PREVENTTRANSACTION) VALUES (8, 12, 3, 1, 0), (9, 12, 3, 1, 5), (10, 12, 3, 2, NULL)");
  }
};

const std::string kLine = "CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3";
const Variant no = Variant::Missing();

TEST_P(ContractBis, EachCombinationOfOptionalsHasItsOwnStatement) {
  const struct {
    Variant status, bis;
    std::string where;
    std::vector<Variant> found;
  } cases[] = {
      {no, no, kLine, Vs(7, 8, 9, 10)},
      {Variant(1), no, kLine + " And EXPORTSTATUS = 1", Vs(8, 9)},
      {Variant(), no, kLine + " And EXPORTSTATUS = 0", {}},  // supplied, even if Empty
      {no, Variant(9), "BISID = 9 AND " + kLine, Vs(9)},
      {Variant(2), Variant(7), "BISID = 7 AND " + kLine + " AND EXPORTSTATUS = 2", Vs(7)},
      // With both, the BIS id is written as its own text, not rounded through a 32-bit integer.
      {Variant(2), Variant("+7.0"), "BISID = +7.0 AND " + kLine + " AND EXPORTSTATUS = 2", Vs(7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.status) + ", " + ::testing::PrintToString(c.bis));
    SqlTrace trace;
    const DictionaryPtr result = ContractLine().GetContractBIS(12, 3, c.status, c.bis);
    EXPECT_EQ(trace.Queries(),
              std::vector<std::string>{"SELECT * FROM CONTRACTLINEBIS WHERE " + c.where});
    std::vector<Variant> ids;
    for (const auto& item : Items(*result)) ids.push_back(item[0]);
    EXPECT_THAT(ids, ::testing::UnorderedElementsAreArray(c.found));
  }
  EXPECT_EQ(KeysOf(*ContractLine().GetContractBIS(12, 3, Variant(2), no)), Vs("1", "2"));
  // Thirteen columns in the caller's order; NULL text columns read as "", NULL numbers stay Null.
  EXPECT_EQ(ElementsOf(ContractLine().GetContractBIS(12, 3, no, Variant(7))->Item(Variant("1"))),
            Vs(7, 2, "BH7", "BL7", "none", 5.0, 4.0, 50.5, 40.0, 1, "P7", "C7", "D7"));
  const Variant open = ContractLine().GetContractBIS(12, 3, no, Variant(8))->Item(Variant("1"));
  EXPECT_EQ(open.GetArray().At(2), Variant(""));
  EXPECT_EQ(open.GetArray().At(5), Variant::Null());
}

TEST_P(ContractBis, OptionalsThatDoNotConvertFailBeforeAnythingIsSent) {
  const struct {
    Variant status, bis;
    std::int32_t number;
    const char* description;
  } cases[] = {
      {Variant::Null(), no, 94, "Invalid use of Null"},
      {Variant(1e10), no, 6, "Overflow"},
      // With both supplied the BIS id reaches the text unformatted: only a plain number passes.
      {Variant(1), Variant("7 OR 1=1"), 13, "Type mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.status) + ", " + ::testing::PrintToString(c.bis));
    SqlTrace trace;
    const ErrorInfo error =
        ReportedOnce([&] { ContractLine().GetContractBIS(12, 3, c.status, c.bis); });
    EXPECT_EQ(error.Description,
              Reported(c.number, "Carvalen.ContractLine.GetContractBIS", c.description));
    EXPECT_TRUE(trace.Queries().empty());
  }
}

TEST_P(ContractBis, TransactionIgnoreReadsTheFlagOfOneRecord) {
  ContractLine line;
  SqlTrace trace;
  EXPECT_TRUE(line.GetBISTransactionIgnore(7, 12, 3));
  EXPECT_EQ(trace.Queries(), std::vector<std::string>{
                                 "SELECT PREVENTTRANSACTION FROM CONTRACTLINEBIS WHERE BISID = 7 "
                                 "AND " +
                                 kLine});
  EXPECT_FALSE(line.GetBISTransactionIgnore(8, 12, 3));
  EXPECT_TRUE(line.GetBISTransactionIgnore(9, 12, 3));  // any non-zero value
  // A NULL flag and a missing record fail with different numbers.
  constexpr auto kMissing = static_cast<std::int32_t>(0x8004040Cu);
  const std::string op = "Carvalen.ContractLine.GetBISTransactionIgnore";
  EXPECT_EQ(RaisedBy([&] { line.GetBISTransactionIgnore(10, 12, 3); }).Description,
            Reported(94, op, "Invalid use of Null"));
  const ErrorInfo missing = RaisedBy([&] { line.GetBISTransactionIgnore(99, 12, 3); });
  EXPECT_EQ(missing.Source, "Carvalen");
  EXPECT_EQ(missing.Description, Reported(kMissing, op, kGenericDescription));
  EXPECT_EQ(db.Log().size(), 2u);
}

CARVALEN_ON_PROVIDERS(ContractBis);

}  // namespace
}  // namespace carvalen::test
