// Host lists: their keys, the health that orders them, and a dead host among live ones.
#include "db/hosts.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/pool.hpp"
#include "support/client_test.hpp"

namespace carvalen::db {
namespace {

using namespace std::chrono_literals;
using test::CaptureError;

std::string Keys(const std::vector<Endpoint>& endpoints) {
  std::string text;
  for (const Endpoint& e : endpoints) text += (text.empty() ? "" : " ") + e.Key();
  return text;
}

TEST(HostOptions, PairsHostsWithPortsAsLibpqDoes) {
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

TEST(HostOptions, RejectsValuesThatCannotWork) {
  const std::pair<const char*, const char*> cases[] = {
      {"Host=a,b,c;Port=1,2", "Port names 2 ports for 3 hosts; give one port, or one per host"},
      {"Host=a;Target Session Attrs=read-write",
       "Target Session Attrs=read-write can never match: the provider's sessions are always "
       "read-only (use primary for the server that accepts writes)"},
      {"Host=a;Target Session Attrs=secondary",
       "Target Session Attrs must be any, read-only, primary, standby or prefer-standby, not "
       "'secondary'"},
      {"Host=a;Load Balance Hosts=round-robin",
       "Load Balance Hosts must be disable or random, not 'round-robin'"},
      {"Host=a;Host Recheck Seconds=0",
       "Host Recheck Seconds must be a whole number of 1 or more, not '0'"},
      {"Host=a,b;hostaddr=10.0.0.1,10.0.0.2;Load Balance Hosts=random",
       "Load Balance Hosts=random chooses among the Host names; hostaddr cannot go with it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const Error e = CaptureError([&] {
      ReadHostOptions(ParseConnectionString(std::string("Provider=PostgreSQL;") + c.first));
    });
    EXPECT_EQ(e.Number(), dberr::kInvalidArgument);
    EXPECT_EQ(e.Description(), std::string("Invalid connection string: ") + c.second);
  }
}

TEST(HostHealth, TriesHostsThatAreUpAndOfTheWantedRoleFirst) {
  HostHealth health;
  const auto t = HostHealth::Clock::now();
  const std::vector<Endpoint> hosts = {{"p", "1"}, {"s", "2"}, {"dead", "3"}, {"new", "4"}};
  health.Connected("p:1", false);
  health.Connected("s:2", true);
  health.Failed("dead:3", 10, t);
  for (int i = 0; i < 20; ++i) {  // the ties fall at random; the ranks never move
    const std::string standby = Keys(health.Order(hosts, SessionAttrs::PreferStandby, t));
    EXPECT_TRUE(standby == "s:2 new:4 p:1 dead:3" || standby == "new:4 s:2 p:1 dead:3") << standby;
    const std::string primary = Keys(health.Order(hosts, SessionAttrs::Primary, t));
    EXPECT_TRUE(primary == "p:1 new:4 s:2 dead:3" || primary == "new:4 p:1 s:2 dead:3") << primary;
  }
  // Its back-off over, a down host is tried again like any other.
  EXPECT_EQ(Keys(health.Order({{"dead", "3"}, {"p", "1"}}, SessionAttrs::Standby, t + 2s)),
            "dead:3 p:1");
}

TEST(HostHealth, BacksOffLongerAfterEachFailureInARowUpToTheRecheckTime) {
  HostHealth health;
  auto t = HostHealth::Clock::now();
  // Down for 1 s, 2 s, 4 s, then the 5 s cap; failures during a back-off do not lengthen it.
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
  const ConnectionSettings live = ParseConnectionString(std::getenv("CARVALEN_TEST_PG"));
  const std::string dead = "/nonexistent-carvalen";
  Pool::Instance().Hosts().Reset();
  // The live server twice, under two spellings of its socket folder, and a dead one.
  auto hosts = [&](const std::string& attrs) {
    return "Provider=PostgreSQL;Database=" + *live.Find("database") +
           ";User ID=" + *live.Find("user id") + ";Host=" + dead + "," + *live.Find("host") + "," +
           *live.Find("host") + "/.;Port=1," + *live.Find("port") + "," + *live.Find("port") +
           ";Load Balance Hosts=random;Pooling=False;" + attrs;
  };
  for (int i = 0; i < 10; ++i) {
    Connection connection;
    connection.Open(hosts("Target Session Attrs=prefer-standby"));  // no standby: the primary
    connection.Close();
  }
  EXPECT_TRUE(Pool::Instance().Hosts().IsDown(dead + ":1", HostHealth::Clock::now()));

  // Only a standby will do, and there is none.
  const Error none = CaptureError([&] {
    Connection connection;
    connection.Open(hosts("Target Session Attrs=standby"));
  });
  EXPECT_EQ(none.NativeCode(), "08001");
  EXPECT_THAT(none.Description(),
              ::testing::StartsWith("no server qualifies for Target Session Attrs=standby ("));

  // No live host at all: the open fails as a connection failure.
  const Error e = CaptureError([&] {
    Connection connection;
    connection.Open("Provider=PostgreSQL;Host=" + dead + "," + dead +
                    "2;Port=1;Load Balance Hosts=random");
  });
  EXPECT_EQ(e.NativeCode(), "08001");
  EXPECT_EQ(OpenConnectionCount(), 0);
  Pool::Instance().Hosts().Reset();
}

}  // namespace
}  // namespace carvalen::db
