// Record sets over both databases: value types, field look-up, cursor kinds, maximum record
// count, the end of rows, and the life cycle (closed, open, detached).
#include <gtest/gtest.h>

#include <functional>

#include "db/db_test_helpers.hpp"
#include "support/databases.hpp"

namespace carvalen::test {
namespace {

using db::CursorLocation;
using db::CursorType;

class Recordsets : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    open_before_ = db::OpenConnectionCount();
  }
  void TearDown() override {
    // Every test closes (or releases) what it opened.
    EXPECT_EQ(db::OpenConnectionCount(), open_before_);
    DatabaseTest::TearDown();
  }
  void MakeNumbers(int n) {
    db().Exec("CREATE TABLE NUMS (N INTEGER)");
    for (int i = 1; i <= n; ++i) db().Exec("INSERT INTO NUMS VALUES (" + std::to_string(i) + ")");
  }

  std::int64_t open_before_ = 0;
};

struct TypeCase {
  const char* column_type;
  const char* literal;
  Variant expected;
};

TEST_P(Recordsets, DeliversEachColumnTypeAsItsVariant) {
  const Date day = Date::FromParts(2024, 2, 29, 13, 45, 10);
  std::vector<TypeCase> cases;
  if (provider() == Provider::SQLite) {
    cases = {
        {"INTEGER", "42", Variant(std::int32_t{42})},
        {"INTEGER", "-2147483648", Variant(std::int32_t{-2147483647 - 1})},
        {"INTEGER", "3000000000", Variant(std::int64_t{3000000000})},
        {"REAL", "49.5", Variant(49.5)},
        {"REAL", "1e-05", Variant(1e-05)},
        {"TEXT", "'O''Brien'", Variant("O'Brien")},
        {"TEXT", "''", Variant("")},
        {"DATETIME", "'2024-02-29 13:45:10'", Variant(day)},
        {"DATETIME", "'2024-02-29'", Variant(Date::FromParts(2024, 2, 29))},
        {"DATETIME", "'not a date'", Variant("not a date")},
        {"DATETIME", "NULL", Variant::Null()},
        {"INTEGER", "NULL", Variant::Null()},
        {"BLOB", "x'41420043'", Variant(std::string("AB\0C", 4))},
        {"BOOLEAN", "1", Variant(true)},
    };
  } else {
    cases = {
        {"integer", "42", Variant(std::int32_t{42})},
        {"smallint", "7", Variant(std::int16_t{7})},
        {"bigint", "5", Variant(std::int32_t{5})},
        {"bigint", "3000000000", Variant(std::int64_t{3000000000})},
        {"double precision", "49.5", Variant(49.5)},
        {"double precision", "1e-05", Variant(1e-05)},
        {"real", "1.5", Variant(1.5)},
        {"numeric(10,2)", "12.25", Variant(12.25)},
        {"text", "'O''Brien'", Variant("O'Brien")},
        {"varchar(10)", "'abc'", Variant("abc")},
        {"timestamp", "'2024-02-29 13:45:10'", Variant(day)},
        {"timestamp", "'2024-02-29 13:45:10.5'",
         Variant(Date::FromParts(2024, 2, 29, 13, 45, 10, 500000))},
        {"date", "'2024-02-29'", Variant(Date::FromParts(2024, 2, 29))},
        {"boolean", "true", Variant(true)},
        {"boolean", "false", Variant(false)},
        {"integer", "NULL", Variant::Null()},
        {"timestamp", "NULL", Variant::Null()},
        {"uuid", "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'",
         Variant("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
    };
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string table = "T" + std::to_string(i);
    db().Exec("CREATE TABLE " + table + " (V " + cases[i].column_type + "); INSERT INTO " + table +
              " VALUES (" + cases[i].literal + ")");
  }
  auto connection = OpenClient(db().ConnectionString());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].column_type) + " " + cases[i].literal);
    auto rs = OpenQuery(connection, "SELECT V FROM T" + std::to_string(i));
    ASSERT_FALSE(rs->Eof());
    Variant value = rs->Field("V");
    EXPECT_EQ(value.TypeName(), cases[i].expected.TypeName());
    EXPECT_TRUE(value == cases[i].expected);
  }
  connection->Close();
}

TEST_P(Recordsets, ExpressionsWithoutDeclaredTypeFollowTheirValues) {
  auto connection = OpenClient(db().ConnectionString());
  auto rs = OpenQuery(connection, "SELECT 1 + 1 AS TWO, 2.5 AS HALF, 'x' AS TEXTUAL");
  EXPECT_TRUE(rs->Field("two") == Variant(std::int32_t{2}));
  EXPECT_TRUE(rs->Field("HALF") == Variant(2.5));
  EXPECT_TRUE(rs->Field("textual") == Variant("x"));
}

