// Record sets over both databases: types, fields, cursors, streaming, life cycle; time zones.
#include <ctime>
#include <functional>
#include <tuple>

#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using db::CursorLocation;
using db::CursorType;
using namespace db::dberr;
using Recordsets = ClientTest;

std::vector<std::int32_t> ReadAll(db::Recordset& rs) {
  std::vector<std::int32_t> values;
  for (; !rs.Eof(); rs.MoveNext()) values.push_back(rs.Field("N").ToLong());
  return values;
}

// Each call raises the error numbered `number`, described as `description` unless that is "".
void ExpectError(std::int32_t number, std::initializer_list<std::function<void()>> calls,
                 const std::string& description = "") {
  for (const auto& call : calls) {
    const Error e = CaptureError(call);
    EXPECT_EQ(e.Number(), number);
    EXPECT_TRUE(description.empty() || e.Description() == description) << e.Description();
  }
}

// 2024-02-29 13:45 and the seconds and microseconds given.
Variant At(int second, int micro = 0) {
  return Variant(Date::FromParts(2024, 2, 29, 13, 45, second, micro));
}

// Each column type (SQLite's, PostgreSQL's; null: none) arrives as its Variant; field names as
// the database reports them, the first of a name winning.
TEST_P(Recordsets, DeliversEachColumnTypeAsItsVariantAndFindsFieldsByName) {
  const std::tuple<const char*, const char*, const char*, Variant> cases[] = {
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
       Variant("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")}};
  auto connection = OpenClient(db.ConnectionString());
  for (int i = 0; const auto& [sqlite, pg, literal, expected] : cases) {
    const char* type = lite() ? sqlite : pg;
    const std::string t = "T" + std::to_string(i++);
    if (type == nullptr) continue;
    db.Exec("CREATE TABLE " + t + " (V " + type + "); INSERT INTO " + t + " VALUES (" + literal +
            ")");
    const Variant value = OpenQuery(connection, "SELECT V FROM " + t)->Field("V");
    EXPECT_TRUE(value.TypeName() == expected.TypeName() && value == expected)
        << literal << " as " << type << ": " << value.TypeName();
  }
  db.Exec("CREATE TABLE P (ID INTEGER, NAME TEXT); INSERT INTO P VALUES (7, 'p')");
  auto rs = OpenQuery(connection, "SELECT 1 AS id, 2.5 AS half, P.* FROM P");
  const std::vector<std::string> sqlite{"id", "half", "ID", "NAME"}, pg{"id", "half", "id", "name"};
  EXPECT_EQ(rs->FieldNames(), lite() ? sqlite : pg);  // PostgreSQL folds names to lower case
  // Expressions: their values decide the type.
  EXPECT_TRUE(rs->Field("ID") == Variant(1) && rs->Field("Half") == Variant(2.5));
  ExpectError(kNotFoundInCollection, {[&] { rs->Field("NOSUCHFIELD"); }},
              "Item cannot be found in the collection corresponding to the requested name or "
              "ordinal.");
}

// A forward-only server-side record set streams (no count, no going back) and closes with its
// connection; others hold their rows, a client-side one detaches; all honour MaxRecords.
TEST_P(Recordsets, EachCursorKindReadsCountsAndStopsAsItHoldsItsRows) {
  db.Exec("CREATE TABLE R (N INTEGER, T TEXT); INSERT INTO R VALUES (1, 'a'), (2, NULL), (3, 'a')");
  const std::vector<std::int32_t> all{1, 2, 3};
  for (const auto& [type, location] : {std::pair{CursorType::ForwardOnly, CursorLocation::Server},
                                       {CursorType::Keyset, CursorLocation::Server},
                                       {CursorType::ForwardOnly, CursorLocation::Client}}) {
    const bool server = location == CursorLocation::Server;
    const bool streamed = server && type == CursorType::ForwardOnly;
    SCOPED_TRACE(streamed ? "forward-only" : server ? "keyset" : "client-side");
    auto connection = OpenClient(db.ConnectionString());
    auto open = [&, location = location, type = type](const std::string& where, int max = 0) {
      return OpenQuery(connection, "SELECT N, T FROM R" + where + " ORDER BY N", type, max,
                       location);
    };
    EXPECT_EQ(ReadAll(*open("", 2)), (std::vector<std::int32_t>{1, 2}));
    auto rs = open("");
    EXPECT_TRUE(rs->RecordCount() == (streamed ? -1 : 3) && !rs->Bof());
    EXPECT_EQ(ReadAll(*rs), all);
    rs->MoveFirst();  // a streamed one runs its statement again
    EXPECT_EQ(ReadAll(*rs), all);
    if (streamed) {
      ExpectError(kNotSupported, {[&] { rs->MovePrevious(); }, [&] { rs->MoveLast(); },
                                  [&] { rs->Filter("N", Variant(1)); }});
    } else {  // held rows move both ways; a filter replaces the last and compares as keys do
      rs->MoveLast();
      rs->MovePrevious();
      EXPECT_TRUE(rs->Field("N") == Variant(2));
      rs->MovePrevious();
      rs->MovePrevious();
      EXPECT_TRUE(rs->Bof() && !rs->Eof());
      ExpectError(kNoCurrentRecord, {[&] { rs->Field("N"); }, [&] { rs->MovePrevious(); }});
      rs->MoveNext();
      EXPECT_TRUE(rs->Field("N") == Variant(1));
      // Numbers match by value whatever their type, text byte for byte.
      const std::tuple<const char*, Variant, std::vector<std::int32_t>> filters[] = {
          {"t", Variant("a"), {1, 3}},
          {"N", Variant(2.0), {2}},
          {"T", Variant::Null(), {2}},
          {"T", Variant("A"), {}}};
      for (const auto& [field, value, kept] : filters) {
        SCOPED_TRACE(field + (" " + value.TypeName()));
        rs->MoveLast();  // a new filter starts from its first row wherever the cursor stood
        rs->Filter(field, value);
        EXPECT_TRUE(rs->RecordCount() == std::ssize(kept) && rs->Bof() == kept.empty());
        EXPECT_EQ(ReadAll(*rs), kept);
      }
      rs->ClearFilter();
      EXPECT_EQ(ReadAll(*rs), all);
      ExpectError(kNotFoundInCollection, {[&] { rs->Filter("X", Variant(1)); }});
    }
    auto empty = open(" WHERE N > 3");
    EXPECT_TRUE(empty->Bof() && empty->Eof() && empty->RecordCount() == (streamed ? -1 : 0));
    ExpectError(kNoCurrentRecord, {[&] { empty->Field("N"); }, [&] { empty->MoveNext(); }},
                "Either BOF or EOF is True, or the current record has been deleted. Requested "
                "operation requires a current record.");
    // A name that is no field is reported as such even without a current row.
    ExpectError(kNotFoundInCollection, {[&] { empty->Field("X"); }});
    server ? ExpectError(kNotSupported, {[&] { rs->DetachConnection(); }}) : rs->DetachConnection();
    connection->Close();  // which closes a streamed record set; held rows stay
    if (streamed) {
      EXPECT_EQ(rs->State(), db::kStateClosed);
      ExpectError(kObjectClosed,
                  {[&] { rs->MoveNext(); }, [&] { connection->Execute("SELECT 1"); }},
                  "Operation is not allowed when the object is closed.");
    } else {
      rs->MoveFirst();
      EXPECT_EQ(ReadAll(*rs), all);
    }
  }
  // A record set keeps its connection open as long as it lives.
  auto alone = OpenQuery(OpenClient(db.ConnectionString()), "SELECT N FROM R ORDER BY N");
  EXPECT_EQ(db::OpenConnectionCount(), connections_ + 1);
  EXPECT_EQ(ReadAll(*alone), all);
  alone.reset();
  EXPECT_EQ(db::OpenConnectionCount(), connections_);
}

