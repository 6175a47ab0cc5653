// Contract lines found by header and optional criteria, by product, and by buyer: statement
// forms, key types and which columns turn NULL into "".
#include <gmock/gmock.h>

#include "carvalen/contract.hpp"
#include "db/errors.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

const Variant no = Variant::Missing();
const Variant null = Variant::Null();

// Header 12 of partner 100, 13 of partner 200. Product 500 ("P-500") has lines 12/1, 12/3 (active
// but expired) and 13/1; line 12/2 is NULL wherever it may be; 13/2 is new.
class ContractSearch : public LineReadTest {
 protected:
  ContractSearch() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(12, 100, 7), (13, 200, 7)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, BUYERID, SUPPLIERID, "
        "CONTRACTSTATUS, EFFECTIVEDATETIME, EXPIRYDATETIME, PRODUCTDESCRIPTION, "
        "CONTRACTDESCRIPTION, PRODUCTID, PRODUCTPARTNUMBER) VALUES "
        "(12, 1, 'B01', 100, 6, '2026-01-01 00:00:00', '2026-12-31 00:00:00', 'Bolt', 'Frame', "
        "500, 'P-500'), "
        "(12, 2, NULL, NULL, 2, NULL, NULL, NULL, NULL, 501, 'O''Brien'), "
        "(12, 3, 'B01', 100, 6, '2026-01-01 08:00:00', '2020-01-01 00:00:00', 'Nut', 'Frame', "
        "500, 'P-500'), "
        "(13, 1, 'B01', 200, 6, NULL, NULL, 'Bolt', 'Frame', 500, 'P-500'), "
        "(13, 2, 'B02', 200, 1, NULL, NULL, 'Washer', 'Frame', 502, 'P-502')");
  }
};

// Element `index` of every item.
std::vector<Variant> Column(const Dictionary& result, std::size_t index) {
  std::vector<Variant> values;
  for (const auto& item : Items(result)) values.push_back(item.at(index));
  return values;
}

Variant On(int year, int month, int day, int hour = 0) {
  return Variant(Date::FromParts(year, month, day, hour));
}

