// Contract reads: headers, attachments, lines by header, product or buyer, active lines, matrices.
#include <gmock/gmock.h>

#include <functional>

#include "carvalen/contract.hpp"
#include "db/errors.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;
using Rows = std::vector<std::vector<Variant>>;

const Variant empty;

// Headers 12, 13 (no category) of partner 100, 14 of 200; lines of 12 in every status that matters;
// attachments of 12: two of its own (one all NULL), one approved, one of a line under approval.
const std::string kContractHeadersRows =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
    "(12, 100, 7), (13, 100, NULL), (14, 200, 7);"
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CONTRACTSTATUS) VALUES "
    "(12, 1, 2), (12, 2, 3), (12, 3, 6), (12, 4, 1), (13, 1, 6), (13, 2, 1);"
    "INSERT INTO CONTRACTATTACHMENT (ATTACHMENTID, CONTRACTHEADERID, CONTRACTLINEID, "
    "REVISIONNUMBER, DESCRIPTION, ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH) VALUES "
    "(1, 12, NULL, 2, 'Terms', 'TERMS', 0, 5, '/t.pdf'), "
    "(2, 12, NULL, NULL, NULL, NULL, NULL, 5, NULL), "
    "(3, 12, 1, 4, 'Drawing', 'DRAWING', 1, 2, '/d.pdf'), "
    "(4, 12, NULL, 3, 'Old', 'TERMS', 0, 3, '/o.pdf'), "
    "(5, 13, NULL, 1, 'Other', 'TERMS', 0, 5, '/x.pdf'), "
    "(6, 14, NULL, NULL, 'Draft', 'TERMS', 0, 2, NULL)";
using ContractHeaders = SeededTest<kContractHeadersRows>;

