// One line: its fields, attachments, user data, back-end records and the validity checks.
#include <gmock/gmock.h>

#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using ::testing::UnorderedElementsAre;

// Line 12/3 with attachments and user data; line 12/4 NULL wherever it may be.
const std::string kLineDetailRows =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, QUANTITY, PRICE, "
    "EXPIRYDATETIME) VALUES (12, 3, 'EUR', 100, 49.5, '2026-07-10 08:00:00'), "
    "(12, 4, NULL, NULL, NULL, NULL);"
    "INSERT INTO CONTRACTATTACHMENT (ATTACHMENTID, CONTRACTHEADERID, CONTRACTLINEID, "
    "REVISIONNUMBER, DESCRIPTION, ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH) "
    "VALUES (1, 12, 3, 2, 'Drawing', 'DRAWING', 1, 5, '/docs/d.pdf'), "
    "(2, 12, 3, NULL, NULL, NULL, NULL, 6, NULL), "               // expired, NULL columns
    "(4, 12, NULL, 1, 'Header', 'TERMS', 0, 5, '/docs/t.pdf'), "  // a header attachment
    "(5, 30, 1, 1, 'Quote', 'O''Brien', 0, 4, '/docs/q.pdf');"    // rejected, another contract
    "INSERT INTO CONTRACTUSERDATA (CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, "
    "FIELDDESCRIPTION, COSTTYPE, NUMERICFIELD, VALUE) VALUES "
    "(12, 3, 'COLOR', 'Colour', 'A', 0, 'red'), (12, 3, NULL, NULL, NULL, NULL, NULL)";
using LineDetail = SeededTest<kLineDetailRows>;

TEST_P(LineDetail, EveryKeyInCallerOrderOneFieldAsTextAttachmentsAndUserData) {
  ContractLine line;
  SqlTrace trace;
  const DictionaryPtr detail = line.GetContractLineDetail(12, 3);
  EXPECT_EQ(trace.Queries(),
            Sql{" SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3"});
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
  // A field's text: an unknown column is "" unread, so it never reaches SQL (Validity: missing).
  const std::tuple<std::int32_t, std::string, const char*, std::size_t> cases[] = {
      {3, "PRICE", "49.5", 1},
      {3, "EXPIRYDATETIME", "2026-07-10 08:00:00", 1},
      {3, "REMARK", "", 1},           // NULL
      {3, "CurrencyCode", "EUR", 1},  // case does not matter on either database
      {99, "NOSUCHCOLUMN", "", 0},    // no error, even without a line
      {3, "PRICE FROM CONTRACTLINE --", "", 0},
      {3, std::string("PRICE\0X", 7), "", 0},  // a name cut at its NUL would find PRICE
  };
  for (const auto& [id, field, text, reads] : cases) {  // reads: statements sent
    SqlTrace trace;
    EXPECT_EQ(ContractLine().GetContractFieldValue(12, id, field), text) << field;
    EXPECT_EQ(trace.Queries().size(), reads) << field;
  }
  SqlTrace reads;
  // Text keys; only the three text columns turn NULL into "", the expired one is returned too.
  const DictionaryPtr attachments = line.GetContractLineAttachment(12, 3);
  EXPECT_EQ(KeysOf(*attachments), Vs("1", "2"));
  EXPECT_THAT(Items(*attachments),
              UnorderedElementsAre(Vs(1, 2, "Drawing", 12, "DRAWING", 1, 5, "/docs/d.pdf"),
                                   Vs(2, null, "", 12, "", null, 6, "")));
  // User data under number keys, with a sixth element left Empty.
  const DictionaryPtr user_data = line.GetContractUserData(12, 3);
  EXPECT_EQ(KeysOf(*user_data), Vs(1, 2));
  EXPECT_THAT(Items(*user_data),
              UnorderedElementsAre(Vs("COLOR", "Colour", "A", 0, "red", Variant()),
                                   Vs(null, "", null, null, "", Variant())));
  // An attachment type is found in any contract and any status.
  EXPECT_TRUE(line.ContractLineAttachmentExists("O'Brien"));  // another contract, rejected
  EXPECT_EQ(
      reads.Queries(),
      (Sql{" SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTHEADERID = 12 AND "
           "CONTRACTLINEID = 3",
           "SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3",
           " SELECT ATTACHMENTID FROM CONTRACTATTACHMENT WHERE ATTACHMENTTYPECODE = "
           "'O''Brien'"}));
  EXPECT_TRUE(line.ContractLineAttachmentExists("TERMS"));     // a header attachment
  EXPECT_FALSE(line.ContractLineAttachmentExists("drawing"));  // compared with regard to case
  // No rows: empty dictionaries, not Nothing.
  EXPECT_EQ(line.GetContractLineAttachment(99, 3)->Count(), 0);
  EXPECT_EQ(line.GetContractUserData(12, 99)->Count(), 0);
}

