// The value of the most recent earlier line, the quantity check and the overlap check.
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

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
            std::vector<std::string>{
                "SELECT CONTRACTLINEID,QUANTITY,EFFECTIVEDATETIME FROM CONTRACTLINE WHERE "
                "PRODUCTID = 6 AND CONTRACTHEADERID = 1 AND EFFECTIVEDATETIME <= " +
                Quoted(today) +
                " AND (CONTRACTSTATUS = 7 OR CONTRACTSTATUS = 6) ORDER BY EFFECTIVEDATETIME DESC"});
}

TEST_P(Validity, ChecksTheRemainingQuantity) {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, CALLEDQUANTITY, "
      "INVOICEDQUANTITY) VALUES (1, 1, 100, 60, 30), (1, 2, NULL, 60, 30), (1, 3, 100, NULL, 30)");
  ContractLine cl;
  EXPECT_FALSE(cl.MaximumQuantityExceeded(1, 1, 10));  // 60 called + 30 invoiced + 10 = 100
  EXPECT_TRUE(cl.MaximumQuantityExceeded(1, 1, 10.5));
  EXPECT_FALSE(cl.MaximumQuantityExceeded(1, 2, 1e9));  // NULL contracted quantity: no limit
  for (auto [line, number] : {std::pair{3, 94}, std::pair{99, errnum::kLineMissing}}) {
    ErrorInfo e = RaisedBy([&, line = line] { cl.MaximumQuantityExceeded(1, line, 0); });
    EXPECT_EQ(e.Number, number) << "line " << line;
    EXPECT_EQ(e.Description.rfind(
                  ReportHeader(number, "Carvalen.ContractLine.MaximumQuantityExceeded"), 0),
              0u);
  }
  SqlTrace trace;
  ContractLine().MaximumQuantityExceeded(1, 1, 1);
  EXPECT_EQ(trace.Queries(), std::vector<std::string>{
                                 "SELECT CALLEDQUANTITY,INVOICEDQUANTITY,QUANTITY FROM "
                                 "CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1"});
}

const std::string kLine =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
    "EFFECTIVEDATETIME, EXPIRYDATETIME) VALUES ";

TEST_P(Validity, FindsOverlappingActiveLines) {
  const std::string e = "'2026-03-01 00:00:00'", x = "'2026-06-30 00:00:00'";
  struct Case {
    const char* name;
    bool open_ended;    // the line asked about has no expiry
    int status;         // of the line asked about
    const char* start;  // of the other active line; null: there is none
    const char* end;
    bool found;
  } const cases[] = {
      {"ends exactly at the start", false, 5, "'2026-01-01 00:00:00'", e.c_str(), true},
      {"open, starts just after the end", false, 5, "'2026-06-30 00:00:01'", "NULL", false},
      {"open, starts at the end", false, 5, x.c_str(), "NULL", true},
      {"asked line open: ended before", true, 5, "'2025-01-01 00:00:00'", "'2026-02-01 00:00:00'",
       false},
      {"asked line open: ends at its start", true, 5, "'2025-01-01 00:00:00'", e.c_str(), true},
      {"an active line finds itself", false, 6, nullptr, nullptr, true},
  };
  std::int32_t header = 100;
  for (const Case& c : cases) {
    const std::string h = std::to_string(++header);
    db.Exec(kLine + "(" + h + ", 1, 7, " + std::to_string(c.status) + ", " + e + ", " +
            (c.open_ended ? "NULL" : x) + ")");
    if (c.start) {
      // The other line, and the same line in another state, which never counts.
      db.Exec(kLine + "(" + h + ", 2, 7, 6, " + c.start + ", " + c.end + "), (" + h +
              ", 3, 7, 7, '2026-04-01 00:00:00', NULL)");
    }
    EXPECT_EQ(ContractLine().OldContractExists(header, 1, 7), c.found) << c.name;
  }
  SqlTrace trace;
  ContractLine().OldContractExists(101, 1, 7);
  ContractLine().OldContractExists(105, 1, 7);
  const std::string select =
      "SELECT CONTRACTLINEID,QUANTITY,EFFECTIVEDATETIME FROM CONTRACTLINE WHERE PRODUCTID = 7 AND "
      "CONTRACTHEADERID = ";
  const std::vector<std::string> queries = trace.Queries();
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
                            "(EXPIRYDATETIME >= " +
                            e + "))");
}

TEST_P(Validity, OverlapFailuresNestOrMismatch) {
  db.Exec(kLine + "(1, 1, 7, 6, NULL, NULL)");
  const std::string op = "Carvalen.ContractLine.OldContractExists";
  ErrorInfo missing = RaisedBy([] { ContractLine().OldContractExists(1, 99, 7); });
  EXPECT_EQ(missing.Description,
            ReportHeader(errnum::kLineMissing, op) +
                Reported(errnum::kLineMissing, "Carvalen.ContractLine.GetContractFieldValue",
                         kGenericDescription) +
                ".\r\n");
  EXPECT_EQ(db.Log().size(), 2u);
  // A NULL start reads as "", which is no date.
  ErrorInfo no_start = RaisedBy([] { ContractLine().OldContractExists(1, 1, 7); });
  EXPECT_EQ(no_start.Description, Reported(13, op, "Type mismatch"));
  EXPECT_EQ(db.Log().size(), 3u);
}

CARVALEN_ON_PROVIDERS(Validity);

}  // namespace
}  // namespace carvalen::test