TEST_P(ContractHeaders, ListsByTheOptionalsAndReadsDetailsApprovalLinesAndAttachments) {
  const std::string select = "SELECT * FROM CONTRACTHEADER";
  const std::tuple<Variant, Variant, std::string, std::vector<Variant>> cases[] = {
      {no, no, select, Vs(12, 13, 14)},
      {Variant(100), no, select + " WHERE BUSINESSPARTNERID = 100", Vs(12, 13)},
      {no, Variant(7), select + " WHERE CATEGORYID = 7", Vs(12, 14)},
      {Variant(100), Variant(7), select + " WHERE BUSINESSPARTNERID = 100 AND CATEGORYID = 7",
       Vs(12)},
      {Variant("200"), no, select + " WHERE BUSINESSPARTNERID = 200", Vs(14)},  // text of a number
      {empty, no, select + " WHERE BUSINESSPARTNERID = 0", {}},  // supplied, even if Empty
  };
  for (const auto& [partner, category, sql, found] : cases) {
    SCOPED_TRACE(sql);
    SqlTrace trace;
    const DictionaryPtr headers = Contract().GetContractHeader(partner, category);
    EXPECT_EQ(trace.Queries(), Sql{sql});
    EXPECT_THAT(FirstOfEach(*headers), UnorderedElementsAreArray(found));
  }
  // Text keys; a NULL category stays Null.
  const DictionaryPtr partner = Contract().GetContractHeader(Variant(100));
  EXPECT_EQ(KeysOf(*partner), Vs("1", "2"));
  EXPECT_THAT(Items(*partner), UnorderedElementsAre(Vs(12, 100, 7), Vs(13, 100, null)));
  Contract contract;
  SqlTrace trace;
  EXPECT_EQ(ElementsOf(contract.GetContractHeaderDetails(13)), Vs(100, null));
  EXPECT_TRUE(contract.ContractHeaderExists(12));
  EXPECT_FALSE(contract.ContractHeaderExists(99));
  const Variant approval = contract.GetContractApprovallines(12);
  EXPECT_EQ(approval.GetArray().LBound(), 0);
  EXPECT_THAT(ElementsOf(approval), UnorderedElementsAre(Variant(1), Variant(2)));
  // Every status, header rows only; NULL text columns become "" but the file path stays Null.
  const DictionaryPtr all = contract.GetContractHeaderAttachments(12);
  EXPECT_EQ(KeysOf(*all), Vs("1", "2", "3"));
  EXPECT_THAT(Items(*all), UnorderedElementsAre(Vs(1, 2, "Terms", null, "TERMS", 0, 5, "/t.pdf"),
                                                Vs(2, null, "", null, "", null, 5, null),
                                                Vs(4, 3, "Old", null, "TERMS", 0, 3, "/o.pdf")));
  // Active ones: six columns read into eight elements, the last two Empty.
  EXPECT_THAT(Items(*contract.GetActiveHeaderAttachments(12)),
              UnorderedElementsAre(Vs(1, 2, "Terms", "TERMS", 0, "/t.pdf", empty, empty),
                                   Vs(2, null, "", "", null, null, empty, empty)));
  // Under approval (2, not 3), lines' attachments included; the id may come as text.
  const DictionaryPtr approved = contract.GetApprovedHeaderAttachment(Variant("12"));
  EXPECT_EQ(KeysOf(*approved), Vs("1"));
  EXPECT_EQ(Items(*approved), Rows{Vs(3, 4)});
  const std::string exists =
      "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE CONTRACTHEADERID = ";
  const std::string of_header =
      "SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTLINEID IS NULL AND CONTRACTHEADERID = 12";
  EXPECT_EQ(
      trace.Queries(),
      (Sql{"SELECT * FROM CONTRACTHEADER WHERE CONTRACTHEADERID = 13", exists + "12", exists + "99",
           "SELECT CONTRACTLINEID FROM CONTRACTLINE WHERE CONTRACTHEADERID = 12 AND "
           "(CONTRACTSTATUS = 2 OR CONTRACTSTATUS = 3)",
           of_header, of_header + " AND ATTACHMENTSTATUS = 5",
           "SELECT ATTACHMENTID,REVISIONNUMBER FROM CONTRACTATTACHMENT WHERE "
           "CONTRACTHEADERID = 12 AND ATTACHMENTSTATUS = 2"}));
  EXPECT_EQ(contract.GetContractHeaderAttachments(99)->Count(), 0);
  // Lines only active or new: an array never allocated, not an empty one.
  const Variant none = contract.GetContractApprovallines(13);
  EXPECT_TRUE(none.IsArray() && none.ArrayPointer() == nullptr);
  // A missing header is an error of its own; a NULL revision or an id that is no number fail.
  const ErrorInfo missing = ReportedOnce([&] { contract.GetContractHeaderDetails(99); });
  EXPECT_EQ(missing.Source, "Carvalen");
  EXPECT_EQ(missing.Description, Reported(0x80040402u, "Carvalen.Contract.GetContractHeaderDetails",
                                          kGenericDescription));
  const std::string op = "Carvalen.Contract.GetApprovedHeaderAttachment";
  EXPECT_EQ(RaisedBy([&] { contract.GetApprovedHeaderAttachment(Variant(14)); }).Description,
            Reported(94, op, "Invalid use of Null"));
  EXPECT_EQ(RaisedBy([&] { contract.GetApprovedHeaderAttachment(Variant("x")); }).Description,
            Reported(13, op, "Type mismatch"));
}

// Header 12 of partner 100, 13 of 200. Product 500 ("P-500") has lines 12/1, 12/3 (active but
// expired) and 13/1; line 12/2 is NULL wherever it may be; 13/2 is new.
const std::string kContractSearchRows =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
    "(12, 100, 7), (13, 200, 7);"
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, BUYERID, SUPPLIERID, "
    "CONTRACTSTATUS, EFFECTIVEDATETIME, EXPIRYDATETIME, PRODUCTDESCRIPTION, "
    "CONTRACTDESCRIPTION, PRODUCTID, PRODUCTPARTNUMBER) VALUES "
    "(12, 1, 'B01', 100, 6, '2026-01-01 00:00:00', '2026-12-31 00:00:00', 'Bolt', 'Frame', "
    "500, 'P-500'), (12, 2, NULL, NULL, 2, NULL, NULL, NULL, NULL, 501, 'O''Brien'), "
    "(12, 3, 'B01', 100, 6, '2026-01-01 08:00:00', '2020-01-01 00:00:00', 'Nut', 'Frame', "
    "500, 'P-500'), (13, 1, 'B01', 200, 6, NULL, NULL, 'Bolt', 'Frame', 500, 'P-500'), "
    "(13, 2, 'B02', 200, 1, NULL, NULL, 'Washer', 'Frame', 502, 'P-502')";
