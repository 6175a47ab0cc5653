// One contract line read directly: every field by name, and one field as text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carvalen/contract_line.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

using test::Reported;
using test::Show;

constexpr const char* kFieldValueName = "Carvalen.ContractLine.GetContractFieldValue";

// Line 3 of contract 12 with a value of each kind and NULLs elsewhere; line 4 is nearly empty.
void Seed(test::ContractDb& db) {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID, PRODUCTID, "
      "CURRENCYCODE, BUYERID, CONTRACTSTATUS, QUANTITY, PRICE, DISCOUNTPERCENTAGE, "
      "EFFECTIVEDATETIME, EXPIRYDATETIME, RFQGENERATED, PENALTYTERM) VALUES "
      "(12, 3, 77, 501, 'EUR', 'B01', 6, 100, 49.5, 2.5, '2026-01-01 00:00:00', "
      "'2026-07-10 08:00:00', 0, 'none'), "
      "(12, 4, NULL, NULL, NULL, NULL, 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
}

const std::vector<std::string> kDetailKeys = {"QUOTATIONID",
                                              "RFQID",
                                              "PRODUCTID",
                                              "CURRENCYCODE",
                                              "BUYERID",
                                              "SUPPLIERID",
                                              "CONTRACTSTATUS",
                                              "ORIGIN",
                                              "QUANTITY",
                                              "PRICE",
                                              "DISCOUNTPERCENTAGE",
                                              "DISCOUNTAMOUNT",
                                              "EFFECTIVEDATETIME",
                                              "EXPIRYDATETIME",
                                              "CONTRACTHEADERID",
                                              "REMARK",
                                              "CREATIONDATE",
                                              "DELIVERYBEGINDATE",
                                              "DELIVERYENDDATE",
                                              "ORDERINTERVAL",
                                              "HANDLINGCHARGE",
                                              "FREIGHTCHARGE",
                                              "TAXPERCENTAGE",
                                              "UNITCODE",
                                              "INCLUDEPRICEBREAKUP",
                                              "INCLUDEDISCOUNTBREAKUP",
                                              "RFQGENERATED",
                                              "CALLEDQUANTITY",
                                              "INVOICEDQUANTITY",
                                              "CALLEDVALUE",
                                              "INVOICEDVALUE",
                                              "PRODUCTPARTNUMBER",
                                              "PRODUCTDESCRIPTION",
                                              "CONTRACTDESCRIPTION",
                                              "INCLUDECONTRACTLINEBIS",
                                              "MINQTYBREAKUP",
                                              "SUPPLIERAPPROVAL",
                                              "LANDEDCOST",
                                              "PAYMENTTERM",
                                              "PAYMENTMETHOD",
                                              "PACKAGINGTERM",
                                              "SHIPPINGMETHOD",
                                              "SHIPPINGSERVICELEVEL",
                                              "WARRANTYTERM",
                                              "PENALTYTERM"};

class LineDetail : public ::testing::TestWithParam<test::Provider> {};

