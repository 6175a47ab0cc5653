// The same calls with the statement cache on and off give the same answers and statement texts.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "model/schema.hpp"
#include "reliability/demo_calls.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

// Every example, plus quotes in texts, dates, decimals, text keys and IN lists, misses, failures.
std::vector<ExampleCall> Calls() {
  std::vector<ExampleCall> calls = ExampleCalls();
  calls.insert(
      calls.end(),
      {{"Contract.GetContractLineDetails",
        R"({"i_lContractHeaderID": 1, "i_sBuyerId": "B'01", "i_nContractStatus": 6,
            "i_sProductPartNumber": "P-7", "i_dEffectiveDate": {"$date": "2020-01-01"},
            "i_dExpiryDate": {"$date": "2040-01-01"}})"},
       {"ContractLine.ContractLineAttachmentExists", R"({"i_sAttachmentTypeCode": "it's"})"},
       {"ContractLine.GetPrice",
        R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 49.5})"},
       {"ContractLine.GetPrice",
        R"({"i_lContractHeaderID": 99999, "i_lContractLineID": 1, "i_fQuantity": 1.0})"},
       {"ContractLine.GetDiscount",
        R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 1e-05})"},
       {"ContractLine.GetContractLineNumber", R"({"i_lQuotationNumber": 5})"},
       {"ContractLine.GetContractFieldValue",
        R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_sField": "NONE"})"},
       {"Contract.GetActiveContractLinesProc",
        R"({"i_oDicBPProductQuan": {"$dict": [["7001", {"$array": [501, 60.0]}]]}})"},
       {"Contract.getActiveContractLineFieldsperSupplier",
        R"({"i_lProductId": 7001, "i_aBusinessPartnerIds": {"$array": ["501", "502"]},
            "i_aContractLineFieldNames": {"$array": ["PRICE", "REMARK"]}})"}});
  return calls;
}

// Rewrites the store in use in place to name `connection`: the very next call reads it.
void Name(const std::string& connection) {
  std::ofstream(std::filesystem::path(GetSetting(Setting::ConfigDir)) / "Vendra.toml")
      << "[ConnectionStrings]\nEContract = '" << connection << "'\n";
}

// Each call with its status and document, then the statements sent, on `connection`.
std::vector<std::string> RunCalls(const std::string& connection) {
  Name(connection);
  SqlTrace trace;
  std::vector<std::string> run;
  for (const ExampleCall& call : Calls())
    run.push_back(call.target + " " + call.arguments + ": " + CallText(call));
  const std::vector<std::string> queries = trace.Queries();
  run.insert(run.end(), queries.begin(), queries.end());
  return run;
}

void ExpectCachedAsUncached(const std::string& connection, const char* step) {
  SCOPED_TRACE(step);
  const std::vector<std::string> cached = RunCalls(connection);
  EXPECT_EQ(cached, RunCalls(connection + ";Statement Cache Size=0"));
  EXPECT_GT(cached.size(), 2 * Calls().size());  // more statements than calls
}

using StatementCache = ProviderTest<DemoDb>;

// A warmed host answers as a fresh one whatever changes: tables, rows, the store, the file.
TEST_P(StatementCache, AWarmHostFollowsEveryChangeOfTheWorld) {
  ExpectCachedAsUncached(db.ConnectionString(), "cold");
  for (int i = 0; i < 6; ++i) RunCalls(db.ConnectionString());  // past any plan threshold
  std::string columns;
  for (const auto& column : model::FindTable("CONTRACTLINE")->columns)
    columns = std::string(column.name) + (columns.empty() ? "" : ", ") + columns;
  db.Exec("CREATE TABLE CONTRACTLINE_NEW AS SELECT " + columns + " FROM CONTRACTLINE");
  db.Exec("DROP TABLE CONTRACTLINE");
  db.Exec("ALTER TABLE CONTRACTLINE_NEW RENAME TO CONTRACTLINE");
  ExpectCachedAsUncached(db.ConnectionString(), "a table rebuilt");
  DemoDb other(GetParam());
  other.Exec("UPDATE CONTRACTLINE SET PRICE = 555, CONTRACTSTATUS = 5 WHERE CONTRACTHEADERID = 2");
  other.Exec("DELETE FROM CONTRACTPRICE WHERE QUANTITY = 50");
  ExpectCachedAsUncached(other.ConnectionString(), "the store names another database");
  db.Exec("UPDATE CONTRACTPRICE SET PRICE = PRICE + 1; DELETE FROM CONTRACTDISCOUNT");
  db.Exec("UPDATE CONTRACTHEADER SET BUSINESSPARTNERID = 300 WHERE CONTRACTHEADERID = 2");
  db.Exec("DELETE FROM CONTRACTATTACHMENT WHERE ATTACHMENTID = 2");
  ExpectCachedAsUncached(db.ConnectionString(), "back to the first database, its rows changed");
  if (db.provider() != Provider::SQLite) return;
  const std::string copy = db.Location() + ".new";
  other.Exec("VACUUM INTO '" + copy + "'");
  std::filesystem::rename(copy, db.Location());
  ExpectCachedAsUncached(db.ConnectionString(), "the first database's file replaced by rename");
}

// Skewed partners (thousands of contracts, two): a generic plan keeps the literal one's order.
TEST_P(StatementCache, SkewedValuesAreAnsweredAsTheirOwnLiteralStatement) {
  db.Exec(
      "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
      "(81, 800, 2), (80, 800, 1)");
  db.Exec(std::string(db.provider() == Provider::PostgreSQL
                          ? "INSERT INTO CONTRACTHEADER SELECT g, 801, 1 FROM generate_series("
                            "1000, 31000) g"
                          : "WITH RECURSIVE g(n) AS (SELECT 1000 UNION ALL SELECT n + 1 FROM g "
                            "WHERE n < 31000) INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, "
                            "BUSINESSPARTNERID, CATEGORYID) SELECT n, 801, 1 FROM g"));
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
      "CURRENCYCODE, PRICE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP, "
      "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, FREIGHTCHARGE, HANDLINGCHARGE) "
      "VALUES (80, 1, 5, 6, 'EUR', 42, 0, 0, 1, 0, 0, 0, 0, 0)");
  db.Exec("ANALYZE CONTRACTHEADER");
  const auto price = [](int partner) {
    return CallText({"ContractLine.GetEffectivePrice",
                     R"({"i_fQuantity": 1.0, "i_lProductId": 5, "i_lBusinessPartner": )" +
                         std::to_string(partner) + "}"});
  };
  for (int i = 0; i < 12; ++i) price(801);
  const std::string cached = price(800);
  Name(db.ConnectionString() + ";Statement Cache Size=0");
  EXPECT_EQ(cached, price(800));
}

CARVALEN_ON_PROVIDERS(StatementCache);

}  // namespace
}  // namespace carvalen::test
