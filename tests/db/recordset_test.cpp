// Record sets over both databases: value types, field look-up, cursor kinds, maximum record
// count, the ends of the rows, and the life cycle.
#include <gtest/gtest.h>

#include "db/db_test_helpers.hpp"

namespace carvalen::test {
namespace {

using db::CursorLocation;
using db::CursorType;
using Names = std::vector<std::string>;
using Recordsets = ClientTest;

constexpr const char* kClosedText = "Operation is not allowed when the object is closed.";
constexpr const char* kNoRecordText =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
    "requires a current record.";

void MakeNumbers(TestDatabase& db, int n) {
  db.Exec("CREATE TABLE NUMS (N INTEGER)");
  for (int i = 1; i <= n; ++i) db.Exec("INSERT INTO NUMS VALUES (" + std::to_string(i) + ")");
}

std::vector<std::int32_t> ReadAll(db::Recordset& rs) {
  std::vector<std::int32_t> values;
  for (; !rs.Eof(); rs.MoveNext()) values.push_back(rs.Field("N").ToLong());
  return values;
}

TEST_P(Recordsets, DeliversEachColumnTypeAsItsVariant) {
  const struct {
    const char* sqlite;  // the column type on each database; null: not on that one
    const char* pg;
    const char* literal;
    Variant expected;
  } cases[] = {
      {"INTEGER", "integer", "-2147483648", Variant(std::int32_t{-2147483647 - 1})},
      {"INTEGER", "bigint", "3000000000", Variant(std::int64_t{3000000000})},
      {nullptr, "bigint", "5", Variant(std::int32_t{5})},
      {nullptr, "smallint", "7", Variant(std::int16_t{7})},
      {"REAL", "double precision", "49.5", Variant(49.5)},
      {"REAL", "double precision", "1e-05", Variant(1e-05)},
      {nullptr, "real", "1.5", Variant(1.5)},
      {nullptr, "numeric(10,2)", "12.25", Variant(12.25)},
      {"TEXT", "varchar(10)", "'O''Brien'", Variant("O'Brien")},
      {"TEXT", "text", "''", Variant("")},
      {"DATETIME", "timestamp", "'2024-02-29 13:45:10'",
       Variant(Date::FromParts(2024, 2, 29, 13, 45, 10))},
      {nullptr, "timestamp", "'2024-02-29 13:45:10.5'",
       Variant(Date::FromParts(2024, 2, 29, 13, 45, 10, 500000))},
      {"DATETIME", "date", "'2024-02-29'", Variant(Date::FromParts(2024, 2, 29))},
      {"DATETIME", nullptr, "'not a date'", Variant("not a date")},
      {"DATETIME", "timestamp", "NULL", Variant::Null()},
      {"INTEGER", "integer", "NULL", Variant::Null()},
      {"BOOLEAN", "boolean", "true", Variant(true)},
      {"BLOB", nullptr, "x'41420043'", Variant(std::string("AB\0C", 4))},
      {nullptr, "uuid", "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'",
       Variant("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
  };
  auto connection = OpenClient(db().ConnectionString());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const char* type = lite() ? cases[i].sqlite : cases[i].pg;
    if (type == nullptr) continue;
    SCOPED_TRACE(std::string(type) + " " + cases[i].literal);
    const std::string table = "T" + std::to_string(i);
    db().Exec("CREATE TABLE " + table + " (V " + type + "); INSERT INTO " + table + " VALUES (" +
              cases[i].literal + ")");
    auto rs = OpenQuery(connection, "SELECT V FROM " + table);
    ASSERT_FALSE(rs->Eof());
    const Variant value = rs->Field("V");
    EXPECT_EQ(value.TypeName(), cases[i].expected.TypeName());
    EXPECT_TRUE(value == cases[i].expected);
  }
  connection->Close();
}

TEST_P(Recordsets, FindsFieldsWithoutRegardToCaseFirstMatchWinning) {
  db().Exec("CREATE TABLE PARENT (ID INTEGER, NAME TEXT); INSERT INTO PARENT VALUES (7, 'p')");
  auto connection = OpenClient(db().ConnectionString());
  // Expressions have no declared type: their values decide.
  auto rs = OpenQuery(connection, "SELECT 1 AS id, 2.5 AS half, 'x' AS textual, P.* FROM PARENT P");
  // Names come back as the database reports them; PostgreSQL folds unquoted ones to lower case.
  const Names sqlite{"id", "half", "textual", "ID", "NAME"},
      pg{"id", "half", "textual", "id", "name"};
  EXPECT_EQ(rs->FieldNames(), lite() ? sqlite : pg);
  for (const char* name : {"id", "ID", "Id"}) EXPECT_TRUE(rs->Field(name) == Variant(1)) << name;
  EXPECT_TRUE(rs->Field("HALF") == Variant(2.5));
  EXPECT_TRUE(rs->Field("Textual") == Variant("x"));
  EXPECT_TRUE(rs->Field("Name") == Variant("p"));
  const Error e = CaptureError([&] { rs->Field("NOSUCHFIELD"); });
  EXPECT_EQ(e.Number(), db::dberr::kNotFoundInCollection);
  EXPECT_EQ(e.Source(), "Carvalen.Database");
  EXPECT_EQ(e.Description(),
            "Item cannot be found in the collection corresponding to the requested name or "
            "ordinal.");
}

TEST_P(Recordsets, CursorKindsCountHonourMaxRecordsAndStopAtBothEnds) {
  MakeNumbers(db(), 3);
  const struct {
    const char* name;
    CursorType type;
    CursorLocation location;
    bool counts;  // buffered: RecordCount is known, else -1
  } cases[] = {
      {"forward-only server", CursorType::ForwardOnly, CursorLocation::Server, false},
      {"keyset server", CursorType::Keyset, CursorLocation::Server, true},
      {"static server", CursorType::Static, CursorLocation::Server, true},
      {"forward-only client", CursorType::ForwardOnly, CursorLocation::Client, true},
  };
  auto connection = OpenClient(db().ConnectionString());
  for (const auto& c : cases) {
    for (std::int32_t max : {0, 2, 5}) {
      SCOPED_TRACE(std::string(c.name) + ", MaxRecords " + std::to_string(max));
      auto rs = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N", c.type, c.location, max);
      const std::vector<std::int32_t> expected =
          max == 2 ? std::vector{1, 2} : std::vector{1, 2, 3};
      EXPECT_EQ(rs->RecordCount(), c.counts ? static_cast<std::int32_t>(expected.size()) : -1);
      EXPECT_FALSE(rs->Bof());
      EXPECT_EQ(ReadAll(*rs), expected);
      rs->MoveFirst();
      EXPECT_EQ(ReadAll(*rs), expected);
      rs->Close();
    }
    SCOPED_TRACE(std::string(c.name) + ", no rows");
    auto empty = OpenQuery(connection, "SELECT N FROM NUMS WHERE N > 3", c.type, c.location);
    EXPECT_TRUE(empty->Eof() && empty->Bof());
    EXPECT_EQ(empty->RecordCount(), c.counts ? 0 : -1);
    for (auto action :
         {+[](db::Recordset& r) { r.Field("N"); }, +[](db::Recordset& r) { r.MoveNext(); },
          +[](db::Recordset& r) { r.MoveFirst(); }}) {
      const Error e = CaptureError([&] { action(*empty); });
      EXPECT_EQ(e.Number(), db::dberr::kNoCurrentRecord);
      EXPECT_EQ(e.Description(), kNoRecordText);
    }
    // A name that is no field is reported as such even without a current row.
    EXPECT_EQ(CaptureError([&] { empty->Field("X"); }).Number(), db::dberr::kNotFoundInCollection);
  }
}

TEST_P(Recordsets, ClosedAndOpenObjectsRefuseWhatNeedsTheOtherState) {
  MakeNumbers(db(), 1);
  auto connection = std::make_shared<db::Connection>();
  const Error closed_connection = CaptureError([&] { connection->Execute("SELECT 1"); });
  EXPECT_EQ(closed_connection.Number(), db::dberr::kObjectClosed);
  EXPECT_EQ(closed_connection.Description(), kClosedText);
  auto rs = db::Recordset::Create();
  EXPECT_EQ(CaptureError([&] { rs->Open("SELECT 1", connection); }).Number(),
            db::dberr::kObjectClosed);
  connection->Open(db().ConnectionString());
  const Error open_twice = CaptureError([&] { connection->Open(db().ConnectionString()); });
  EXPECT_EQ(open_twice.Number(), db::dberr::kObjectOpen);
  EXPECT_EQ(open_twice.Description(), "Operation is not allowed when the object is open.");

  rs->Open("SELECT N FROM NUMS", connection);
  EXPECT_EQ(CaptureError([&] { rs->Open("SELECT N FROM NUMS", connection); }).Number(),
            db::dberr::kObjectOpen);
  rs->Close();
  for (auto action : {+[](db::Recordset& r) { r.Eof(); }, +[](db::Recordset& r) { r.MoveNext(); },
                      +[](db::Recordset& r) { r.Field("N"); }}) {
    EXPECT_EQ(CaptureError([&] { action(*rs); }).Description(), kClosedText);
  }
  const Error blank = CaptureError([&] { rs->Open("  ", connection); });
  EXPECT_EQ(blank.Number(), db::dberr::kInvalidArgument);
  EXPECT_EQ(blank.Description(), "Command text was not set for the command object.");
  EXPECT_EQ(rs->State(), db::kStateClosed);
}  // the connection's destructor closes it; TearDown checks

TEST_P(Recordsets, ConnectionLivesAsLongAsItsRecordSets) {
  MakeNumbers(db(), 2);
  auto connection = OpenClient(db().ConnectionString());
  auto rs = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N");
  connection.reset();
  EXPECT_EQ(db::OpenConnectionCount(), open_before_ + 1);
  EXPECT_EQ(ReadAll(*rs), (std::vector<std::int32_t>{1, 2}));
  rs.reset();
  EXPECT_EQ(db::OpenConnectionCount(), open_before_);
  // Closing the connection closes its record sets.
  auto closing = OpenClient(db().ConnectionString());
  auto streamed = OpenQuery(closing, "SELECT N FROM NUMS");
  closing->Close();
  EXPECT_EQ(streamed->State(), db::kStateClosed);
}

CARVALEN_INSTANTIATE_DATABASE_TESTS(Recordsets);

}  // namespace
}  // namespace carvalen::test
