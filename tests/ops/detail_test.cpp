// One contract line read directly: every field by name, and one field as text.
#include <sstream>

#include "ops/line_reads.hpp"

namespace carvalen::test {
namespace {

class LineDetail : public LineReadTest {
 protected:
  LineDetail() {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID, PRODUCTID, "
        "CURRENCYCODE, BUYERID, CONTRACTSTATUS, QUANTITY, PRICE, DISCOUNTPERCENTAGE, "
        "EFFECTIVEDATETIME, EXPIRYDATETIME, RFQGENERATED, PENALTYTERM) VALUES "
        "(12, 3, 77, 501, 'EUR', 'B01', 6, 100, 49.5, 2.5, '2026-01-01 00:00:00', "
        "'2026-07-10 08:00:00', 0, 'none'), "
        "(12, 4, NULL, NULL, NULL, NULL, 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  }
};

// The 45 keys in the caller's order (the table's own order starts with CONTRACTHEADERID).
const char* const kDetailKeys =
    "QUOTATIONID RFQID PRODUCTID CURRENCYCODE BUYERID SUPPLIERID CONTRACTSTATUS ORIGIN QUANTITY "
    "PRICE DISCOUNTPERCENTAGE DISCOUNTAMOUNT EFFECTIVEDATETIME EXPIRYDATETIME CONTRACTHEADERID "
    "REMARK CREATIONDATE DELIVERYBEGINDATE DELIVERYENDDATE ORDERINTERVAL HANDLINGCHARGE "
    "FREIGHTCHARGE TAXPERCENTAGE UNITCODE INCLUDEPRICEBREAKUP INCLUDEDISCOUNTBREAKUP RFQGENERATED "
    "CALLEDQUANTITY INVOICEDQUANTITY CALLEDVALUE INVOICEDVALUE PRODUCTPARTNUMBER "
    "PRODUCTDESCRIPTION CONTRACTDESCRIPTION INCLUDECONTRACTLINEBIS MINQTYBREAKUP SUPPLIERAPPROVAL "
    "LANDEDCOST PAYMENTTERM PAYMENTMETHOD PACKAGINGTERM SHIPPINGMETHOD SHIPPINGSERVICELEVEL "
    "WARRANTYTERM PENALTYTERM";

TEST_P(LineDetail, ReturnsEveryKeyInCallerOrderWithValuesAsStored) {
  SqlTrace trace;
  ContractLine line;
  const DictionaryPtr detail = line.GetContractLineDetail(12, 3);
  std::vector<Variant> keys;
  std::istringstream names(kDetailKeys);
  for (std::string name; names >> name;) keys.push_back(Variant(name));
  EXPECT_EQ(KeysOf(*detail), keys);
  const struct {
    const char* key;
    Variant expected;
  } stored[] = {
      {"CURRENCYCODE", Variant("EUR")},
      {"QUANTITY", Variant(100.0)},
      {"EXPIRYDATETIME", Variant(Date::FromParts(2026, 7, 10, 8))},
      {"CONTRACTHEADERID", Variant(12)},
      {"REMARK", Variant::Null()},  // NULL columns stay Null: not 0, not ""
  };
  for (const auto& s : stored) EXPECT_EQ(detail->Item(Variant(s.key)), s.expected) << s.key;
  // An all-NULL line still has every key; a missing line gives an empty dictionary.
  EXPECT_EQ(line.GetContractLineDetail(12, 4)->Count(), 45);
  EXPECT_EQ(line.GetContractLineDetail(12, 99)->Count(), 0);
  const std::string select = " SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 12 AND ";
  EXPECT_EQ(trace.Queries(),
            (std::vector<std::string>{select + "CONTRACTLINEID = 3", select + "CONTRACTLINEID = 4",
                                      select + "CONTRACTLINEID = 99"}));
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineDetail, FieldValueIsTheTextOfTheColumn) {
  const struct {
    std::int32_t line;
    const char* field;
    const char* text;
    bool queries_line;  // false: the catalog knows no such column, so the line is not read
  } cases[] = {
      {3, "PRICE", "49.5", true},
      {3, "QUANTITY", "100", true},
      {3, "EXPIRYDATETIME", "2026-07-10 08:00:00", true},
      {3, "REMARK", "", true},           // NULL
      {3, "CurrencyCode", "EUR", true},  // case does not matter on either database
      {99, "NOSUCHCOLUMN", "", false},   // no column: no error even without a line
      {3, "PRICE FROM CONTRACTLINE --", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    SqlTrace trace;
    EXPECT_EQ(ContractLine().GetContractFieldValue(12, c.line, c.field), c.text);
    const auto schemas = trace.Events("schema");
    ASSERT_EQ(schemas.size(), 1u);
    EXPECT_EQ(schemas[0].value("table", ""), "CONTRACTLINE");
    EXPECT_EQ(schemas[0].value("column", ""), c.field);
    EXPECT_EQ(trace.Queries(),
              c.queries_line
                  ? std::vector<std::string>{"SELECT * FROM CONTRACTLINE WHERE "
                                             "CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3"}
                  : std::vector<std::string>{});
  }
  EXPECT_TRUE(db.Log().empty());
  // A missing line fails only for a column that exists.
  const ErrorInfo error = RaisedBy([] { ContractLine().GetContractFieldValue(12, 99, "PRICE"); });
  EXPECT_EQ(error.Number, errnum::kLineMissing);
  EXPECT_EQ(error.Source, "Carvalen");
  EXPECT_EQ(error.Description,
            Reported(errnum::kLineMissing, "Carvalen.ContractLine.GetContractFieldValue",
                     kGenericDescription));
  EXPECT_EQ(db.Log().size(), 1u);
}

CARVALEN_ON_PROVIDERS(LineDetail);

}  // namespace
}  // namespace carvalen::test