using ContractSearch = SeededTest<kContractSearchRows>;

Variant On(int year, int month, int day) { return Variant(Date::FromParts(year, month, day, 0)); }

TEST_P(ContractSearch, LineDetailsAndLinesOfAProductAppendTheSuppliedCriteria) {
  const std::string base =
      "SELECT CONTRACTLINEID,BUYERID,SUPPLIERID,CONTRACTSTATUS,EFFECTIVEDATETIME,EXPIRYDATETIME,"
      "PRODUCTDESCRIPTION,CONTRACTDESCRIPTION,PRODUCTID FROM CONTRACTLINE WHERE "
      "CONTRACTHEADERID = 12";
  // {buyer, status, part, effective, expiry, tail, found}
  using Case =
      std::tuple<Variant, Variant, Variant, Variant, Variant, std::string, std::vector<Variant>>;
  const Case cases[] = {
      {no, no, no, no, no, "", Vs(1, 2, 3)},
      {no, no, Variant("O'Brien"), no, no, " AND PRODUCTPARTNUMBER = 'O''Brien'", Vs(2)},
      // Text that reads as a date converts; the match is exact to the second.
      {no, no, no, no, Variant("2026-12-31"), " AND EXPIRYDATETIME = '2026-12-31 00:00:00'", Vs(1)},
      {Variant("B01"), Variant(6), Variant("P-500"), On(2026, 1, 1), On(2026, 12, 31),
       " AND BUYERID = 'B01' AND CONTRACTSTATUS = 6 AND PRODUCTPARTNUMBER = 'P-500' AND "
       "EFFECTIVEDATETIME = '2026-01-01 00:00:00' AND EXPIRYDATETIME = '2026-12-31 00:00:00'",
       Vs(1)},
  };
  for (const auto& [buyer, status, part, effective, expiry, tail, found] : cases) {
    SCOPED_TRACE(tail);
    SqlTrace trace;
    const auto lines =
        Contract().GetContractLineDetails(12, buyer, status, part, effective, expiry);
    EXPECT_EQ(trace.Queries(), Sql{base + tail});
    EXPECT_THAT(FirstOfEach(*lines), UnorderedElementsAreArray(found));
  }
  // Text keys; supplier, expiry and both descriptions turn NULL into "", the others keep Null.
  const DictionaryPtr lines = Contract().GetContractLineDetails(12);
  EXPECT_EQ(KeysOf(*lines), Vs("1", "2", "3"));
  EXPECT_THAT(Items(*lines), ::testing::Contains(Vs(2, null, "", 2, null, "", "", "", 501)));
  EXPECT_THAT(Items(*lines), ::testing::Contains(Vs(1, "B01", 100, 6, On(2026, 1, 1),
                                                    On(2026, 12, 31), "Bolt", "Frame", 500)));
  // Active lines of a buyer: number keys; the expired active line 12/3 with its header's partner.
  SqlTrace trace;
  const DictionaryPtr of_buyer = Contract().GetActiveContractLinesForBuyer("B01");
  EXPECT_EQ(trace.Queries(),
            Sql{" SELECT CONTRACTLINE.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID, "
                "CONTRACTHEADER.BUSINESSPARTNERID FROM CONTRACTHEADER, CONTRACTLINE WHERE "
                "CONTRACTLINE.BUYERID= 'B01' AND CONTRACTLINE.CONTRACTSTATUS= 6 AND "
                "CONTRACTHEADER.CONTRACTHEADERID = CONTRACTLINE.CONTRACTHEADERID"});
  EXPECT_EQ(KeysOf(*of_buyer), Vs(1, 2, 3));
  EXPECT_THAT(Items(*of_buyer),
              UnorderedElementsAre(Vs(12, 1, 100), Vs(12, 3, 100), Vs(13, 1, 200)));
  EXPECT_EQ(Contract().GetActiveContractLinesForBuyer("B02")->Count(), 0);  // not active
  const std::string plain =
      "SELECT CONTRACTHEADERID,CONTRACTLINEID,CONTRACTSTATUS FROM CONTRACTLINE WHERE ";
  const std::string joined =
      "SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID, "
      "CONTRACTLINE.CONTRACTSTATUS FROM CONTRACTHEADER, CONTRACTLINE WHERE "
      "CONTRACTHEADER.BUSINESSPARTNERID=200 AND CONTRACTLINE.";
  const std::string join = " AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID";
  const Variant p500(500), p502("P-502");
  const Rows all = {Vs(12, 1, 6), Vs(12, 3, 6), Vs(13, 1, 6)};
  const std::tuple<Variant, Variant, Variant, std::string, Rows> by_product[] = {
      {p500, no, no, plain + "PRODUCTID = 500", all},
      {p500, p502, no, plain + "PRODUCTID = 500", all},  // the id wins
      {no, Variant("O'Brien"), no, plain + "PRODUCTPARTNUMBER = 'O''Brien'", {Vs(12, 2, 2)}},
      {p500, no, Variant(200), joined + "PRODUCTID=500" + join, {Vs(13, 1, 6)}},
      // Every status: the new line is found too.
      {no, p502, Variant("200"), joined + "PRODUCTPARTNUMBER='P-502'" + join, {Vs(13, 2, 1)}},
  };
  for (const auto& [product, part, partner, sql, found] : by_product) {
    SCOPED_TRACE(sql);
    SqlTrace trace;
    const DictionaryPtr lines = Contract().GetContractLineIdforProduct(product, part, partner);
    EXPECT_EQ(trace.Queries(), Sql{sql});
    EXPECT_THAT(Items(*lines), UnorderedElementsAreArray(found));
  }
  EXPECT_EQ(KeysOf(*Contract().GetContractLineIdforProduct(p500)), Vs("1", "2", "3"));
  // Without a product nothing is sent, and reading the unopened record set fails.
  for (const Variant& partner : {no, Variant(100)}) {
    SqlTrace trace;
    const auto error = RaisedBy([&] { Contract().GetContractLineIdforProduct(no, no, partner); });
    EXPECT_EQ(error.Number, db::dberr::kObjectClosed);
    EXPECT_EQ(error.Description,
              Reported(static_cast<std::uint32_t>(db::dberr::kObjectClosed),
                       "Carvalen.Contract.GetContractLineIdforProduct", db::kTextClosed));
    EXPECT_TRUE(trace.Queries().empty());
  }
}

