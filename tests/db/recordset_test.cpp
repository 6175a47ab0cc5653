// Record sets over both databases: value types, field look-up, cursors, maximum record count,
// the end of the rows, streaming, and the life cycle; PostgreSQL's time zone.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using db::CursorLocation;
using db::CursorType;
using Recordsets = ClientTest;

std::vector<std::int32_t> ReadAll(db::Recordset& rs) {
  std::vector<std::int32_t> values;
  for (; !rs.Eof(); rs.MoveNext()) values.push_back(rs.Field("N").ToLong());
  return values;
}

// 2024-02-29 13:45 and the seconds and microseconds given.
Variant At(int second, int micro = 0) {
  return Variant(Date::FromParts(2024, 2, 29, 13, 45, second, micro));
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
      {nullptr, "numeric(10,2)", "12.25", Variant(12.25)},
      {"TEXT", "text", "''", Variant("")},
      {"DATETIME", "timestamp", "'2024-02-29 13:45:10'", At(10)},
      {nullptr, "timestamp", "'2024-02-29 13:45:10.5'", At(10, 500000)},
      {"DATETIME", nullptr, "'not a date'", Variant("not a date")},
      // Date texts as the databases write them: a T, a zone, more or fewer fractional digits.
      {"DATETIME", nullptr, "'2024-02-29T13:45:10.1234567+02'", At(10, 123456)},
      {"DATETIME", nullptr, "'2024-02-29 13:45:10.25Z'", At(10, 250000)},
      {"DATETIME", nullptr, "'2024-02-29 13:45:10.1234567890'",
       Variant("2024-02-29 13:45:10.1234567890")},
      {"DATETIME", nullptr, "'2024-02-29 13:45:10.'", Variant("2024-02-29 13:45:10.")},
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
    const Variant value = OpenQuery(connection, "SELECT V FROM " + table)->Field("V");
    EXPECT_EQ(value.TypeName(), cases[i].expected.TypeName());
    EXPECT_TRUE(value == cases[i].expected);
  }
}

// Names come back as the database reports them; the first field of a name answers.
TEST_P(Recordsets, FindsFieldsByNameFirstMatchWinning) {
  db().Exec("CREATE TABLE P (ID INTEGER, NAME TEXT); INSERT INTO P VALUES (7, 'p')");
  auto connection = OpenClient(db().ConnectionString());
  auto rs = OpenQuery(connection, "SELECT 1 AS id, 2.5 AS half, P.* FROM P");
  const std::vector<std::string> sqlite{"id", "half", "ID", "NAME"}, pg{"id", "half", "id", "name"};
  EXPECT_EQ(rs->FieldNames(), lite() ? sqlite : pg);  // PostgreSQL folds names to lower case
  EXPECT_TRUE(rs->Field("ID") == Variant(1));         // expressions: their values decide the type
  EXPECT_TRUE(rs->Field("Half") == Variant(2.5));
  const Error e = CaptureError([&] { rs->Field("NOSUCHFIELD"); });
  EXPECT_EQ(e.Number(), db::dberr::kNotFoundInCollection);
  EXPECT_EQ(e.Description(),
            "Item cannot be found in the collection corresponding to the requested name or "
            "ordinal.");
}

// Buffered rows move both ways and filter: a filter replaces the previous one, counts only the
// rows it keeps and compares as dictionary keys do.
void MovesBothWaysAndFilters(db::Recordset& rs) {
  rs.MoveLast();
  rs.MovePrevious();
  EXPECT_TRUE(rs.Field("N") == Variant(2));
  rs.MovePrevious();
  rs.MovePrevious();
  EXPECT_TRUE(rs.Bof() && !rs.Eof());
  EXPECT_EQ(CaptureError([&] { rs.Field("N"); }).Number(), db::dberr::kNoCurrentRecord);
  EXPECT_EQ(CaptureError([&] { rs.MovePrevious(); }).Number(), db::dberr::kNoCurrentRecord);
  rs.MoveNext();
  EXPECT_TRUE(rs.Field("N") == Variant(1));
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
    rs.MoveLast();  // a new filter starts from its first row wherever the cursor stood
    rs.Filter(f.field, f.value);
    EXPECT_EQ(rs.RecordCount(), static_cast<std::int32_t>(f.kept.size()));
    EXPECT_EQ(rs.Bof(), f.kept.empty());
    EXPECT_EQ(ReadAll(rs), f.kept);
  }
  rs.ClearFilter();
  EXPECT_EQ(ReadAll(rs), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(CaptureError([&] { rs.Filter("X", Variant(1)); }).Number(),
            db::dberr::kNotFoundInCollection);
}