// A read that stops early fetches no more and leaves its session clean; a later row's error is
// met only by the read that reaches it, even when another statement ran in between.
TEST_P(Recordsets, ReadsThatStopEarlyFetchNoMoreAndLeaveTheSessionClean) {
  // Rows 1..n, the last failing; PostgreSQL's row at nine tenths takes a lock that outlives it.
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
  auto connection = OpenClient(db.ConnectionString());
  for (CursorType type : {CursorType::ForwardOnly, CursorType::Keyset}) {
    SCOPED_TRACE(type == CursorType::Keyset ? "keyset" : "forward-only");
    auto rs = OpenQuery(connection, numbers(300000), type, type == CursorType::Keyset ? 1 : 0);
    EXPECT_TRUE(rs->Field("N") == Variant(1));
    rs->Close();
    EXPECT_EQ(lite() ? "0" : Scalar(OpenClient(db.ConnectionString() + ";Pooling=False"), locked),
              "0");
  }
  auto rs = OpenQuery(connection, numbers(3));
  EXPECT_EQ(Scalar(connection, "SELECT 5"), "5");
  rs->MoveNext();
  EXPECT_TRUE(rs->Field("N") == Variant(2));
  const Error e = CaptureError([&] { rs->MoveNext(); });
  EXPECT_EQ(std::to_string(e.Number()) + " " + e.Description(),
            lite() ? "1 integer overflow" : "33816706 division by zero");  // SQLSTATE 22012
  rs->Close();
  connection->Close();
  EXPECT_EQ(db::PooledConnectionCount(), 1);
}

CARVALEN_ON_PROVIDERS(Recordsets);

// A timestamptz reads as local wall time, summer time too, TZ naming a zone, its file or none.
TEST(PostgresRecordsets, ReadATimestampWithZoneAsLocalWallTime) {
  if (!IsAvailable(Provider::PostgreSQL)) return ReportPostgreSQLMissing();
  TestDatabase db(Provider::PostgreSQL);
  const std::tuple<const char*, const char*, int, int> cases[] = {
      {":America/New_York", "America/New_York", 3, 4},  // TZ, the session's zone, hours
      {":/usr/share/zoneinfo/Europe/Berlin", "Europe/Berlin", 9, 10},
      {"Nowhere/Atlantis", "<+00>-00", 8, 8}};
  for (const auto& [tz, session_zone, winter, summer] : cases) {
    SCOPED_TRACE(tz);
    testing::ScopedEnv set_tz("TZ", tz);
    db::DrainPool();  // the pool keeps sessions by connection string, not by zone
    auto connection = OpenClient(db.ConnectionString());
    EXPECT_EQ(Scalar(connection, "SHOW TimeZone"), session_zone);
    auto rs = OpenQuery(connection,
                        "SELECT timestamptz '2024-01-10 08:00+00' AS W, "
                        "timestamptz '2024-06-10 08:00+00' AS S");
    EXPECT_TRUE(rs->Field("W") == Variant(Date::FromParts(2024, 1, 10, winter)) &&
                rs->Field("S") == Variant(Date::FromParts(2024, 6, 10, summer)));
    connection->Close();
  }
  tzset();
}

}  // namespace
}  // namespace carvalen::test
