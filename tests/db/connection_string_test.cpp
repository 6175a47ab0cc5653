// Connection strings and opens that fail; the host health behind a host list; literals lifted.
#include "db/connection_string.hpp"

#include <gmock/gmock.h>

#include <array>
#include <filesystem>
#include <set>
#include <tuple>
#include <vector>

#include "db/hosts.hpp"
#include "db/literal_lexer.hpp"
#include "db/pool.hpp"
#include "support/client_test.hpp"
#include "support/scratch.hpp"

namespace carvalen::db {
namespace {

using namespace std::chrono_literals;
using test::CaptureError;

// The provider, the driver keys in order, and the pool settings of parsed text.
std::string Summary(const ParsedConnection& s) {
  std::string text = s.provider == ProviderKind::SQLite ? "SQLite" : "PostgreSQL";
  for (const auto& [key, value] : s.keys) text += " | " + key + "=" + value;
  return text + (s.pooling ? " | pool " : " | no pool ") + std::to_string(s.max_pool_size);
}

std::string Keys(const std::vector<Endpoint>& endpoints) {
  std::string text;
  for (const Endpoint& e : endpoints) text += (text.empty() ? "" : " ") + e.Key();
  return text;
}

TEST(ConnectionString, ParsesKeysAndHostListsWithoutRegardToCaseOrBlanksAndMasksPasswords) {
  const std::pair<const char*, const char*> cases[] = {
      {"  provider = sqlite ; DATA   SOURCE =  my file.db ;",
       "SQLite | data source=my file.db | pool 100"},
      {"Provider=PostgreSQL;Host=/tmp/pg;Password=\"a;b\"\"c\";Pooling=False;Max Pool Size=5",
       "PostgreSQL | host=/tmp/pg | password=a;b\"c | no pool 5"},
      {"Provider=POSTGRESQL;;options=-c search_path=x;Host=h;host=h2",
       "PostgreSQL | options=-c search_path=x | host=h2 | pool 100"},
      {"Provider=SQLite;Data Source=\" spaced \" ;Pooling=yes",
       "SQLite | data source= spaced  | pool 100"}};
  for (const auto& [text, summary] : cases)
    EXPECT_EQ(Summary(ParseConnectionString(text)), summary) << text;
  const std::pair<const char*, const char*> masks[] = {
      {"Provider=PostgreSQL; pwd = \"se;cret\" ;Host=h", "Provider=PostgreSQL; pwd = *** ;Host=h"},
      {"Provider=Nope;PASSWORD=secret", "Provider=Nope;PASSWORD=***"},  // even if it cannot parse
      {"garbage;Password=\"unterminated;x", "garbage;Password=***"},
      {"Provider=SQLite;Data Source=a.db", "Provider=SQLite;Data Source=a.db"}};
  for (const auto& [text, masked] : masks) EXPECT_EQ(MaskPassword(text), masked);
  using A = SessionAttrs;  // hosts pair with ports as libpq's do
  const std::tuple<const char*, const char*, SessionAttrs, bool> hosts[] = {
      {"Host=a", "a:", A::Any, false},
      {"Host=a, b ,c;Port=5433", "a:5433 b:5433 c:5433", A::Any, false},
      {"Host=a,b;Port=1,2;Target Session Attrs=Prefer-Standby;Load Balance Hosts=random", "a:1 b:2",
       A::PreferStandby, true},
      {"Host=a,b;target_session_attrs=standby;Load Balance Hosts=disable", "a: b:", A::Standby,
       false}};
  for (const auto& [keys, endpoints, attrs, random] : hosts) {
    const HostOptions o =
        ReadHostOptions(ParseConnectionString(std::string("Provider=PostgreSQL;") + keys));
    EXPECT_EQ(Keys(o.endpoints), endpoints) << keys;
    EXPECT_TRUE(o.attrs == attrs && o.random == random) << keys;
  }
}

TEST(ConnectionString, OpensOfMalformedTextFailWithItsCulpritAndLeaveNothingOpen) {
  const carvalen::testing::TempFolder folder;
  const std::string invalid = "Invalid connection string: ", pg = "Provider=PostgreSQL;",
                    lite = "Provider=SQLite;",
                    none = "Provider cannot be found. It may not be properly installed. ",
                    quoting =
                        "options may not set standard_conforming_strings; the PostgreSQL "
                        "provider keeps it on so that quoted text cannot turn into SQL.";
  const struct {
    // A description of kInvalidArgument follows `invalid`; one ending "..." is its start.
    std::string text, description;
    std::int32_t number = dberr::kInvalidArgument;
    const char* source = "Carvalen.Database";
  } cases[] = {
      {"Data Source=a.db", none + "The connection string names no Provider.",
       dberr::kProviderNotFound},
      {"Provider=Oracle;Data Source=a.db",
       none + "Unknown Provider 'Oracle'; the known providers are SQLite and PostgreSQL.",
       dberr::kProviderNotFound},
      {lite + "Data Source", "the item 'Data Source' is not of the form Key=Value"},
      {lite + "=x", "an item has a value but no key"},
      {lite + "Data Source=\"a.db", "the value of 'data source' lacks its closing quote"},
      {lite + "Data Source=\"a\"b", "unexpected text after the quoted value of 'data source'"},
      {lite + "Pooling=maybe", "Pooling must be True or False, not 'maybe'"},
      {lite + "Max Pool Size=-1", "Max Pool Size must be a whole number of 0 or more, not '-1'"},
      {lite + "Connection Lifetime=1s",
       "Connection Lifetime must be a whole number of 0 or more, not '1s'"},
      {lite + "Data Source=x.db;Colour=red",
       "the key 'colour' is not known to the SQLite provider."},
      {"Provider=SQLite", "the SQLite provider needs a Data Source."},
      {lite + "Data Source=" + (folder / "missing.db").string(), "unable to open database file", 14,
       "SQLite"},
      {pg + "Host=a;Colour=red",
       "the key 'colour' is known neither to the PostgreSQL provider nor to libpq."},
      {pg + "Host=" + folder.path.string() + ";Port=54329;Database=x;User ID=nobody",
       "connection to server on socket...", 16777728 /* SQLSTATE 08001 */, "PostgreSQL"},
      // The quoting rule cannot be switched off, however it is spelled.
      {pg + "Host=a;options=-csearch_path=s -c standard_conforming_strings=off", quoting},
      {pg + "Host=a;options=-csearch_path=s --Standard-Conforming\\_Strings=off", quoting},
      {pg + "Host=a,b,c;Port=1,2",
       "Port names 2 ports for 3 hosts; give one port, or one per host"},
      {pg + "Host=a;Target Session Attrs=read-write",
       "Target Session Attrs=read-write can never match: the provider's sessions are always "
       "read-only (use primary for the server that accepts writes)"},
      {pg + "Host=a;Target Session Attrs=secondary",
       "Target Session Attrs must be any, read-only, primary, standby or prefer-standby, not "
       "'secondary'"},
      {pg + "Host=a;Load Balance Hosts=round-robin",
       "Load Balance Hosts must be disable or random, not 'round-robin'"},
      {pg + "Host=a;Host Recheck Seconds=0",
       "Host Recheck Seconds must be a whole number of 1 or more, not '0'"},
      {pg + "Host=a;Pooler=Sometimes",
       "Pooler must be None, Session or Transaction, not 'Sometimes'."},
      {pg + "Host=a;Pooler=transaction;options=-c jit=off --search-path=x -X",
       "behind a connection pooler, options may hold only server settings (-c name=value)..."},
      {pg + "Host=a,b;hostaddr=10.0.0.1,10.0.0.2;Load Balance Hosts=random",
       "Load Balance Hosts=random chooses among the Host names; hostaddr cannot go with it"}};
  for (const auto& [text, description, number, source] : cases) {
    SCOPED_TRACE(text);
    Connection connection;
    const Error e = CaptureError([&, &t = text] { connection.Open(t); });
    const std::string want = (number == dberr::kInvalidArgument ? invalid : "") + description,
                      got = e.Description(), start = got.substr(0, want.size() - 3) + "...";
    EXPECT_EQ(want.ends_with("...") ? start : got, want);
    EXPECT_TRUE(e.Number() == number && e.Source() == source) << e.Number() << " " << e.Source();
    EXPECT_TRUE(connection.State() == kStateClosed && OpenConnectionCount() == 0);
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "missing.db"));  // a missing file is not created
}

TEST(HostHealth, TriesHostsThatAreUpAndOfTheWantedRoleFirstAndBacksOffLonger) {
  HostHealth health;
  auto t = HostHealth::Clock::now();
  const std::vector<Endpoint> hosts = {{"p", "1"}, {"s", "2"}, {"dead", "3"}, {"new", "4"}};
  health.Connected("p:1", false);
  health.Connected("s:2", true);
  health.Failed("dead:3", 10, t);
  std::set<std::string> standby, primary;
  for (int i = 0; i < 64; ++i) {  // the ties fall at random, both ways; the ranks never move
    standby.insert(Keys(health.Order(hosts, SessionAttrs::PreferStandby, t)));
    primary.insert(Keys(health.Order(hosts, SessionAttrs::Primary, t)));
  }
  EXPECT_EQ(standby, (std::set<std::string>{"s:2 new:4 p:1 dead:3", "new:4 s:2 p:1 dead:3"}));
  EXPECT_EQ(primary, (std::set<std::string>{"p:1 new:4 s:2 dead:3", "new:4 p:1 s:2 dead:3"}));
  // Its back-off over, a down host is tried again like any other.
  EXPECT_EQ(Keys(health.Order({{"dead", "3"}, {"p", "1"}}, SessionAttrs::Standby, t + 2s)),
            "dead:3 p:1");
  // Each failure in a row backs off longer, up to the recheck time; one during it adds nothing.
  for (const auto backoff : {1s, 2s, 4s, 5s, 5s}) {
    health.Failed("h:1", 5, t);
    health.Failed("h:1", 5, t + 10ms);
    EXPECT_TRUE(health.IsDown("h:1", t + backoff - 1ms));
    EXPECT_FALSE(health.IsDown("h:1", t + backoff));
    t += backoff;
  }
  health.Connected("h:1", true);  // up again: the next failure starts over at 1 s
  health.Failed("h:1", 5, t);
  EXPECT_FALSE(health.IsDown("h:1", t + 1s));
}

TEST(HostHealth, ADeadHostAmongLiveOnesCostsNoFailedOpen) {
  if (!test::IsAvailable(test::Provider::PostgreSQL)) return test::ReportPostgreSQLMissing();
  const char* pg = std::getenv("CARVALEN_TEST_PG");
  const ParsedConnection live = ParseConnectionString(pg);
  const std::string dead = "/nonexistent-carvalen", host = *live.Find("host"),
                    port = *live.Find("port");
  Pool::Instance().Hosts().Reset();
  // The live server under two spellings of its socket folder, and a dead one; later keys win.
  auto hosts = [&](const std::string& attrs) {
    return pg + (";Host=" + dead + "," + host + "," + host + "/.;Port=1," + port + "," + port +
                 ";Load Balance Hosts=random;Pooling=False;Target Session Attrs=" + attrs);
  };
  for (int i = 0; i < 10; ++i) test::OpenClient(hosts("prefer-standby"))->Close();  // the primary
  EXPECT_TRUE(Pool::Instance().Hosts().IsDown(dead + ":1", HostHealth::Clock::now()));
  const Error none = CaptureError([&] { test::OpenClient(hosts("standby")); });
  EXPECT_THAT(
      none.NativeCode() + " " + none.Description(),
      ::testing::StartsWith("08001 no server qualifies for Target Session Attrs=standby ("));
  // No live host at all: the open fails as a connection failure.
  const std::string no_host = "Provider=PostgreSQL;Load Balance Hosts=random;Port=1;Host=" + dead;
  EXPECT_EQ(CaptureError([&] { test::OpenClient(no_host + "," + dead + "2"); }).NativeCode(),
            "08001");
  EXPECT_EQ(OpenConnectionCount(), 0);
  Pool::Instance().Hosts().Reset();
}

TEST(LiteralLexer, LiftsValuesKeepsWhatAParameterWouldChangeAndRefusesWhatItIsNotSureOf) {
  const std::array<const char*, 3> cases[] = {
      {"SELECT A,B FROM T WHERE Q = 77", "SELECT A,B FROM T WHERE Q = $1", "i:77"},  // shape: '$'s
      {"SELECT P FROM T WHERE H = 2147483647 AND L = 2147483648 AND X=-5",
       "SELECT P FROM T WHERE H = $1 AND L = $2 AND X=-$3", "i:2147483647 b:2147483648 i:5"},
      {"SELECT P FROM T WHERE Q <= 49.5 OR Q < 1e-05 OR Q > .5E+3",
       "SELECT P FROM T WHERE Q <= $1 OR Q < $2 OR Q > $3", "d:49.5 d:1e-05 d:.5E+3"},
      {"SELECT * FROM T WHERE B = 'it''s' AND D >= '2026-06-10 00:00:00' AND E = ''",
       "SELECT * FROM T WHERE B = $1 AND D >= $2 AND E = $3", "t:it's t:2026-06-10 00:00:00 t:"},
      {"SELECT * FROM T WHERE S IN ('a','b') AND N LIKE 'x%' AND (C = 6)",
       "SELECT * FROM T WHERE S IN ($1,$2) AND N LIKE $3 AND (C = $4)", "t:a t:b t:x% i:6"},
      // The select list and ORDER BY / GROUP BY keep theirs; a subquery's select list does not.
      {"SELECT 1, 'x', P*2 FROM T WHERE K IN (SELECT 3 FROM U) ORDER BY 1, 2 LIMIT 5",
       "SELECT 1, 'x', P*2 FROM T WHERE K IN (SELECT $1 FROM U) ORDER BY 1, 2 LIMIT $2", "i:3 i:5"},
      {"SELECT C1 FROM T2 WHERE (A = 1 ORDER BY 2) OR B = 3",
       "SELECT C1 FROM T2 WHERE (A = $1 ORDER BY 2) OR B = $2", "i:1 i:3"},
      {"SELECT 1", "SELECT 1", ""}};
  for (const auto& [sql, shape, literals] : cases) {
    LiftedStatement lifted;
    ASSERT_TRUE(LiftLiterals(sql, PlaceholderStyle::Dollar, lifted)) << sql;
    std::string got = lifted.shape + " |";  // each literal as its kind and value
    for (const Literal& l : lifted.literals)
      got += std::string(" ") + static_cast<char>(l.kind) + ':' + l.Value();
    EXPECT_EQ(got, std::string(shape) + " |" + (*literals ? " " : "") + literals);
  }
  // Whole statements, then values in a WHERE clause.
  for (std::string sql :
       {"SELECT A FROM T -- note", "SELECT A FROM T /* note */", "SELECT \"A\" FROM T",
        "SELECT A FROM T; SELECT B FROM T", "SELECT A FROM T WHERE (B = 1", "'a\\'", "E'a'",
        "DATE '2026-06-10'", "'a' 'b'", "'open", "?", "$1", "$$x$$", "1::text", "0x1F", "1.2.3",
        "99999999999999999999", "-2147483648", "'caf\xc3\xa9' AND C = \xc3\xa9"}) {
    if (!sql.starts_with("SELECT")) sql = "SELECT A FROM T WHERE B = " + sql;
    LiftedStatement lifted;
    EXPECT_FALSE(LiftLiterals(sql, PlaceholderStyle::Dollar, lifted)) << sql;
  }
}

}  // namespace
}  // namespace carvalen::db