// Records 7 and 10 (status 2), 8 and 9 (status 1) of line 12/3; record 8 is NULL where it may be.
const std::string kContractBisRows =
    "INSERT INTO CONTRACTLINEBIS (BISID, CONTRACTHEADERID, CONTRACTLINEID, EXPORTSTATUS, "
    "BACKENDHEADERID, BACKENDLINEID, ERRORFIELD, CALLEDQUANTITY, INVOICEDQUANTITY, CALLEDVALUE, "
    "INVOICEDVALUE, PREVENTTRANSACTION, PRICESERIES, CONTRACTSERIES, DISCOUNTSERIES) VALUES "
    "(7, 12, 3, 2, 'BH7', 'BL7', 'none', 5, 4, 50.5, 40, 1, 'P7', 'C7', 'D7');"
    "INSERT INTO CONTRACTLINEBIS (BISID, CONTRACTHEADERID, CONTRACTLINEID, EXPORTSTATUS, "
    "PREVENTTRANSACTION) VALUES (8, 12, 3, 1, 0), (9, 12, 3, 1, 5), (10, 12, 3, 2, NULL)";
using ContractBis = SeededTest<kContractBisRows>;

const std::string kBisLine = "CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3";

TEST_P(ContractBis, EachCombinationOfOptionalsHasItsOwnStatementAndAFlagIsReadPerRecord) {
  // {status, BIS id, condition, found; or number and description of the failure, nothing sent}
  using Case = std::tuple<Variant, Variant, std::string, std::vector<Variant>, std::int32_t>;
  const Case cases[] = {
      {no, no, kBisLine, Vs(7, 8, 9, 10), 0},
      {Variant(1), no, kBisLine + " And EXPORTSTATUS = 1", Vs(8, 9), 0},
      {Variant(), no, kBisLine + " And EXPORTSTATUS = 0", {}, 0},  // supplied, even if Empty
      {no, Variant(9), "BISID = 9 AND " + kBisLine, Vs(9), 0},
      {Variant(2), Variant(7), "BISID = 7 AND " + kBisLine + " AND EXPORTSTATUS = 2", Vs(7), 0},
      // With both, the BIS id is its own text, never rounded to 32 bits: only a number passes.
      {Variant(2), Variant("+7.0"), "BISID = +7.0 AND " + kBisLine + " AND EXPORTSTATUS = 2", Vs(7),
       0},
      {Variant(1), Variant("7 OR 1=1"), "Type mismatch", {}, 13},
      {null, no, "Invalid use of Null", {}, 94},
      {Variant(1e10), no, "Overflow", {}, 6},
  };
  for (const auto& [status, bis, text, found, number] : cases) {
    SCOPED_TRACE(::testing::PrintToString(status) + ", " + ::testing::PrintToString(bis));
    SqlTrace trace;
    const auto call = [&s = status, &b = bis] {
      return ContractLine().GetContractBIS(12, 3, s, b);
    };
    if (number != 0) {
      EXPECT_EQ(ReportedOnce(call).Description,
                Reported(number, "Carvalen.ContractLine.GetContractBIS", text));
      EXPECT_TRUE(trace.Queries().empty());
      continue;
    }
    EXPECT_THAT(FirstOfEach(*call()), ::testing::UnorderedElementsAreArray(found));
    EXPECT_EQ(trace.Queries(), Sql{"SELECT * FROM CONTRACTLINEBIS WHERE " + text});
  }
  EXPECT_EQ(KeysOf(*ContractLine().GetContractBIS(12, 3, Variant(2), no)), Vs("1", "2"));
  // Thirteen columns in the caller's order; NULL text columns read as "", NULL numbers stay Null.
  EXPECT_EQ(ElementsOf(ContractLine().GetContractBIS(12, 3, no, Variant(7))->Item(Variant("1"))),
            Vs(7, 2, "BH7", "BL7", "none", 5.0, 4.0, 50.5, 40.0, 1, "P7", "C7", "D7"));
  EXPECT_EQ(ElementsOf(ContractLine().GetContractBIS(12, 3, no, Variant(8))->Item(Variant("1"))),
            Vs(8, 1, "", "", "", null, null, null, null, 0, "", "", ""));
  ContractLine line;
  SqlTrace trace;
  EXPECT_TRUE(line.GetBISTransactionIgnore(7, 12, 3));
  EXPECT_EQ(trace.Queries(),
            Sql{"SELECT PREVENTTRANSACTION FROM CONTRACTLINEBIS WHERE BISID = 7 AND " + kBisLine});
  EXPECT_FALSE(line.GetBISTransactionIgnore(8, 12, 3));
  EXPECT_TRUE(line.GetBISTransactionIgnore(9, 12, 3));  // any non-zero value
  // A NULL flag and a missing record fail with different numbers.
  const std::string op = "Carvalen.ContractLine.GetBISTransactionIgnore";
  EXPECT_EQ(ReportedOnce([&] { line.GetBISTransactionIgnore(10, 12, 3); }).Description,
            Reported(94, op, "Invalid use of Null"));
  EXPECT_EQ(ReportedOnce([&] { line.GetBISTransactionIgnore(99, 12, 3); }).Description,
            Reported(0x8004040Cu, op, kGenericDescription));
}

