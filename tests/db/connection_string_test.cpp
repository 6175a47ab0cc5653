// Connection strings: keys, quoting, the pool and host-list keys, opens that fail, masked
// passwords; the host health that orders a host list, and a dead host among live ones; literals
// lifted out of statement texts.
#include "db/connection_string.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
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

TEST(ConnectionString, ParsesKeysWithoutRegardToCaseOrBlanks) {
  const std::pair<const char*, const char*> cases[] = {
      {"  provider = sqlite ; DATA   SOURCE =  my file.db ;",
       "SQLite | data source=my file.db | pool 100"},
      {"Provider=PostgreSQL;Host=/tmp/pg;Password=\"a;b\"\"c\";Pooling=False;Max Pool Size=5",
       "PostgreSQL | host=/tmp/pg | password=a;b\"c | no pool 5"},
      {"Provider=POSTGRESQL;;options=-c search_path=x;Host=h;host=h2",
       "PostgreSQL | options=-c search_path=x | host=h2 | pool 100"},
      {"Provider=SQLite;Data Source=\" spaced \" ;Pooling=yes",
       "SQLite | data source= spaced  | pool 100"},
  };
  for (const auto& [text, summary] : cases) {
    EXPECT_EQ(Summary(ParseConnectionString(text)), summary) << text;
  }
}

