// Record sets over both databases: value types, field look-up, cursors, maximum record count,
// the end of the rows, streaming, and the life cycle; PostgreSQL's time zone.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using db::CursorType;
using Names = std::vector<std::string>;
using Recordsets = ClientTest;

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
      {"INTEGER", "bigint", "3000000000", Variant(std::int64_t{3000000000})},
      {nullptr, "bigint", "5", Variant(std::int32_t{5})},
      {nullptr, "smallint", "7", Variant(std::int16_t{7})},
      {"REAL", "double precision", "49.5", Variant(49.5)},
      {nullptr, "numeric(10,2)", "12.25", Variant(12.25)},
      {"TEXT", "text", "''", Variant("")},
      {"DATETIME", "timestamp", "'2024-02-29 13:45:10'",
       Variant(Date::FromParts(2024, 2, 29, 13, 45, 10))},
      {nullptr, "timestamp", "'2024-02-29 13:45:10.5'",
       Variant(Date::FromParts(2024, 2, 29, 13, 45, 10, 500000))},
      {"DATETIME", nullptr, "'not a date'", Variant("not a date")},
      // Date texts as the databases write them: a T, a zone, more or fewer fractional digits.
      {"DATETIME", nullptr, "'2024-02-29T13:45:10.1234567+02'",
       Variant(Date::FromParts(2024, 2, 29, 13, 45, 10, 123456))},
      {"DATETIME", nullptr, "'2024-02-29 13:45:10.25Z'",
       Variant(Date::FromParts(2024, 2, 29, 13, 45, 10, 250000))},
      {"DATETIME", nullptr, "'2024-02-29 13:45:10.1234567890'",
       Variant("2024-02-29 13:45:10.1234567890")},
      {"DATETIME", nullptr, "'2024-02-29 13:45:10.'", Variant("2024-02-29 13:45:10.")},
      {"DATETIME", "timestamp", "NULL", Variant::Null()},
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

// Names come back as the database reports them; the first field of a name answers.
TEST_P(Recordsets, FindsFieldsByNameFirstMatchWinning) {
  db().Exec("CREATE TABLE P (ID INTEGER, NAME TEXT); INSERT INTO P VALUES (7, 'p')");
  auto connection = OpenClient(db().ConnectionString());
  auto rs = OpenQuery(connection, "SELECT 1 AS id, 2.5 AS half, P.* FROM P");
  const Names sqlite{"id", "half", "ID", "NAME"}, pg{"id", "half", "id", "name"};
  EXPECT_EQ(rs->FieldNames(), lite() ? sqlite : pg);  // PostgreSQL folds names to lower case
  EXPECT_TRUE(rs->Field("ID") == Variant(1));         // expressions: their values decide the type
  EXPECT_TRUE(rs->Field("Half") == Variant(2.5));
  const Error e = CaptureError([&] { rs->Field("NOSUCHFIELD"); });
  EXPECT_EQ(e.Number(), db::dberr::kNotFoundInCollection);
  EXPECT_EQ(e.Description(),
            "Item cannot be found in the collection corresponding to the requested name or "
            "ordinal.");
}

// The cursors the library opens, streamed and buffered: MaxRecords, and no row past the end.
TEST_P(Recordsets, CursorsHonourMaxRecordsAndStopAtTheEnd) {
  db().Exec("CREATE TABLE NUMS (N INTEGER); INSERT INTO NUMS VALUES (1), (2), (3)");
  auto connection = OpenClient(db().ConnectionString());
  for (CursorType type : {CursorType::ForwardOnly, CursorType::Keyset}) {
    SCOPED_TRACE(type == CursorType::Keyset ? "keyset" : "forward-only");
    for (std::int32_t max : {0, 2}) {
      auto rs = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N", type, max);
      EXPECT_EQ(ReadAll(*rs), (max == 2 ? std::vector{1, 2} : std::vector{1, 2, 3})) << max;
    }
    auto empty = OpenQuery(connection, "SELECT N FROM NUMS WHERE N > 3", type);
    EXPECT_TRUE(empty->Eof());
    const Error e = CaptureError([&] { empty->Field("N"); });
    EXPECT_EQ(e.Number(), db::dberr::kNoCurrentRecord);
    EXPECT_EQ(e.Description(),
              "Either BOF or EOF is True, or the current record has been deleted. Requested "
              "operation requires a current record.");
    EXPECT_EQ(CaptureError([&] { empty->MoveNext(); }).Number(), db::dberr::kNoCurrentRecord);
    // A name that is no field is reported as such even without a current row.
    EXPECT_EQ(CaptureError([&] { empty->Field("X"); }).Number(), db::dberr::kNotFoundInCollection);
  }
}