std::string Quoted(Date d) { return "'" + d.ToText() + "'"; }

class Validity : public LineReadTest {};

TEST_P(Validity, ValuesTheLatestEarlierLine) {
  const Date today = Date::Today();
  // Key: header, line, product, status. Figures: price, quantity, discount percentage, amount.
  auto row = [&](const std::string& key, Date effective, const char* figures) {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
        "EFFECTIVEDATETIME, CURRENCYCODE, PRICE, QUANTITY, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, "
        "INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP) VALUES (" +
        key + ", " + Quoted(effective) + ", 'EUR', " + figures + ", 0, 0)");
  };
  row("1, 1, 1, 6", today.AddDays(-10), "5, 100, 10, 0");  // 5 x 100 less 10 % = 450
  row("1, 2, 2, 6", today.AddDays(-10), "5, 100, 0, 10");  // less 10 = 490
  row("1, 3, 3, 7", today.AddDays(-10), "5, 100, 0, 0");   // 500
  row("1, 4, 4, 6", today.AddDays(-10), "1, 1, 0, 0");
  row("1, 5, 4, 7", today.AddDays(-5), "2, 1, 0, 0");  // expired but newer: chosen
  row("1, 6, 4, 5", today.AddDays(-1), "3, 1, 0, 0");  // finalized: never
  row("1, 7, 4, 6", Date(today.Micros() + 3'600'000'000), "4, 1, 0, 0");  // later today: not yet
  row("2, 1, 4, 6", today, "8, 1, 0, 0");                                 // another contract
  row("1, 9, 5, 6", today, "6, 1, 0, 0");  // exactly today 00:00:00 counts
  row("1, 10, 6, 6", Date(today.Micros() + 1'000'000), "9, 1, 0, 0");
  const std::vector<Variant> net_of = Vs(450.0, 490.0, 500.0, 2.0, 6.0);  // products 1 to 5
  for (std::int32_t product = 1; product <= 5; ++product) {
    Variant net, currency;
    EXPECT_TRUE(ContractLine().GetOldContract(1, 0, product, net, currency)) << product;
    EXPECT_EQ(net, net_of[product - 1]) << "product " << product;
    EXPECT_EQ(currency, Variant("EUR"));
  }
  SqlTrace trace;
  Variant net, currency;
  EXPECT_FALSE(ContractLine().GetOldContract(1, 0, 6, net, currency));  // effective 1 s too late
  EXPECT_EQ(net, Variant(std::int16_t{0}));  // Integer 0 and "" when no line is found
  EXPECT_EQ(currency, Variant(""));
  EXPECT_EQ(trace.Queries(),
            Sql{"SELECT CONTRACTLINEID,QUANTITY,EFFECTIVEDATETIME FROM CONTRACTLINE WHERE "
                "PRODUCTID = 6 AND CONTRACTHEADERID = 1 AND EFFECTIVEDATETIME <= " +
                Quoted(today) +
                " AND (CONTRACTSTATUS = 7 OR CONTRACTSTATUS = 6) ORDER BY EFFECTIVEDATETIME DESC"});
}

TEST_P(Validity, ChecksTheRemainingQuantity) {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, CALLEDQUANTITY, "
      "INVOICEDQUANTITY) VALUES (1, 1, 100, 60, 30), (1, 2, NULL, 60, 30), (1, 3, 100, NULL, 30)");
  ContractLine cl;
  SqlTrace trace;
  EXPECT_FALSE(cl.MaximumQuantityExceeded(1, 1, 10));  // 60 called + 30 invoiced + 10 = 100
  EXPECT_EQ(trace.Queries(), Sql{"SELECT CALLEDQUANTITY,INVOICEDQUANTITY,QUANTITY FROM "
                                 "CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1"});
  EXPECT_TRUE(cl.MaximumQuantityExceeded(1, 1, 10.5));
  EXPECT_FALSE(cl.MaximumQuantityExceeded(1, 2, 1e9));  // NULL contracted quantity: no limit
  EXPECT_EQ(RaisedBy([&] { cl.MaximumQuantityExceeded(1, 3, 0); }).Number, 94);  // NULL called
  EXPECT_EQ(RaisedBy([&] { cl.MaximumQuantityExceeded(1, 99, 0); }).Number, errnum::kLineMissing);
}

