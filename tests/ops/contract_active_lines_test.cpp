// Active lines: the columns a caller names for a header, a header and product, or a partner and
// product; and every column of a partner's active lines in a category as a record set that
// outlives its connection.
#include <gmock/gmock.h>

#include "carvalen/contract.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using ::testing::UnorderedElementsAreArray;

constexpr const char* kLines = "Carvalen.Contract.GetActiveContractLines";
const Variant kMissing = Variant::Missing();

Variant Names(std::vector<Variant> names, std::int32_t lower = 0) {
  return Variant(Array::Of(std::move(names), lower));
}
const Variant kIds = Names(Vs("CONTRACTHEADERID", "contractlineid"));

// Partner 100 holds contracts 1 and 2 in category 4 and contract 4 in category 9; partner 200
// holds contract 3. Line (1, 1) is active but long expired; (1, 4) is expired.
class ActiveLines : public LineReadTest {
 protected:
  ActiveLines() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(1, 100, 4), (2, 100, 4), (3, 200, 4), (4, 100, 9)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
        "PRICE, REMARK, EXPIRYDATETIME) VALUES "
        "(1, 1, 7001, 6, 9.5, 'first', '2001-01-01 00:00:00'), (1, 2, 7001, 6, NULL, NULL, NULL), "
        "(1, 3, 7002, 6, 1, 'x', NULL), (1, 4, 7001, 7, 1, 'x', NULL), "
        "(2, 1, 7001, 6, 2, 'x', NULL), (3, 1, 7001, 6, 3, 'x', NULL), "
        "(4, 1, 7001, 6, 4, 'x', NULL)");
  }
};