const Variant kIds = List(Vs("CONTRACTHEADERID", "contractlineid"));
const std::string kOfPartner =
    " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.* FROM CONTRACTHEADER, CONTRACTLINE "
    "WHERE CONTRACTHEADER.BUSINESSPARTNERID=100 AND ";
const std::string kActive =
    " AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
    "CONTRACTLINE.CONTRACTSTATUS = 6";
const std::string kOfHeader = "SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND ";

// Partner 100: contracts 1, 2 in category 4 and 4 in category 9; partner 200: contract 3. Line
// (1, 1) is active but long expired; (1, 4) is expired.
const std::string kActiveLinesRows =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
    "(1, 100, 4), (2, 100, 4), (3, 200, 4), (4, 100, 9);"
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, PRICE, "
    "REMARK, EXPIRYDATETIME) VALUES (1, 1, 7001, 6, 9.5, 'first', '2001-01-01 00:00:00'), "
    "(1, 2, 7001, 6, NULL, NULL, NULL), (1, 3, 7002, 6, 1, 'x', NULL), "
    "(1, 4, 7001, 7, 1, 'x', NULL), (2, 1, 7001, 6, 2, 'x', NULL), (3, 1, 7001, 6, 3, 'x', NULL), "
    "(4, 1, 7001, 6, 4, 'x', NULL)";
