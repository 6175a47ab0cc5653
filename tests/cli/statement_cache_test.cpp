// Prepared statements change nothing a caller sees: the same calls, with the statement cache on
// and off, give the same answers, errors, by-reference values and statement texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/component.hpp"
#include "carvalen/dictionary.hpp"
#include "model/schema.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

struct Call {
  const char* object;  // "Carvalen.ContractLine" or "Carvalen.Contract"
  const char* name;
  std::vector<Variant> args;
};

Variant Strings(std::initializer_list<const char*> texts) {
  std::vector<Variant> items;
  for (const char* t : texts) items.emplace_back(t);
  return Variant(Array::Of(items));
}

// At least one call per statement shape: numbers, decimals, quoted texts (one with a quote),
// dates, optional pieces, IN lists, per-row look-ups, and calls that find nothing or fail.
std::vector<Call> Calls() {
  const Variant no = Variant::Missing();
  auto requests = std::make_shared<Dictionary>();
  requests->Add(Variant("1"), Variant(Array::Of({Variant(100), Variant(7), Variant(60.0)})));
  requests->Add(Variant("2"), Variant(Array::Of({Variant(200), Variant(8), Variant(12.5)})));
  const Variant from(Date::FromParts(2020, 1, 1, 0, 0, 0)),
      to(Date::FromParts(2040, 1, 1, 0, 0, 0));
  return {
      {"Carvalen.ContractLine", "GetContractLineNumber", {Variant(77)}},
      {"Carvalen.ContractLine", "GetContractLineNumber", {Variant(5)}},
      {"Carvalen.ContractLine", "GetContractLineDetail", {Variant(1), Variant(1)}},
      {"Carvalen.ContractLine", "GetPrice", {Variant(1), Variant(1), Variant(60.0), Variant()}},
      {"Carvalen.ContractLine", "GetPrice", {Variant(1), Variant(1), Variant(49.5), Variant()}},
      {"Carvalen.ContractLine", "GetPrice", {Variant(9), Variant(1), Variant(1.0), Variant()}},
      {"Carvalen.ContractLine",
       "GetDiscount",
       {Variant(1), Variant(1), Variant(1e-05), Variant(), Variant()}},
      {"Carvalen.ContractLine",
       "GetEffectivePrice",
       {Variant(60.0), Variant(""), no, no, Variant(7), Variant(100), no}},
      {"Carvalen.ContractLine", "GetPriceBreakup", {Variant(1), Variant(1), Variant("")}},
      {"Carvalen.ContractLine", "GetDiscountBreakUp", {Variant(1), Variant(1), Variant("")}},
      {"Carvalen.ContractLine",
       "GetContractFieldValue",
       {Variant(1), Variant(1), Variant("PRICE")}},
      {"Carvalen.ContractLine", "GetContractFieldValue", {Variant(1), Variant(1), Variant("NONE")}},
      {"Carvalen.ContractLine", "MaximumQuantityExceeded", {Variant(1), Variant(1), Variant(5e3)}},
      {"Carvalen.ContractLine", "ContractLineAttachmentExists", {Variant("it's")}},
      {"Carvalen.ContractLine", "GetContractBIS", {Variant(1), Variant(1), Variant(1), no}},
      {"Carvalen.ContractLine",
       "GetOldContract",
       {Variant(2), Variant(1), Variant(8), Variant(), Variant()}},
      {"Carvalen.ContractLine", "GetEligibleContractsForRFQCreation", {Strings({"PRICE"})}},
      {"Carvalen.Contract", "GetContractHeader", {Variant(100), no}},
      {"Carvalen.Contract",
       "GetContractLineDetails",
       {Variant(1), Variant("B'01"), Variant(6), Variant("P-7"), from, to}},
      {"Carvalen.Contract", "GetActiveContractLinesForBuyer", {Variant("B'01")}},
      {"Carvalen.Contract",
       "GetActiveContractLines",
       {Strings({"PRICE", "BUYERID"}), Variant(1), no, no, no}},
      {"Carvalen.Contract", "GetContractLineIdforProduct", {Variant(7), no, Variant(100)}},
      {"Carvalen.Contract", "ContractHeaderExists", {Variant(2)}},
      {"Carvalen.Contract", "GetActiveContractLinesProc", {Variant(requests)}},
      {"Carvalen.ContractLine", "ContractPriceBreakUpExists", {Variant(1), Variant(1)}},
      {"Carvalen.ContractLine", "ContractDiscountBreakUpExists", {Variant(2), Variant(1)}},
      {"Carvalen.ContractLine", "GetContractLineAttachment", {Variant(1), Variant(1)}},
      {"Carvalen.ContractLine", "GetContractUserData", {Variant(1), Variant(1)}},
      {"Carvalen.ContractLine", "GetBISTransactionIgnore", {Variant(5), Variant(1), Variant(1)}},
      {"Carvalen.Contract", "GetContractHeaderDetails", {Variant(1)}},
      {"Carvalen.Contract", "GetActiveContractLineDetails", {Variant(3), Variant(100)}},
      {"Carvalen.Contract", "GetContractHeaderAttachments", {Variant(1)}},
      {"Carvalen.Contract", "GetContractApprovallines", {Variant(1)}},
      {"Carvalen.Contract", "GetApprovedHeaderAttachment", {Variant(1)}},
      {"Carvalen.Contract", "GetActiveHeaderAttachments", {Variant(1)}},
      {"Carvalen.Contract",
       "getActiveContractLineFieldsperSupplier",
       {Variant(7), Strings({"100", "200"}), Strings({"PRICE", "REMARK"})}},
      {"Carvalen.Contract",
       "GetContractUserDataPerSupplier",
       {Strings({"1"}), Strings({"1"}), no, Strings({"UD01", "UD09"}), Variant(0)}},
  };
}