TEST_P(ActiveLines, EachStatementFormFindsItsLines) {
  const std::string partner_form =
      " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.* FROM CONTRACTHEADER, CONTRACTLINE "
      "WHERE CONTRACTHEADER.BUSINESSPARTNERID=100 AND CONTRACTLINE.PRODUCTID=7001 AND "
      "CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
      "CONTRACTLINE.CONTRACTSTATUS = 6";
  const struct {
    const char* label;
    Variant header, product, partner, excluded;
    std::string sql;
    std::vector<std::vector<Variant>> lines;  // {header, line}
  } cases[] = {
      {"header",
       Variant(1),
       kMissing,
       kMissing,
       kMissing,
       "SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND CONTRACTSTATUS = 6",
       {Vs(1, 1), Vs(1, 2), Vs(1, 3)}},
      {"header and product",
       Variant(1),
       Variant(7001),
       kMissing,
       kMissing,
       "SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND PRODUCTID = 7001 AND "
       "CONTRACTSTATUS = 6",
       {Vs(1, 1), Vs(1, 2)}},
      // Every contract of the partner, any category; line id 2 of any contract is left out, the id
      // given as text.
      {"partner and product less a line",
       kMissing,
       Variant(7001),
       Variant(100),
       Variant("2"),
       partner_form + " AND CONTRACTLINE.CONTRACTLINEID <> 2",
       {Vs(1, 1), Vs(2, 1), Vs(4, 1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SqlTrace trace;
    const DictionaryPtr result =
        Contract().GetActiveContractLines(kIds, c.header, c.product, c.partner, c.excluded);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{c.sql});
    EXPECT_THAT(Items(*result), UnorderedElementsAreArray(c.lines));
    std::vector<Variant> keys;  // Long keys from 1; text finds nothing
    for (std::int32_t k = 1; k <= static_cast<std::int32_t>(c.lines.size()); ++k) {
      keys.emplace_back(k);
    }
    EXPECT_EQ(KeysOf(*result), keys);
    EXPECT_FALSE(result->Exists(Variant("1")));
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(ActiveLines, FieldListFromOneLeavesElementZeroEmptyAndNullBecomesEmptyText) {
  const DictionaryPtr result = Contract().GetActiveContractLines(
      Names(Vs("CONTRACTLINEID", "PRICE", "remark"), 1), Variant(1), Variant(7001));
  for (const auto& [key, item] : result->Entries()) {
    EXPECT_EQ(item.GetArray().LBound(), 0);
  }
  EXPECT_THAT(Items(*result), UnorderedElementsAreArray(
                                  {Vs(Variant(), 1, 9.5, "first"), Vs(Variant(), 2, "", "")}));
}

TEST_P(ActiveLines, UnsupportedCombinationsAndBadArgumentsFailThroughTheErrorPath) {
  const std::int32_t no_command = db::dberr::kInvalidArgument;
  const struct {
    const char* label;
    Variant fields, header, product, partner;
    std::int32_t number;
    std::vector<std::string> queries;  // what was sent before the failure
  } cases[] = {
      {"no id", kIds, kMissing, kMissing, kMissing, no_command, {""}},
      {"all three", kIds, Variant(1), Variant(7001), Variant(100), no_command, {""}},
      {"fields not an array", Variant("PRICE"), Variant(1), kMissing, kMissing, 13, {}},
      {"no such column",
       Names(Vs("NOSUCH")),
       Variant(1),
       kMissing,
       kMissing,
       db::dberr::kNotFoundInCollection,
       {"SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND CONTRACTSTATUS = 6"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SqlTrace trace;
    const ErrorInfo error = ReportedOnce(
        [&] { Contract().GetActiveContractLines(c.fields, c.header, c.product, c.partner); });
    EXPECT_EQ(error.Number, c.number);
    EXPECT_EQ(error.Description.rfind(ReportHeader(c.number, kLines), 0), 0u) << error.Description;
    EXPECT_EQ(trace.Queries(), c.queries);
  }
  // Names are looked up only on a row: with no active line an unknown one is no error.
  EXPECT_EQ(Contract().GetActiveContractLines(Names(Vs("NOSUCH")), Variant(99))->Count(), 0);
}

TEST_P(ActiveLines, DetailsAreARecordSetThatOutlivesItsConnection) {
  const std::int64_t open = db::OpenConnectionCount();
  SqlTrace trace;
  const RecordsetPtr rs = Contract().GetActiveContractLineDetails(4, 100);
  EXPECT_EQ(db::OpenConnectionCount(), open);
  EXPECT_EQ(trace.Queries(),
            std::vector<std::string>{
                " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.* FROM CONTRACTHEADER, "
                "CONTRACTLINE WHERE CONTRACTHEADER.BUSINESSPARTNERID=100 AND "
                "CONTRACTHEADER.CATEGORYID =4 AND CONTRACTLINE.CONTRACTHEADERID = "
                "CONTRACTHEADER.CONTRACTHEADERID AND CONTRACTLINE.CONTRACTSTATUS = 6"});

  // On its first row, every row read: contracts 1 and 2 of category 4, the expired line left out.
  ASSERT_FALSE(rs->Bof() || rs->Eof());
  EXPECT_EQ(rs->RecordCount(), 4);
  std::vector<std::vector<Variant>> lines;
  for (; !rs->Eof(); rs->MoveNext()) {
    lines.push_back({rs->Field("ContractHeaderId"), rs->Field("CONTRACTLINEID")});
  }
  EXPECT_THAT(lines, UnorderedElementsAreArray({Vs(1, 1), Vs(1, 2), Vs(1, 3), Vs(2, 1)}));

  const RecordsetPtr none = Contract().GetActiveContractLineDetails(9, 200);
  EXPECT_TRUE(none->Bof() && none->Eof());

  // Late binding hands over the same record set.
  std::vector<Variant> args{Variant(4), Variant(100)};
  const ObjectPtr bound = Contract().Invoke("GetActiveContractLineDetails", args).GetObject();
  EXPECT_EQ(bound->ClassName(), "Recordset");
  EXPECT_TRUE(bound->Invoke("RecordCount", {}) == Variant(4));
}

CARVALEN_ON_PROVIDERS(ActiveLines);

}  // namespace
}  // namespace carvalen::test