using ActiveLines = SeededTest<kActiveLinesRows>;

TEST_P(ActiveLines, EachStatementFormFindsItsLinesOrFailsAndDetailsOutliveTheConnection) {
  const Variant h1(1), p7001(7001);
  // {header, product, partner, excluded line, sql, {header, line} found}
  const std::tuple<Variant, Variant, Variant, Variant, std::string, Rows> cases[] = {
      {h1, no, no, no, kOfHeader + "CONTRACTSTATUS = 6", Rows{Vs(1, 1), Vs(1, 2), Vs(1, 3)}},
      {h1, p7001, no, no, kOfHeader + "PRODUCTID = 7001 AND CONTRACTSTATUS = 6",
       Rows{Vs(1, 1), Vs(1, 2)}},
      // Every contract of the partner, any category, without line id 2 (given as text).
      {no, p7001, Variant(100), Variant("2"),
       kOfPartner + "CONTRACTLINE.PRODUCTID=7001" + kActive +
           " AND CONTRACTLINE.CONTRACTLINEID <> 2",
       Rows{Vs(1, 1), Vs(2, 1), Vs(4, 1)}},
  };
  for (const auto& [header, product, partner, excluded, sql, lines] : cases) {
    SCOPED_TRACE(sql);
    SqlTrace trace;
    const auto result = Contract().GetActiveContractLines(kIds, header, product, partner, excluded);
    EXPECT_EQ(trace.Queries(), Sql{sql});
    EXPECT_THAT(Items(*result), UnorderedElementsAreArray(lines));
    const std::vector<Variant> keys = Vs(1, 2, 3);  // Long keys from 1; text finds nothing
    EXPECT_EQ(KeysOf(*result), std::vector(keys.begin(), keys.begin() + lines.size()));
    EXPECT_FALSE(result->Exists(Variant("1")));
  }
  EXPECT_TRUE(db.Log().empty());
  // Names from 1 leave element 0 Empty; NULL becomes "".
  const DictionaryPtr from_one = Contract().GetActiveContractLines(
      List(Vs("CONTRACTLINEID", "PRICE", "remark"), 1), Variant(1), Variant(7001));
  for (const auto& [key, item] : from_one->Entries()) EXPECT_EQ(item.GetArray().LBound(), 0);
  EXPECT_THAT(Items(*from_one),
              UnorderedElementsAreArray({Vs(empty, 1, 9.5, "first"), Vs(empty, 2, "", "")}));
  // {label, fields, header, product, partner, number, what was sent before the failure}
  const std::int32_t no_command = db::dberr::kInvalidArgument;
  using Failure = std::tuple<const char*, Variant, Variant, Variant, Variant, std::int32_t, Sql>;
  const Failure failures[] = {
      {"no id", kIds, no, no, no, no_command, {""}},
      {"all three", kIds, Variant(1), Variant(7001), Variant(100), no_command, {""}},
      {"fields not an array", Variant("PRICE"), Variant(1), no, no, 13, {}},
      {"no such column", List(Vs("NOSUCH")), Variant(1), no, no, db::dberr::kNotFoundInCollection,
       Sql{kOfHeader + "CONTRACTSTATUS = 6"}},
  };
  for (const auto& [label, fields, header, product, partner, number, queries] : failures) {
    SCOPED_TRACE(label);
    SqlTrace trace;
    const auto call = [&f = fields, &h = header, &p = product, &b = partner] {
      Contract().GetActiveContractLines(f, h, p, b);
    };
    EXPECT_EQ(ReportedOnce(call).Number, number);
    EXPECT_EQ(trace.Queries(), queries);
  }
  // Names are looked up only on a row: with no active line an unknown one is no error.
  EXPECT_EQ(Contract().GetActiveContractLines(List(Vs("NOSUCH")), Variant(99))->Count(), 0);
  const std::int64_t open = db::OpenConnectionCount();
  SqlTrace trace;
  const RecordsetPtr rs = Contract().GetActiveContractLineDetails(4, 100);
  EXPECT_EQ(db::OpenConnectionCount(), open);
  EXPECT_EQ(trace.Queries(), Sql{kOfPartner + "CONTRACTHEADER.CATEGORYID =4" + kActive});
  // On its first row, every row read: contracts 1 and 2 of category 4, the expired line left out.
  ASSERT_FALSE(rs->Bof() || rs->Eof());
  EXPECT_EQ(rs->RecordCount(), 4);
  Rows lines;
  for (; !rs->Eof(); rs->MoveNext())
    lines.push_back({rs->Field("ContractHeaderId"), rs->Field("CONTRACTLINEID")});
  EXPECT_THAT(lines, UnorderedElementsAreArray({Vs(1, 1), Vs(1, 2), Vs(1, 3), Vs(2, 1)}));
  const RecordsetPtr none = Contract().GetActiveContractLineDetails(9, 200);
  EXPECT_TRUE(none->Bof() && none->Eof());
  // Late binding hands over the same record set.
  std::vector<Variant> args{Variant(4), Variant(100)};
  const ObjectPtr bound = Contract().Invoke("GetActiveContractLineDetails", args).GetObject();
  EXPECT_EQ(bound->ClassName(), "Recordset");
  EXPECT_TRUE(bound->Invoke("RecordCount", {}) == Variant(4));
}

