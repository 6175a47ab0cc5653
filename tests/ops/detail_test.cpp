// One contract line read directly: every field by name, and one field as text.
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

class LineDetail : public LineReadTest {
 protected:
  LineDetail() {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, QUANTITY, "
        "PRICE, EXPIRYDATETIME) VALUES (12, 3, 'EUR', 100, 49.5, '2026-07-10 08:00:00'), "
        "(12, 4, NULL, NULL, NULL, NULL)");
  }
};

TEST_P(LineDetail, ReturnsEveryKeyInCallerOrderWithValuesAsStored) {
  ContractLine line;
  SqlTrace trace;
  const DictionaryPtr detail = line.GetContractLineDetail(12, 3);
  EXPECT_EQ(trace.Queries(),
            std::vector<std::string>{" SELECT * FROM CONTRACTLINE WHERE "
                                     "CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3"});
  // 45 keys in the caller's order, not the table's (which starts with CONTRACTHEADERID).
  const std::vector<Variant> keys = KeysOf(*detail);
  ASSERT_EQ(keys.size(), 45u);
  EXPECT_EQ(std::vector(keys.begin(), keys.begin() + 3), Vs("QUOTATIONID", "RFQID", "PRODUCTID"));
  EXPECT_EQ(keys[14], Variant("CONTRACTHEADERID"));
  EXPECT_EQ(keys.back(), Variant("PENALTYTERM"));
  // Values as stored; NULL columns stay Null: not 0, not "".
  for (const auto& [key, value] : {std::pair{"QUANTITY", Variant(100.0)},
                                   {"EXPIRYDATETIME", Variant(Date::FromParts(2026, 7, 10, 8))},
                                   {"CONTRACTHEADERID", Variant(12)},
                                   {"REMARK", Variant::Null()}})
    EXPECT_EQ(detail->Item(Variant(key)), value) << key;
  // An all-NULL line still has every key; a missing line gives an empty dictionary.
  EXPECT_EQ(line.GetContractLineDetail(12, 4)->Count(), 45);
  EXPECT_EQ(line.GetContractLineDetail(12, 99)->Count(), 0);
}

// A column the catalog does not know is "" without reading the line, so its name never reaches
// the statement; a missing line with a known column fails (validity_test checks that error).
TEST_P(LineDetail, FieldValueIsTheTextOfTheColumn) {
  const struct {
    std::int32_t line;
    const char* field;
    const char* text;
    std::size_t reads;  // statements sent
  } cases[] = {
      {3, "PRICE", "49.5", 1},
      {3, "EXPIRYDATETIME", "2026-07-10 08:00:00", 1},
      {3, "REMARK", "", 1},           // NULL
      {3, "CurrencyCode", "EUR", 1},  // case does not matter on either database
      {99, "NOSUCHCOLUMN", "", 0},    // no error, even without a line
      {3, "PRICE FROM CONTRACTLINE --", "", 0},
  };
  for (const auto& c : cases) {
    SqlTrace trace;
    EXPECT_EQ(ContractLine().GetContractFieldValue(12, c.line, c.field), c.text) << c.field;
    EXPECT_EQ(trace.Queries().size(), c.reads) << c.field;
  }
  EXPECT_TRUE(db.Log().empty());
}

CARVALEN_ON_PROVIDERS(LineDetail);

}  // namespace
}  // namespace carvalen::test