// Counting, rewinding and detaching: a keyset or client-side record set holds its rows, so it
// counts them and outlives its connection; a streamed one does neither.
TEST_P(Recordsets, CountsRewindsAndDetachesBufferedRows) {
  db().Exec("CREATE TABLE NUMS (N INTEGER); INSERT INTO NUMS VALUES (1), (2)");
  auto connection = OpenClient(db().ConnectionString());
  auto streamed = OpenQuery(connection, "SELECT N FROM NUMS ORDER BY N");
  EXPECT_EQ(streamed->RecordCount(), -1);
  EXPECT_FALSE(streamed->Bof());
  EXPECT_EQ(ReadAll(*streamed), (std::vector<std::int32_t>{1, 2}));
  streamed->MoveFirst();
  EXPECT_EQ(ReadAll(*streamed), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(CaptureError([&] { streamed->DetachConnection(); }).Number(), db::dberr::kNotSupported);

  auto client = db::Recordset::Create();
  client->SetCursorLocation(db::CursorLocation::Client);
  client->Open("SELECT N FROM NUMS ORDER BY N", connection);
  EXPECT_EQ(client->RecordCount(), 2);
  client->DetachConnection();
  connection->Close();
  EXPECT_EQ(ReadAll(*client), (std::vector<std::int32_t>{1, 2}));
  client->MoveFirst();
  EXPECT_TRUE(client->Field("N") == Variant(1));
  auto empty = OpenQuery(OpenClient(db().ConnectionString()), "SELECT N FROM NUMS WHERE N > 2",
                         CursorType::Keyset);
  EXPECT_TRUE(empty->Bof() && empty->Eof());
  EXPECT_EQ(empty->RecordCount(), 0);
}

// Buffered rows move both ways and filter: a filter replaces the previous one, counts only the
// rows it keeps and compares as dictionary keys do. A streamed record set refuses both, since it
// would have to run its statement again.
TEST_P(Recordsets, MovesBothWaysAndFiltersBufferedRows) {
  db().Exec(
      "CREATE TABLE P (N INTEGER, T TEXT); INSERT INTO P VALUES (1, 'a'), (2, NULL), (3, 'a')");
  auto connection = OpenClient(db().ConnectionString());
  auto rs = OpenQuery(connection, "SELECT N, T FROM P ORDER BY N", CursorType::Keyset);
  rs->MoveLast();
  rs->MovePrevious();
  EXPECT_TRUE(rs->Field("N") == Variant(2));
  rs->MovePrevious();
  rs->MovePrevious();
  EXPECT_TRUE(rs->Bof() && !rs->Eof());
  EXPECT_EQ(CaptureError([&] { rs->Field("N"); }).Number(), db::dberr::kNoCurrentRecord);
  EXPECT_EQ(CaptureError([&] { rs->MovePrevious(); }).Number(), db::dberr::kNoCurrentRecord);
  rs->MoveNext();
  EXPECT_TRUE(rs->Field("N") == Variant(1));

  const struct {
    const char* field;
    Variant value;
    std::vector<std::int32_t> kept;
  } filters[] = {
      {"t", Variant("a"), {1, 3}},
      {"N", Variant(2.0), {2}},  // numbers by value, whatever their type
      {"T", Variant::Null(), {2}},
      {"T", Variant("A"), {}},  // text byte for byte
  };
  for (const auto& f : filters) {
    SCOPED_TRACE(f.field + (" " + f.value.TypeName()));
    rs->MoveLast();  // a new filter starts from its first row wherever the cursor stood
    rs->Filter(f.field, f.value);
    EXPECT_EQ(rs->RecordCount(), static_cast<std::int32_t>(f.kept.size()));
    EXPECT_EQ(rs->Bof(), f.kept.empty());
    EXPECT_EQ(ReadAll(*rs), f.kept);
  }
  rs->ClearFilter();
  EXPECT_EQ(ReadAll(*rs), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(CaptureError([&] { rs->Filter("X", Variant(1)); }).Number(),
            db::dberr::kNotFoundInCollection);

  auto streamed = OpenQuery(connection, "SELECT N FROM P");
  const std::function<void()> backwards[] = {[&] { streamed->MovePrevious(); },
                                             [&] { streamed->MoveLast(); },
                                             [&] { streamed->Filter("N", Variant(1)); }};
  for (const auto& call : backwards) {
    EXPECT_EQ(CaptureError(call).Number(), db::dberr::kNotSupported);
  }
  connection->Close();
}

TEST_P(Recordsets, ConnectionLivesAsLongAsItsRecordSets) {
  db().Exec("CREATE TABLE NUMS (N INTEGER); INSERT INTO NUMS VALUES (1), (2)");
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
  const Error e = CaptureError([&] { streamed->MoveNext(); });
  EXPECT_EQ(e.Number(), db::dberr::kObjectClosed);
  EXPECT_EQ(e.Description(), "Operation is not allowed when the object is closed.");
  EXPECT_EQ(CaptureError([&] { closing->Execute("SELECT 1"); }).Number(), db::dberr::kObjectClosed);
}

// Rows stream: a read that stops early (the caller closes, or MaxRecords is reached) fetches no
// more and leaves its session clean for the pool; an error further on is met only by the read
// that reaches it, with the database's number, even when another statement ran in between.
TEST_P(Recordsets, ReadsThatStopEarlyFetchNoMoreAndLeaveTheSessionClean) {
  // Rows 1..n whose last one fails. On PostgreSQL the row at nine tenths takes an advisory lock
  // (kept by the session even when its statement fails), which shows whether the server got
  // that far.
  auto numbers = [&](int n) {
    const std::string last = std::to_string(n);
    return lite() ? "WITH RECURSIVE C(G) AS (SELECT 1 UNION ALL SELECT G + 1 FROM C WHERE G < " +
                        last + ") SELECT G AS N, abs(CASE WHEN G = " + last +
                        " THEN -9223372036854775807 - 1 END) AS X FROM C"
                  : "SELECT g AS N, CASE WHEN g = " + std::to_string(n / 10 * 9) +
                        " THEN pg_try_advisory_lock(7311, 1) END AS L, 1 / (" + last +
                        " - g) AS X FROM generate_series(1, " + last + ") AS g";
  };
  const std::string locked =
      "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND classid = 7311";
  auto connection = OpenClient(db().ConnectionString());
  for (CursorType type : {CursorType::ForwardOnly, CursorType::Keyset}) {
    SCOPED_TRACE(type == CursorType::Keyset ? "keyset" : "forward-only");
    auto rs = OpenQuery(connection, numbers(300000), type, type == CursorType::Keyset ? 1 : 0);
    EXPECT_TRUE(rs->Field("N") == Variant(1));
    rs->Close();
    if (!lite()) {
      EXPECT_EQ(db().QueryText(locked), "0");
    }
  }
  auto rs = OpenQuery(connection, numbers(3));
  EXPECT_EQ(Scalar(connection, "SELECT 5"), "5");
  rs->MoveNext();
  EXPECT_TRUE(rs->Field("N") == Variant(2));
  const Error e = CaptureError([&] { rs->MoveNext(); });
  EXPECT_EQ(e.Number(), lite() ? 1 : 33816706 /* SQLSTATE 22012 */);
  EXPECT_EQ(e.Description(), lite() ? "integer overflow" : "division by zero");
  rs->Close();
  connection->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

CARVALEN_ON_PROVIDERS(Recordsets);

// A timestamptz reads as the wall time of the host's local zone, summer time included, whether TZ
// names the zone or its file; a TZ that names no zone the server knows falls back to the offset.
// (SQLite stores dates as zone-less text.)
TEST(PostgresRecordsets, ReadATimestampWithZoneAsLocalWallTime) {
  if (!IsAvailable(Provider::PostgreSQL)) GTEST_SKIP() << "set CARVALEN_TEST_PG";
  TestDatabase db(Provider::PostgreSQL);
  db.Exec(
      "CREATE TABLE D (V timestamptz); INSERT INTO D VALUES ('2024-01-10 08:00:00+00'), "
      "('2024-06-10 08:00:00+00')");
  const struct {
    const char* tz;
    const char* session_zone;
    int winter_hour, summer_hour, minute;
  } cases[] = {
      {":America/New_York", "America/New_York", 3, 4, 0},
      {":/usr/share/zoneinfo/Europe/Berlin", "Europe/Berlin", 9, 10, 0},
      {"Nowhere/Atlantis", "<+00>-00", 8, 8, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tz);
    testing::ScopedEnv tz("TZ", c.tz);
    db::DrainPool();  // the pool keeps sessions by connection string, not by zone
    auto connection = OpenClient(db.ConnectionString());
    EXPECT_EQ(OpenQuery(connection, "SHOW TimeZone")->Field("TimeZone").ToString(), c.session_zone);
    auto rs = OpenQuery(connection, "SELECT V FROM D ORDER BY V");
    EXPECT_TRUE(rs->Field("V") == Variant(Date::FromParts(2024, 1, 10, c.winter_hour, c.minute)));
    rs->MoveNext();
    EXPECT_TRUE(rs->Field("V") == Variant(Date::FromParts(2024, 6, 10, c.summer_hour, c.minute)));
    rs->Close();
    connection->Close();
  }
  tzset();
}

}  // namespace
}  // namespace carvalen::test