// The cells of a two-dimensional array, row by row, after checking its bounds.
Rows Cells(const Variant& matrix, std::int32_t last_row, std::int32_t last_column) {
  const Array& a = matrix.GetArray();
  EXPECT_EQ(a.Dimensions(), 2);
  EXPECT_EQ(std::vector({a.LBound(1), a.UBound(1), a.LBound(2), a.UBound(2)}),
            std::vector({0, last_row, 0, last_column}));
  Rows rows(a.UBound(1) + 1);
  for (std::int32_t i = 0; i <= a.UBound(1); ++i)
    for (std::int32_t j = 0; j <= a.UBound(2); ++j) rows[i].push_back(a.At(i, j));
  return rows;
}

// Partner 100: an active line for product 7001; 200: only an expired one. Line (1, 1) has user
// data with a duplicate code, a NULL value, a code in other case and a NULL code.
const std::string kSupplierMatricesRows =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
    "(1, 100, 4), (2, 200, 4);"
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, PRICE, "
    "SHIPPINGSERVICELEVEL, REMARK) VALUES (1, 1, 7001, 6, 9.5, 'Express', NULL), "
    "(1, 2, 7002, 6, 1, 'x', 'x'), (2, 1, 7001, 7, 1, 'x', 'x');"
    "INSERT INTO CONTRACTUSERDATA (CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, VALUE) VALUES "
    "(1, 1, 'UD01', 'v1'), (1, 1, 'UD02', NULL), (1, 1, 'UD03', 'first'), (1, 1, 'ud01', 'lower'), "
    "(1, 1, NULL, 'no code'), (1, 1, 'UD03', 'second')";
using SupplierMatrices = SeededTest<kSupplierMatricesRows>;