TEST_P(LineDetail, ReturnsFortyFiveKeysInCallerOrderWithValuesAsStored) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  const DictionaryPtr detail = ContractLine().GetContractLineDetail(12, 3);
  ASSERT_NE(detail, nullptr);

  std::vector<std::string> keys;
  for (const Variant& key : test::KeysOf(*detail)) {
    ASSERT_TRUE(key.IsString()) << Show(key);
    keys.push_back(key.RawString());
  }
  EXPECT_EQ(keys, kDetailKeys);  // the table's own order starts with CONTRACTHEADERID

  const struct {
    const char* key;
    Variant expected;
  } stored[] = {
      {"QUOTATIONID", Variant(77)},
      {"PRODUCTID", Variant(501)},
      {"CURRENCYCODE", Variant("EUR")},
      {"CONTRACTSTATUS", Variant(6)},
      {"QUANTITY", Variant(100.0)},
      {"PRICE", Variant(49.5)},
      {"EFFECTIVEDATETIME", Variant(Date::FromParts(2026, 1, 1))},
      {"EXPIRYDATETIME", Variant(Date::FromParts(2026, 7, 10, 8))},
      {"CONTRACTHEADERID", Variant(12)},
      {"RFQGENERATED", Variant(0)},
      {"PENALTYTERM", Variant("none")},
      // NULL columns stay Null: not 0, not "".
      {"RFQID", Variant::Null()},
      {"REMARK", Variant::Null()},
      {"DISCOUNTAMOUNT", Variant::Null()},
      {"PAYMENTTERM", Variant::Null()},
  };
  for (const auto& s : stored) {
    EXPECT_EQ(detail->Item(Variant(s.key)), s.expected)
        << s.key << ": " << Show(detail->Item(Variant(s.key)));
  }
  EXPECT_FALSE(detail->Exists(Variant("CONTRACTLINEID")));
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineDetail, AnAllNullLineStillHasEveryKeyAndAMissingLineNone) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::SqlTrace trace;
  test::NoConnectionLeft check;
  ContractLine line;
  const DictionaryPtr sparse = line.GetContractLineDetail(12, 4);
  ASSERT_NE(sparse, nullptr);
  EXPECT_EQ(sparse->Count(), 45);
  EXPECT_TRUE(sparse->Item(Variant("PRICE")).IsNull());

  const DictionaryPtr missing = line.GetContractLineDetail(12, 99);
  ASSERT_NE(missing, nullptr);  // an empty dictionary, not Nothing
  EXPECT_EQ(missing->Count(), 0);
  EXPECT_EQ(trace.Queries(),
            (std::vector<std::string>{
                " SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 4",
                " SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 99",
            }));
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineDetail, FieldValueIsTheTextOfTheColumn) {
  test::ContractDb db(GetParam());
  Seed(db);
  const struct {
    std::int32_t header, line;
    const char* field;
    const char* text;
    bool queries_line;  // false: the catalog knows no such column, so the line is not read
  } cases[] = {
      {12, 3, "PRICE", "49.5", true},
      {12, 3, "QUANTITY", "100", true},
      {12, 3, "CONTRACTSTATUS", "6", true},
      {12, 3, "CONTRACTLINEID", "3", true},
      {12, 3, "CURRENCYCODE", "EUR", true},
      {12, 3, "EXPIRYDATETIME", "2026-07-10 08:00:00", true},
      {12, 3, "REMARK", "", true},  // NULL
      // Unquoted identifiers resolve without regard to case on both databases.
      {12, 3, "price", "49.5", true},
      {12, 3, "CurrencyCode", "EUR", true},
      {12, 3, "NOSUCHCOLUMN", "", false},
      {99, 99, "NOSUCHCOLUMN", "", false},  // no column: no error even without a line
      {12, 3, "PRICE FROM CONTRACTLINE --", "", false},
      {12, 3, "", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    test::SqlTrace trace;
    test::NoConnectionLeft check;
    EXPECT_EQ(ContractLine().GetContractFieldValue(c.header, c.line, c.field), c.text);

    const auto schemas = trace.Schemas();
    ASSERT_EQ(schemas.size(), 1u);
    EXPECT_EQ(schemas[0].value("table", ""), "CONTRACTLINE");
    EXPECT_EQ(schemas[0].value("column", ""), c.field);
    std::vector<std::string> expected;
    if (c.queries_line) {
      expected.push_back(
          "SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = " + std::to_string(c.header) +
          " AND CONTRACTLINEID = " + std::to_string(c.line));
    }
    EXPECT_EQ(trace.Queries(), expected);
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineDetail, FieldValueOfADateConvertsBackToTheSameDate) {
  test::ContractDb db(GetParam());
  Seed(db);
  const std::string text = ContractLine().GetContractFieldValue(12, 3, "EXPIRYDATETIME");
  EXPECT_EQ(Variant(text).ToDate(), Date::FromParts(2026, 7, 10, 8));
}

TEST_P(LineDetail, FieldValueOfAMissingLineFailsOnlyForAnExistingColumn) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  const ErrorInfo error =
      test::RaisedBy([] { ContractLine().GetContractFieldValue(12, 99, "PRICE"); });
  EXPECT_EQ(error.Number, static_cast<std::int32_t>(0x80040404u));
  EXPECT_EQ(error.Source, "Carvalen");
  EXPECT_EQ(error.Description,
            Reported(0x80040404u, kFieldValueName, "Application-defined or object-defined error"));
  ASSERT_EQ(db.Log().size(), 1u);
  EXPECT_NE(db.Log()[0].text.find(kFieldValueName), std::string::npos);
}

TEST_P(LineDetail, LateBoundCallsConvertTheirArguments) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  ContractLine cl;
  std::vector<Variant> args{Variant(12), Variant(3)};
  const Variant detail = cl.Invoke("getcontractlinedetail", args);
  EXPECT_EQ(detail.As<Dictionary>()->Count(), 45);

  std::vector<Variant> field_args{Variant("12"), Variant(3.0), Variant("PRICE")};
  EXPECT_EQ(cl.Invoke("GETCONTRACTFIELDVALUE", field_args), Variant("49.5"));

  // An argument that does not convert fails before the operation runs: nothing is logged.
  std::vector<Variant> bad{Variant("twelve"), Variant(3)};
  EXPECT_EQ(test::RaisedBy([&] { cl.Invoke("GetContractLineDetail", bad); }).Number, 13);
  EXPECT_TRUE(db.Log().empty());
}

INSTANTIATE_TEST_SUITE_P(Providers, LineDetail, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