// Each call's answer, by-reference values or error as JSON text, and the statements sent.
std::vector<std::string> RunCalls(std::vector<std::string>& queries) {
  SqlTrace trace;
  std::vector<std::string> answers;
  for (Call& call : Calls()) {
    try {
      const Variant result = CreateObject(call.object)->Invoke(call.name, call.args);
      Array args = Array::Of(call.args);
      answers.push_back(api::Dump(api::ToJson(result)) + api::Dump(api::ToJson(Variant(args))));
    } catch (const Error& e) {
      answers.push_back(api::Dump(api::ErrorJson(e.Info())));
    }
  }
  queries = trace.Queries();
  return answers;
}

using StatementCache = LineReadTest;

void Fill(ContractDb& db) {
  db.Exec(
      "INSERT INTO CONTRACTHEADER VALUES (1, 100, 3, 'H'); INSERT INTO CONTRACTHEADER VALUES "
      "(2, 200, 3, 'G')");
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID, PRODUCTID, "
      "PRODUCTPARTNUMBER, CURRENCYCODE, BUYERID, CONTRACTSTATUS, PRICE, INCLUDEPRICEBREAKUP, "
      "INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, "
      "FREIGHTCHARGE, HANDLINGCHARGE, QUANTITY, EFFECTIVEDATETIME, EXPIRYDATETIME) VALUES "
      "(1, 1, 77, 7, 'P-7', 'EUR', 'B''01', 6, 10, 1, 1, 1, 0, 0, 8, 5, 2, 1000, "
      "'2025-01-01 00:00:00', '2035-01-01 00:00:00')");
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID, PRODUCTID, "
      "CURRENCYCODE, CONTRACTSTATUS, PRICE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, "
      "MINQTYBREAKUP, DISCOUNTPERCENTAGE) VALUES (2, 1, 78, 8, 'USD', 6, 4.25, 0, 0, 0, 1.5)");
  for (const char* row : {"(1, 1, 10, 9.5)", "(1, 1, 50, 9)", "(1, 1, 100, 8)"}) {
    db.Exec(std::string("INSERT INTO CONTRACTPRICE VALUES ") + row);
  }
  db.Exec("INSERT INTO CONTRACTDISCOUNT VALUES (1, 1, 0.00001, 2, 0)");
  db.Exec(
      "INSERT INTO CONTRACTATTACHMENT VALUES (10, 1, NULL, 1, 'head', 'it''s', 0, 5, 'a'), "
      "(11, 1, NULL, 2, 'asked', 'X', 0, 2, 'b'), (12, 1, 1, 1, 'line', 'it''s', 1, 5, 'c')");
  db.Exec("INSERT INTO CONTRACTUSERDATA VALUES (1, 1, 'UD01', 'd', 'c', 0, 'v')");
  db.Exec(
      "INSERT INTO CONTRACTLINEBIS VALUES (5, 1, 1, 0, 'BH', 'BL', NULL, 1, 2, 3, 4, 1, 'P', "
      "'C', 'D')");
}

// Rewrites the store in place to name `connection`: the very next call reads it.
void Name(ContractDb& db, const std::string& connection) {
  std::ofstream(std::filesystem::path(db.ConfigDir()) / "Vendra.toml")
      << "[ConnectionStrings]\nEContract = '" << connection << "'\n";
}

std::vector<std::string> RunAgainst(ContractDb& db, const std::string& connection,
                                    std::vector<std::string>& queries) {
  Name(db, connection);
  return RunCalls(queries);
}