const std::string kInsertLine =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
    "EFFECTIVEDATETIME, EXPIRYDATETIME) VALUES ";

TEST_P(Validity, FindsOverlappingActiveLinesOrFails) {
  const std::string e = "'2026-03-01 00:00:00'", x = "'2026-06-30 00:00:00'";
  // {name, asked line open-ended, its status, other active line's start (null: none), end, found}
  const std::tuple<const char*, bool, int, const char*, const char*, bool> cases[] = {
      {"ends exactly at the start", false, 5, "'2026-01-01 00:00:00'", e.c_str(), true},
      {"open, starts just after the end", false, 5, "'2026-06-30 00:00:01'", "NULL", false},
      {"open, starts at the end", false, 5, x.c_str(), "NULL", true},
      {"asked line open: ended before", true, 5, "'2025-01-01 00:00:00'", "'2026-02-01 00:00:00'",
       false},
      {"asked line open: ends at its start", true, 5, "'2025-01-01 00:00:00'", e.c_str(), true},
      {"an active line finds itself", false, 6, nullptr, nullptr, true},
  };
  std::int32_t header = 100;
  for (const auto& [name, open_ended, status, start, end, found] : cases) {
    const std::string h = std::to_string(++header);
    db.Exec(kInsertLine + "(" + h + ", 1, 7, " + std::to_string(status) + ", " + e + ", " +
            (open_ended ? "NULL" : x) + ")");
    if (start) {  // the other line, and the same line in another state, which never counts
      db.Exec(kInsertLine + "(" + h + ", 2, 7, 6, " + start + ", " + end + "), (" + h +
              ", 3, 7, 7, '2026-04-01 00:00:00', NULL)");
    }
    EXPECT_EQ(ContractLine().OldContractExists(header, 1, 7), found) << name;
  }
  SqlTrace trace;
  ContractLine().OldContractExists(101, 1, 7);
  ContractLine().OldContractExists(105, 1, 7);
  const std::string select =
      "SELECT CONTRACTLINEID,QUANTITY,EFFECTIVEDATETIME FROM CONTRACTLINE WHERE PRODUCTID = 7 AND "
      "CONTRACTHEADERID = ";
  const Sql queries = trace.Queries();
  ASSERT_EQ(queries.size(), 4u + 3u);  // three field reads, then two for the open-ended line
  EXPECT_EQ(queries[0],
            "SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 101 AND CONTRACTLINEID = 1");
  EXPECT_EQ(queries[3], select +
                            "101 AND CONTRACTSTATUS = 6 AND  ((EXPIRYDATETIME IS NULL AND  "
                            "(EFFECTIVEDATETIME <= " +
                            x + ")) OR (EFFECTIVEDATETIME >= " + e +
                            " AND   EXPIRYDATETIME <= " + x + ") OR (EFFECTIVEDATETIME >= " + e +
                            " AND   EFFECTIVEDATETIME <= " + x + ") OR (EXPIRYDATETIME >= " + e +
                            " AND   EXPIRYDATETIME <= " + x + ") OR (EFFECTIVEDATETIME <= " + e +
                            " AND   EXPIRYDATETIME >= " + x + "))");
  EXPECT_EQ(queries[6], select +
                            "105 AND CONTRACTSTATUS = 6 AND  (EXPIRYDATETIME IS NULL OR  "
                            "(EXPIRYDATETIME >= '2026-03-01 00:00:00'))");
  // Failures nest, or mismatch.
  db.Exec(kInsertLine + "(1, 1, 7, 6, NULL, NULL)");
  db.ClearLog();
  const std::string op = "Carvalen.ContractLine.OldContractExists";
  EXPECT_EQ(RaisedBy([] { ContractLine().OldContractExists(1, 99, 7); }).Description,
            ReportHeader(errnum::kLineMissing, op) +
                Reported(errnum::kLineMissing, "Carvalen.ContractLine.GetContractFieldValue",
                         kGenericDescription) +
                ".\r\n");
  EXPECT_EQ(db.Log().size(), 2u);
  // A NULL start reads as "", which is no date.
  EXPECT_EQ(ReportedOnce([] { ContractLine().OldContractExists(1, 1, 7); }).Description,
            Reported(13, op, "Type mismatch"));
}

CARVALEN_ON_PROVIDERS(LineDetail);
CARVALEN_ON_PROVIDERS(ContractBis);
CARVALEN_ON_PROVIDERS(Validity);

}  // namespace
}  // namespace carvalen::test