TEST_P(Recordsets, FindsFieldsWithoutRegardToCaseFirstMatchWinning) {
  db().Exec("CREATE TABLE PARENT (ID INTEGER, NAME TEXT); INSERT INTO PARENT VALUES (7, 'p')");
  auto connection = OpenClient(db().ConnectionString());
  auto rs = OpenQuery(connection, "SELECT 1 AS id, P.* FROM PARENT P");
  // Names come back as the database reports them; PostgreSQL folds unquoted ones to lower case.
  std::vector<std::string> expected_names = provider() == Provider::SQLite
                                                ? std::vector<std::string>{"id", "ID", "NAME"}
                                                : std::vector<std::string>{"id", "id", "name"};
  EXPECT_EQ(rs->FieldNames(), expected_names);
  for (const char* name : {"id", "ID", "Id"}) EXPECT_TRUE(rs->Field(name) == Variant(1));
  EXPECT_TRUE(rs->Field("Name") == Variant("p"));
  Error e = CaptureError([&] { rs->Field("NOSUCHFIELD"); });
  EXPECT_EQ(e.Number(), db::dberr::kNotFoundInCollection);
  EXPECT_EQ(e.Description(),
            "Item cannot be found in the collection corresponding to the requested name or "
            "ordinal.");
  EXPECT_EQ(e.Source(), "Carvalen.Database");
}

struct CursorCase {
  const char* name;
  CursorType type;
  CursorLocation location;
  bool buffered;
};

const CursorCase kCursorCases[] = {
    {"forward-only server", CursorType::ForwardOnly, CursorLocation::Server, false},
    {"keyset server", CursorType::Keyset, CursorLocation::Server, true},
    {"static server", CursorType::Static, CursorLocation::Server, true},
    {"forward-only client", CursorType::ForwardOnly, CursorLocation::Client, true},
};

std::vector<std::int32_t> ReadAll(db::Recordset& rs) {
  std::vector<std::int32_t> values;
  while (!rs.Eof()) {
    values.push_back(rs.Field("N").ToLong());
    rs.MoveNext();
  }
  return values;
}

TEST_P(Recordsets, CursorKindsCountMoveFirstAndHonourMaxRecords) {
  MakeNumbers(3);
  auto connection = OpenClient(db().ConnectionString());
  for (const CursorCase& c : kCursorCases) {
    for (std::int32_t max : {0, 2, 1, 5}) {
      SCOPED_TRACE(std::string(c.name) + ", MaxRecords " + std::to_string(max));
      auto rs = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N", c.type, c.location, max);
      std::vector<std::int32_t> expected{1, 2, 3};
      if (max > 0 && max < 3) expected.resize(max);
      EXPECT_EQ(rs->RecordCount(), c.buffered ? static_cast<std::int32_t>(expected.size()) : -1);
      EXPECT_FALSE(rs->Bof());
      EXPECT_EQ(ReadAll(*rs), expected);
      EXPECT_TRUE(rs->Eof());
      rs->MoveFirst();
      EXPECT_EQ(ReadAll(*rs), expected);
      rs->Close();
    }
  }
}

TEST_P(Recordsets, EmptyResultIsAtBothEnds) {
  MakeNumbers(0);
  auto connection = OpenClient(db().ConnectionString());
  for (const CursorCase& c : kCursorCases) {
    SCOPED_TRACE(c.name);
    auto rs = OpenQuery(connection, "SELECT N FROM NUMS", c.type, c.location);
    EXPECT_TRUE(rs->Eof());
    EXPECT_TRUE(rs->Bof());
    EXPECT_EQ(rs->RecordCount(), c.buffered ? 0 : -1);
    EXPECT_EQ(rs->FieldNames().size(), 1u);
    for (auto action :
         {+[](db::Recordset& r) { r.Field("N"); }, +[](db::Recordset& r) { r.MoveNext(); },
          +[](db::Recordset& r) { r.MoveFirst(); }}) {
      Error e = CaptureError([&] { action(*rs); });
      EXPECT_EQ(e.Number(), db::dberr::kNoCurrentRecord);
      EXPECT_EQ(e.Description(),
                "Either BOF or EOF is True, or the current record has been deleted. Requested "
                "operation requires a current record.");
    }
    // A name that is no field is reported as such even without a current row.
    EXPECT_EQ(CaptureError([&] { rs->Field("X"); }).Number(), db::dberr::kNotFoundInCollection);
  }
}