TEST_P(SupplierMatrices, FieldAndUserDataMatricesFillTheirCellsOrFailReportedOnce) {
  const Variant text("");
  SqlTrace trace;
  const Variant matrix = Contract().getActiveContractLineFieldsperSupplier(
      7001, List({Variant(100), text, Variant(200), empty}),
      List({Variant("PRICE"), Variant("SHIPPINGTERM"), text, Variant("REMARK"), List({})}));
  EXPECT_EQ(Cells(matrix, 3, 4),
            (Rows{
                {Variant(9.5), Variant("Express"), text, text, null},  // "" for an empty name, NULL
                {null, null, null, null, null},                        // blank partners: no query
                {empty, empty, empty, empty, null},                    // no active line: Empty
                {null, null, null, null, null},
            }));
  // One query for each partner that is not blank and each name that is no array.
  const Sql queries = trace.Queries();
  ASSERT_EQ(queries.size(), 8u);
  EXPECT_EQ(queries.front(),
            " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.* FROM CONTRACTLINE, "
            "CONTRACTHEADER WHERE CONTRACTHEADER.BUSINESSPARTNERID=100 AND "
            "CONTRACTLINE.PRODUCTID='7001'" +
                kActive);
  std::string last = queries.front();
  last.replace(last.find("=100"), 4, "=200");
  EXPECT_EQ(queries.back(), last);
  // Names from 1: column 0 is never written.
  EXPECT_EQ(Cells(Contract().getActiveContractLineFieldsperSupplier(7001, List({Variant(100)}),
                                                                    List({Variant("PRICE")}, 1)),
                  0, 1),
            (Rows{{empty, Variant(9.5)}}));
  const Variant codes = List(Vs("UD01", "UD02", "UD03", "UD09"));
  // {label, headers, lines, row 2 of the matrix (every other row stays Empty), queries}
  using Case = std::tuple<const char*, Variant, Variant, std::vector<Variant>, Sql>;
  const Case cases[] = {
      {"line with user data: the later duplicate wins, exact case, \"\" where none",
       List({empty, empty, Variant(1)}),
       List({empty, empty, Variant("1")}),
       Vs("v1", null, "second", ""),
       {"SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1"}},
      {"blank header", List({empty, empty, Variant("")}), List({empty, empty, Variant(1)}), {}, {}},
  };
  for (const auto& [label, headers, lines, row, queries] : cases) {
    SCOPED_TRACE(label);
    SqlTrace trace;
    // The partner list is never read: not even an array will do.
    const Variant matrix =
        Contract().GetContractUserDataPerSupplier(headers, lines, Variant("ignored"), codes, 2);
    Rows expected(11, std::vector<Variant>(21));
    std::copy(row.begin(), row.end(), expected[2].begin());
    EXPECT_EQ(Cells(matrix, 10, 20), expected);
    EXPECT_EQ(trace.Queries(), queries);
  }
  // A position outside the user-data matrix or the id lists is a subscript error.
  const Variant price = List(Vs("PRICE")), ids = List(std::vector<Variant>(12, Variant(1)));
  auto fields = [](Variant partners, Variant names) {
    return [=] { Contract().getActiveContractLineFieldsperSupplier(7001, partners, names); };
  };
  auto user_data = [&](Variant codes, std::int32_t row) {
    return [=] { Contract().GetContractUserDataPerSupplier(ids, ids, empty, codes, row); };
  };
  const std::tuple<const char*, std::function<void()>, std::int32_t> failures[] = {
      {"partners from 1", fields(List(Vs(100), 1), price), 9},
      // 5,001 partners by 3,000 names: each bound alone is small, the matrix past the budget.
      {"a matrix past the cell budget", fields(List(Vs(100), 5000), List(Vs("PRICE"), 2999)), 7},
      {"the lower-case name is not substituted", fields(List(Vs(100)), List(Vs("shippingterm"))),
       db::dberr::kNotFoundInCollection},
      {"user data row 11", user_data(List(Vs("UD01")), 11), 9},
      {"user data column 21", user_data(List(Vs("UD01"), 21), 0), 9},
  };
  for (const auto& [label, call, number] : failures)
    EXPECT_EQ(ReportedOnce(call).Number, number) << label;
}

CARVALEN_ON_PROVIDERS(ContractHeaders);
CARVALEN_ON_PROVIDERS(ContractSearch);
CARVALEN_ON_PROVIDERS(ActiveLines);
CARVALEN_ON_PROVIDERS(SupplierMatrices);

}  // namespace
}  // namespace carvalen::test