TEST(ConnectionString, PairsHostsWithPortsAsLibpqDoes) {
  const struct {
    const char* keys;
    const char* endpoints;
    SessionAttrs attrs;
    bool random;
  } cases[] = {
      {"Host=a", "a:", SessionAttrs::Any, false},
      {"Host=a, b ,c;Port=5433", "a:5433 b:5433 c:5433", SessionAttrs::Any, false},
      {"Host=a,b;Port=1,2;Target Session Attrs=Prefer-Standby;Load Balance Hosts=random", "a:1 b:2",
       SessionAttrs::PreferStandby, true},
      {"Host=a,b;target_session_attrs=standby;Load Balance Hosts=disable",
       "a: b:", SessionAttrs::Standby, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    const HostOptions options =
        ReadHostOptions(ParseConnectionString(std::string("Provider=PostgreSQL;") + c.keys));
    EXPECT_EQ(Keys(options.endpoints), c.endpoints);
    EXPECT_EQ(options.attrs, c.attrs);
    EXPECT_EQ(options.random, c.random);
  }
}

// Opens that fail, whatever the reason, raise a clear error and leave no connection open.
TEST(ConnectionString, OpensOfMalformedTextFailWithItsCulpritAndLeaveNothingOpen) {
  const carvalen::testing::TempFolder folder;
  const std::string invalid = "Invalid connection string: ",
                    none = "Provider cannot be found. It may not be properly installed. ",
                    quoting = invalid +
                              "options may not set standard_conforming_strings; the PostgreSQL "
                              "provider keeps it on so that quoted text cannot turn into SQL.";
  const struct {
    std::string text, description;  // "...": its start
    std::int32_t number = dberr::kInvalidArgument;
    const char* source = "Carvalen.Database";
  } cases[] = {
      {"Data Source=a.db", none + "The connection string names no Provider.",
       dberr::kProviderNotFound},
      {"Provider=Oracle;Data Source=a.db",
       none + "Unknown Provider 'Oracle'; the known providers are SQLite and PostgreSQL.",
       dberr::kProviderNotFound},
      {"Provider=SQLite;Data Source",
       invalid + "the item 'Data Source' is not of the form Key=Value"},
      {"Provider=SQLite;=x", invalid + "an item has a value but no key"},
      {"Provider=SQLite;Data Source=\"a.db",
       invalid + "the value of 'data source' lacks its closing quote"},
      {"Provider=SQLite;Data Source=\"a\"b",
       invalid + "unexpected text after the quoted value of 'data source'"},
      {"Provider=SQLite;Pooling=maybe", invalid + "Pooling must be True or False, not 'maybe'"},
      {"Provider=SQLite;Max Pool Size=-1",
       invalid + "Max Pool Size must be a whole number of 0 or more, not '-1'"},
      {"Provider=SQLite;Connection Lifetime=1s",
       invalid + "Connection Lifetime must be a whole number of 0 or more, not '1s'"},
      {"Provider=SQLite;Data Source=x.db;Colour=red",
       invalid + "the key 'colour' is not known to the SQLite provider."},
      {"Provider=SQLite", invalid + "the SQLite provider needs a Data Source."},
      {"Provider=SQLite;Data Source=" + (folder / "missing.db").string(),
       "unable to open database file", 14, "SQLite"},
      // The rest are PostgreSQL's.
      {"Host=a;Colour=red",
       invalid + "the key 'colour' is known neither to the PostgreSQL provider nor to libpq."},
      {"Host=" + folder.path.string() + ";Port=54329;Database=x;User ID=nobody",
       "connection to server on socket...", 16777728 /* SQLSTATE 08001 */, "PostgreSQL"},
      // The quoting rule cannot be switched off, however it is spelled.
      {"Host=a;options=-csearch_path=s -c standard_conforming_strings=off", quoting},
      {"Host=a;options=-csearch_path=s --Standard-Conforming\\_Strings=off", quoting},
      {"Host=a,b,c;Port=1,2",
       invalid + "Port names 2 ports for 3 hosts; give one port, or one per host"},
      {"Host=a;Target Session Attrs=read-write",
       invalid +
           "Target Session Attrs=read-write can never match: the provider's sessions are always "
           "read-only (use primary for the server that accepts writes)"},
      {"Host=a;Target Session Attrs=secondary",
       invalid +
           "Target Session Attrs must be any, read-only, primary, standby or prefer-standby, not "
           "'secondary'"},
      {"Host=a;Load Balance Hosts=round-robin",
       invalid + "Load Balance Hosts must be disable or random, not 'round-robin'"},
      {"Host=a;Host Recheck Seconds=0",
       invalid + "Host Recheck Seconds must be a whole number of 1 or more, not '0'"},
      {"Host=a,b;hostaddr=10.0.0.1,10.0.0.2;Load Balance Hosts=random",
       invalid +
           "Load Balance Hosts=random chooses among the Host names; hostaddr cannot go with it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::int64_t before = OpenConnectionCount();
    Connection connection;
    const Error e = CaptureError([&] {
      connection.Open((c.text.starts_with("Host=") ? "Provider=PostgreSQL;" : "") + c.text);
    });
    EXPECT_EQ(e.Number(), c.number);
    if (c.description.ends_with("...")) {
      EXPECT_TRUE(e.Description().starts_with(c.description.substr(0, c.description.size() - 3)))
          << e.Description();
    } else {
      EXPECT_EQ(e.Description(), c.description);
    }
    EXPECT_EQ(e.Source(), c.source);
    EXPECT_EQ(connection.State(), kStateClosed);
    EXPECT_EQ(OpenConnectionCount(), before);
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "missing.db"));  // a missing file is not created
}

TEST(ConnectionString, MasksPasswordsEvenInTextThatDoesNotParse) {
  const std::pair<const char*, const char*> cases[] = {
      {"Provider=PostgreSQL; pwd = \"se;cret\" ;Host=h", "Provider=PostgreSQL; pwd = *** ;Host=h"},
      {"Provider=Nope;PASSWORD=secret", "Provider=Nope;PASSWORD=***"},
      {"garbage;Password=\"unterminated;x", "garbage;Password=***"},
      {"Provider=SQLite;Data Source=a.db", "Provider=SQLite;Data Source=a.db"},
  };
  for (const auto& [text, masked] : cases) EXPECT_EQ(MaskPassword(text), masked);
}

TEST(HostHealth, TriesHostsThatAreUpAndOfTheWantedRoleFirst) {
  HostHealth health;
  const auto t = HostHealth::Clock::now();
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
}

TEST(HostHealth, BacksOffLongerAfterEachFailureInARowUpToTheRecheckTime) {
  HostHealth health;
  auto t = HostHealth::Clock::now();
  // Failures during a back-off do not lengthen it.
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
  if (!test::IsAvailable(test::Provider::PostgreSQL)) GTEST_SKIP() << "CARVALEN_TEST_PG is not set";
  const char* pg = std::getenv("CARVALEN_TEST_PG");
  const ParsedConnection live = ParseConnectionString(pg);
  const std::string dead = "/nonexistent-carvalen", host = *live.Find("host"),
                    port = *live.Find("port");
  Pool::Instance().Hosts().Reset();
  // The live server twice, under two spellings of its socket folder, and a dead one; later keys
  // win.
  auto hosts = [&](const std::string& attrs) {
    return pg + (";Host=" + dead + "," + host + "," + host + "/.;Port=1," + port + "," + port +
                 ";Load Balance Hosts=random;Pooling=False;Target Session Attrs=" + attrs);
  };
  for (int i = 0; i < 10; ++i) test::OpenClient(hosts("prefer-standby"))->Close();  // the primary
  EXPECT_TRUE(Pool::Instance().Hosts().IsDown(dead + ":1", HostHealth::Clock::now()));
  const Error none = CaptureError([&] { test::OpenClient(hosts("standby")); });
  EXPECT_EQ(none.NativeCode(), "08001");
  EXPECT_THAT(none.Description(),
              ::testing::StartsWith("no server qualifies for Target Session Attrs=standby ("));
  // No live host at all: the open fails as a connection failure.
  const Error e = CaptureError([&] {
    test::OpenClient("Provider=PostgreSQL;Host=" + dead + "," + dead +
                     "2;Port=1;Load Balance Hosts=random");
  });
  EXPECT_EQ(e.NativeCode(), "08001");
  EXPECT_EQ(OpenConnectionCount(), 0);
  Pool::Instance().Hosts().Reset();
}

std::string Lifted(const LiftedStatement& lifted) {
  std::string out;
  for (const Literal& literal : lifted.literals) {
    if (!out.empty()) out += ' ';
    out += static_cast<char>(literal.kind);
    out += ':' + literal.Value();
  }
  return out;
}

TEST(LiteralLexer, LiftsValuesAndKeepsWhatAParameterWouldChange) {
  const struct {
    const char* sql;
    const char* shape;  // with '$' placeholders
    const char* literals;
  } cases[] = {
      {"SELECT A,B FROM T WHERE Q = 77", "SELECT A,B FROM T WHERE Q = $1", "i:77"},
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
      {"SELECT 1", "SELECT 1", ""},
  };
  for (const auto& c : cases) {
    for (const auto style : {PlaceholderStyle::Dollar, PlaceholderStyle::Question}) {
      LiftedStatement lifted;
      ASSERT_TRUE(LiftLiterals(c.sql, style, lifted)) << c.sql;
      std::string shape = c.shape;
      if (style == PlaceholderStyle::Question) std::replace(shape.begin(), shape.end(), '$', '?');
      EXPECT_EQ(lifted.shape, shape) << c.sql;
      EXPECT_EQ(Lifted(lifted), c.literals) << c.sql;
    }
  }
}

TEST(LiteralLexer, RefusesWhatItIsNotSureOf) {
  std::vector<std::string> cases = {"SELECT A FROM T -- note", "SELECT A FROM T /* note */",
                                    "SELECT \"A\" FROM T", "SELECT A FROM T; SELECT B FROM T",
                                    "SELECT A FROM T WHERE (B = 1"};
  for (const char* value :
       {"'a\\'", "E'a'", "DATE '2026-06-10'", "'a' 'b'", "'open", "?", "$1", "$$x$$", "1::text",
        "0x1F", "1.2.3", "99999999999999999999", "-2147483648", "'caf\xc3\xa9' AND C = \xc3\xa9"}) {
    cases.push_back(std::string("SELECT A FROM T WHERE B = ") + value);
  }
  for (const std::string& sql : cases) {
    LiftedStatement lifted;
    EXPECT_FALSE(LiftLiterals(sql, PlaceholderStyle::Dollar, lifted)) << sql;
  }
}

}  // namespace
}  // namespace carvalen::db