TEST_P(Recordsets, ClosedAndOpenRecordSetsRefuseWhatNeedsTheOtherState) {
  MakeNumbers(1);
  auto connection = OpenClient(db().ConnectionString());
  auto rs = db::Recordset::Create();
  const std::pair<const char*, std::function<void()>> closed_actions[] = {
      {"Eof", [&] { rs->Eof(); }},
      {"Bof", [&] { rs->Bof(); }},
      {"Field", [&] { rs->Field("N"); }},
      {"MoveNext", [&] { rs->MoveNext(); }},
      {"MoveFirst", [&] { rs->MoveFirst(); }},
      {"RecordCount", [&] { rs->RecordCount(); }},
  };
  for (int round = 0; round < 2; ++round) {  // never opened, then opened and closed
    for (const auto& [name, action] : closed_actions) {
      SCOPED_TRACE(name);
      Error e = CaptureError(action);
      EXPECT_EQ(e.Number(), db::dberr::kObjectClosed);
      EXPECT_EQ(e.Description(), "Operation is not allowed when the object is closed.");
    }
    EXPECT_EQ(rs->State(), db::kStateClosed);
    rs->Open("SELECT N FROM NUMS", connection);
    EXPECT_EQ(rs->State(), db::kStateOpen);
    Error again = CaptureError([&] { rs->Open("SELECT N FROM NUMS", connection); });
    EXPECT_EQ(again.Number(), db::dberr::kObjectOpen);
    EXPECT_EQ(again.Description(), "Operation is not allowed when the object is open.");
    rs->Close();
    rs->Close();  // closing twice is harmless
  }
  // Opening on no connection, or on a closed one.
  EXPECT_EQ(CaptureError([&] { rs->Open("SELECT 1", nullptr); }).Number(),
            db::dberr::kObjectClosed);
  auto closed = std::make_shared<db::Connection>();
  EXPECT_EQ(CaptureError([&] { rs->Open("SELECT 1", closed); }).Number(), db::dberr::kObjectClosed);
  // Blank text is no command.
  Error blank = CaptureError([&] { rs->Open("  ", connection); });
  EXPECT_EQ(blank.Number(), db::dberr::kInvalidArgument);
  EXPECT_EQ(blank.Description(), "Command text was not set for the command object.");
  EXPECT_EQ(rs->State(), db::kStateClosed);
  connection->Close();
}

TEST_P(Recordsets, ClientSideRecordSetOutlivesItsConnection) {
  MakeNumbers(2);
  auto connection = OpenClient(db().ConnectionString());
  auto client = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N", CursorType::ForwardOnly,
                          CursorLocation::Client);
  auto server = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N");
  Error e = CaptureError([&] { server->DetachConnection(); });
  EXPECT_EQ(e.Number(), db::dberr::kNotSupported);
  client->DetachConnection();
  connection->Close();
  connection.reset();
  // The streaming record set went with its connection; the client-side one keeps its rows.
  EXPECT_EQ(server->State(), db::kStateClosed);
  EXPECT_EQ(client->State(), db::kStateOpen);
  EXPECT_EQ(client->RecordCount(), 2);
  EXPECT_EQ(ReadAll(*client), (std::vector<std::int32_t>{1, 2}));
  client->MoveFirst();
  EXPECT_EQ(client->Field("n").ToLong(), 1);
  EXPECT_EQ(client->BufferedRows().size(), 2u);
}

TEST_P(Recordsets, ReleasingTheLastReferencesClosesEverything) {
  MakeNumbers(3);
  {
    auto connection = OpenClient(db().ConnectionString());
    auto rs = OpenQuery(connection, "SELECT N FROM NUMS");
    auto keyset = OpenQuery(connection, "SELECT N FROM NUMS", CursorType::Keyset);
    EXPECT_EQ(keyset->RecordCount(), 3);
    EXPECT_EQ(db::OpenConnectionCount(), open_before_ + 1);
    connection.reset();
    // The record sets keep the connection object alive; it closes with the last of them.
    EXPECT_EQ(db::OpenConnectionCount(), open_before_ + 1);
    EXPECT_FALSE(rs->Eof());
  }
  // TearDown checks the count of open connections.
}

TEST(RecordsetRows, OpenRowsBuildsADetachedTable) {
  auto rs = db::Recordset::Create();
  rs->OpenRows({"A", "B"}, {{Variant(1), Variant("x")}, {Variant(2), Variant::Null()}});
  EXPECT_EQ(rs->RecordCount(), 2);
  EXPECT_TRUE(rs->Field("b") == Variant("x"));
  rs->MoveNext();
  EXPECT_TRUE(rs->Field("B").IsNull());
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(CaptureError([&] { rs->OpenRows({}, {}); }).Number(), db::dberr::kObjectOpen);
  rs->DetachConnection();  // it has none: nothing to do
  EXPECT_EQ(rs->ClassName(), "Recordset");
}

CARVALEN_INSTANTIATE_DATABASE_TESTS(Recordsets);

}  // namespace
}  // namespace carvalen::test