// The calls with the cache on, then off: the same answers, errors and statements.
void ExpectCachedAsUncached(ContractDb& db, const std::string& connection) {
  std::vector<std::string> cached_queries, text_queries;
  const std::vector<std::string> cached = RunAgainst(db, connection, cached_queries);
  const std::vector<std::string> texts =
      RunAgainst(db, connection + ";Statement Cache Size=0", text_queries);
  ASSERT_EQ(cached.size(), texts.size());
  for (std::size_t i = 0; i < cached.size(); ++i) {
    EXPECT_EQ(cached[i], texts[i]) << Calls()[i].name;
  }
  EXPECT_EQ(cached_queries, text_queries);
  EXPECT_GT(cached_queries.size(), cached.size());
}

TEST_P(StatementCache, AnswersAsTheTextsDo) {
  Fill(db);
  ExpectCachedAsUncached(db, db.ConnectionString());
}

// A host whose kept statements and pooled sessions outlive a table rebuilt with its columns in
// another order (the usual copy, drop and rename) answers from the table as it is now.
TEST_P(StatementCache, KeptStatementsFollowARebuiltTable) {
  Fill(db);
  std::vector<std::string> queries;
  for (int i = 0; i < 6; ++i) RunCalls(queries);  // every statement kept, past any plan threshold
  std::string columns;
  for (const auto& column : model::FindTable("CONTRACTLINE")->columns) {
    columns = std::string(column.name) + (columns.empty() ? "" : ", ") + columns;
  }
  db.Exec("CREATE TABLE CONTRACTLINE_NEW AS SELECT " + columns + " FROM CONTRACTLINE");
  db.Exec("DROP TABLE CONTRACTLINE");
  db.Exec("ALTER TABLE CONTRACTLINE_NEW RENAME TO CONTRACTLINE");
  ExpectCachedAsUncached(db, db.ConnectionString());
}

// One host, warmed once, while the world changes under it: the store names another database,
// rows change, and a SQLite file is replaced by rename. Each step answers as a fresh host would.
TEST_P(StatementCache, AWarmHostFollowsEveryChangeOfTheWorld) {
  Fill(db);
  std::vector<std::string> queries;
  for (int i = 0; i < 6; ++i) RunCalls(queries);
  ContractDb other(GetParam());
  Fill(other);
  other.Exec("UPDATE CONTRACTLINE SET PRICE = 555, CONTRACTSTATUS = 5 WHERE CONTRACTHEADERID = 2");
  other.Exec("DELETE FROM CONTRACTPRICE WHERE QUANTITY = 50");
  {
    SCOPED_TRACE("the store names another database");
    ExpectCachedAsUncached(db, other.ConnectionString());
  }
  db.Exec("UPDATE CONTRACTPRICE SET PRICE = PRICE + 1; DELETE FROM CONTRACTDISCOUNT");
  db.Exec("UPDATE CONTRACTHEADER SET BUSINESSPARTNERID = 300 WHERE CONTRACTHEADERID = 2");
  db.Exec("DELETE FROM CONTRACTATTACHMENT WHERE ATTACHMENTID = 12");
  {
    SCOPED_TRACE("back to the first database, its rows changed");
    ExpectCachedAsUncached(db, db.ConnectionString());
  }
  if (db.provider() != Provider::SQLite) return;
  const std::string copy = db.Location() + ".new";
  other.Exec("VACUUM INTO '" + copy + "'");
  std::filesystem::rename(copy, db.Location());
  SCOPED_TRACE("the first database's file replaced by rename");
  ExpectCachedAsUncached(db, db.ConnectionString());
}

// Skewed data: partner 801 has thousands of contracts, 800 two (81 stored first, 80 first by the
// index). Once the server has seen the statement often it may plan it for any partner; the rare
// one must still get the rows in the order its own literal statement delivers them.
TEST_P(StatementCache, SkewedValuesAreAnsweredAsTheirOwnLiteralStatement) {
  const bool pg = db.provider() == Provider::PostgreSQL;
  db.Exec(
      "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
      "(81, 800, 2); INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, "
      "CATEGORYID) VALUES (80, 800, 1)");
  db.Exec(std::string(pg ? "INSERT INTO CONTRACTHEADER SELECT g, 801, 1 FROM generate_series("
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
  auto price = [](int partner) {
    const Variant no = Variant::Missing();
    std::vector<Variant> args{Variant(1.0), Variant(""), no, no, Variant(5), Variant(partner), no};
    return api::Dump(
        api::ToJson(CreateObject("Carvalen.ContractLine")->Invoke("GetEffectivePrice", args)));
  };
  for (int i = 0; i < 12; ++i) price(801);
  const std::string cached = price(800);
  Name(db, db.ConnectionString() + ";Statement Cache Size=0");
  EXPECT_EQ(cached, price(800));
}

CARVALEN_ON_PROVIDERS(StatementCache);

}  // namespace
}  // namespace carvalen::test