// A forward-only server-side record set streams: no count, no moving back or filtering (it would
// run its statement again), and it closes with its connection. Keyset and client-side ones hold
// their rows past that; only a client-side one detaches. All honour MaxRecords and stop at the end.
TEST_P(Recordsets, EachCursorKindReadsCountsAndStopsAsItHoldsItsRows) {
  db().Exec(
      "CREATE TABLE NUMS (N INTEGER, T TEXT); INSERT INTO NUMS VALUES (1, 'a'), (2, NULL), (3, "
      "'a')");
  const struct {
    const char* name;
    CursorType type;
    CursorLocation location;
  } kinds[] = {{"forward-only", CursorType::ForwardOnly, CursorLocation::Server},
               {"keyset", CursorType::Keyset, CursorLocation::Server},
               {"client-side", CursorType::ForwardOnly, CursorLocation::Client}};
  const std::vector<std::int32_t> all{1, 2, 3};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.name);
    const bool server = k.location == CursorLocation::Server;
    const bool streamed = server && k.type == CursorType::ForwardOnly;
    auto connection = OpenClient(db().ConnectionString());
    auto open = [&](const std::string& where, std::int32_t max = 0) {
      auto rs = db::Recordset::Create();
      rs->SetCursorLocation(k.location);
      rs->SetMaxRecords(max);
      rs->Open("SELECT N, T FROM NUMS" + where + " ORDER BY N", connection, k.type,
               db::LockType::ReadOnly);
      return rs;
    };
    EXPECT_EQ(ReadAll(*open("", 2)), (std::vector<std::int32_t>{1, 2}));
    auto rs = open("");
    EXPECT_EQ(rs->RecordCount(), streamed ? -1 : 3);
    EXPECT_FALSE(rs->Bof());
    EXPECT_EQ(ReadAll(*rs), all);
    rs->MoveFirst();  // a streamed one runs its statement again
    EXPECT_EQ(ReadAll(*rs), all);
    if (streamed) {
      const std::function<void()> back[] = {[&] { rs->MovePrevious(); }, [&] { rs->MoveLast(); },
                                            [&] { rs->Filter("N", Variant(1)); }};
      for (const auto& call : back)
        EXPECT_EQ(CaptureError(call).Number(), db::dberr::kNotSupported);
    } else {
      MovesBothWaysAndFilters(*rs);
    }
    auto empty = open(" WHERE N > 3");
    EXPECT_TRUE(empty->Bof() && empty->Eof());
    EXPECT_EQ(empty->RecordCount(), streamed ? -1 : 0);
    const Error e = CaptureError([&] { empty->Field("N"); });
    EXPECT_EQ(e.Number(), db::dberr::kNoCurrentRecord);
    EXPECT_EQ(e.Description(),
              "Either BOF or EOF is True, or the current record has been deleted. Requested "
              "operation requires a current record.");
    EXPECT_EQ(CaptureError([&] { empty->MoveNext(); }).Number(), db::dberr::kNoCurrentRecord);
    // A name that is no field is reported as such even without a current row.
    EXPECT_EQ(CaptureError([&] { empty->Field("X"); }).Number(), db::dberr::kNotFoundInCollection);
    if (server) {
      EXPECT_EQ(CaptureError([&] { rs->DetachConnection(); }).Number(), db::dberr::kNotSupported);
    } else {
      rs->DetachConnection();
    }
    connection->Close();  // which closes a streamed record set; held rows stay
    if (streamed) {
      EXPECT_EQ(rs->State(), db::kStateClosed);
      const Error closed = CaptureError([&] { rs->MoveNext(); });
      EXPECT_EQ(closed.Number(), db::dberr::kObjectClosed);
      EXPECT_EQ(closed.Description(), "Operation is not allowed when the object is closed.");
      EXPECT_EQ(CaptureError([&] { connection->Execute("SELECT 1"); }).Number(),
                db::dberr::kObjectClosed);
    } else {
      rs->MoveFirst();
      EXPECT_EQ(ReadAll(*rs), all);
    }
  }
  // A record set keeps its connection open as long as it lives.
  auto alone = OpenQuery(OpenClient(db().ConnectionString()), "SELECT N FROM NUMS ORDER BY N");
  EXPECT_EQ(db::OpenConnectionCount(), open_before_ + 1);
  EXPECT_EQ(ReadAll(*alone), all);
  alone.reset();
  EXPECT_EQ(db::OpenConnectionCount(), open_before_);
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