TEST_P(ContractSearch, LineDetailsAppendTheSuppliedCriteriaInTheirFixedOrder) {
  const std::string base =
      "SELECT CONTRACTLINEID,BUYERID,SUPPLIERID,CONTRACTSTATUS,EFFECTIVEDATETIME,EXPIRYDATETIME,"
      "PRODUCTDESCRIPTION,CONTRACTDESCRIPTION,PRODUCTID FROM CONTRACTLINE WHERE "
      "CONTRACTHEADERID = 12";
  const struct {
    Variant buyer, status, part, effective, expiry;
    std::string tail;
    std::vector<Variant> found;
  } cases[] = {
      {no, no, no, no, no, "", Vs(1, 2, 3)},
      {no, no, Variant("O'Brien"), no, no, " AND PRODUCTPARTNUMBER = 'O''Brien'", Vs(2)},
      // Text that reads as a date converts; the match is exact to the second.
      {no, no, no, no, Variant("2026-12-31"), " AND EXPIRYDATETIME = '2026-12-31 00:00:00'", Vs(1)},
      {Variant("B01"), Variant(6), Variant("P-500"), On(2026, 1, 1), On(2026, 12, 31),
       " AND BUYERID = 'B01' AND CONTRACTSTATUS = 6 AND PRODUCTPARTNUMBER = 'P-500' AND "
       "EFFECTIVEDATETIME = '2026-01-01 00:00:00' AND EXPIRYDATETIME = '2026-12-31 00:00:00'",
       Vs(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    SqlTrace trace;
    const DictionaryPtr lines =
        Contract().GetContractLineDetails(12, c.buyer, c.status, c.part, c.effective, c.expiry);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{base + c.tail});
    EXPECT_THAT(Column(*lines, 0), UnorderedElementsAreArray(c.found));
  }
  // Text keys; supplier, expiry and both descriptions turn NULL into "", the others keep Null.
  const DictionaryPtr lines = Contract().GetContractLineDetails(12);
  EXPECT_EQ(KeysOf(*lines), Vs("1", "2", "3"));
  EXPECT_THAT(Items(*lines), ::testing::Contains(Vs(2, null, "", 2, null, "", "", "", 501)));
  EXPECT_THAT(Items(*lines),
              ::testing::Contains(std::vector{Variant(1), Variant("B01"), Variant(100), Variant(6),
                                              On(2026, 1, 1), On(2026, 12, 31), Variant("Bolt"),
                                              Variant("Frame"), Variant(500)}));
}

TEST_P(ContractSearch, LinesOfAProductByIdOrPartNumberAndOptionallyPartner) {
  const std::string plain =
      "SELECT CONTRACTHEADERID,CONTRACTLINEID,CONTRACTSTATUS FROM CONTRACTLINE";
  const std::string joined =
      "SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID, "
      "CONTRACTLINE.CONTRACTSTATUS FROM CONTRACTHEADER, CONTRACTLINE WHERE "
      "CONTRACTHEADER.BUSINESSPARTNERID=";
  const std::string join = " AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID";
  const struct {
    Variant product, part, partner;
    std::string sql;
    std::vector<std::vector<Variant>> found;
  } cases[] = {
      {Variant(500),
       no,
       no,
       plain + " WHERE PRODUCTID = 500",
       {Vs(12, 1, 6), Vs(12, 3, 6), Vs(13, 1, 6)}},
      // The product id wins over the part number.
      {Variant(500),
       Variant("P-502"),
       no,
       plain + " WHERE PRODUCTID = 500",
       {Vs(12, 1, 6), Vs(12, 3, 6), Vs(13, 1, 6)}},
      {no, Variant("O'Brien"), no, plain + " WHERE PRODUCTPARTNUMBER = 'O''Brien'", {Vs(12, 2, 2)}},
      {Variant(500),
       no,
       Variant(200),
       joined + "200 AND CONTRACTLINE.PRODUCTID=500" + join,
       {Vs(13, 1, 6)}},
      // Every status: the new line is found too.
      {no,
       Variant("P-502"),
       Variant("200"),
       joined + "200 AND CONTRACTLINE.PRODUCTPARTNUMBER='P-502'" + join,
       {Vs(13, 2, 1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    SqlTrace trace;
    const DictionaryPtr lines =
        Contract().GetContractLineIdforProduct(c.product, c.part, c.partner);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{c.sql});
    EXPECT_THAT(Items(*lines), UnorderedElementsAreArray(c.found));
  }
  EXPECT_EQ(KeysOf(*Contract().GetContractLineIdforProduct(Variant(500))), Vs("1", "2", "3"));
  // Without a product nothing is sent, and reading the unopened record set fails.
  for (const Variant& partner : {no, Variant(100)}) {
    SqlTrace trace;
    const ErrorInfo error =
        RaisedBy([&] { Contract().GetContractLineIdforProduct(no, no, partner); });
    EXPECT_EQ(error.Number, db::dberr::kObjectClosed);
    EXPECT_EQ(error.Description,
              Reported(static_cast<std::uint32_t>(db::dberr::kObjectClosed),
                       "Carvalen.Contract.GetContractLineIdforProduct", db::kTextClosed));
    EXPECT_TRUE(trace.Queries().empty());
  }
}

TEST_P(ContractSearch, ActiveLinesOfABuyerAreKeyedByNumber) {
  SqlTrace trace;
  const DictionaryPtr lines = Contract().GetActiveContractLinesForBuyer("B01");
  EXPECT_EQ(trace.Queries(),
            std::vector<std::string>{
                " SELECT CONTRACTLINE.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID, "
                "CONTRACTHEADER.BUSINESSPARTNERID FROM CONTRACTHEADER, CONTRACTLINE WHERE "
                "CONTRACTLINE.BUYERID= 'B01' AND CONTRACTLINE.CONTRACTSTATUS= 6 AND "
                "CONTRACTHEADER.CONTRACTHEADERID = CONTRACTLINE.CONTRACTHEADERID"});
  // Numbers, not text; the expired active line 12/3 is listed, with its header's partner.
  EXPECT_EQ(KeysOf(*lines), Vs(1, 2, 3));
  EXPECT_THAT(Items(*lines), UnorderedElementsAre(Vs(12, 1, 100), Vs(12, 3, 100), Vs(13, 1, 200)));
  EXPECT_EQ(Contract().GetActiveContractLinesForBuyer("B02")->Count(), 0);  // not active
}

CARVALEN_ON_PROVIDERS(ContractSearch);

}  // namespace
}  // namespace carvalen::test
