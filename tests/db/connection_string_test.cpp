#include "platform/db/connection_string.hpp"

#include <gtest/gtest.h>

#include "db/db_test_helpers.hpp"

namespace carvalen::db {
namespace {

using test::CaptureError;
using Keys = std::vector<std::pair<std::string, std::string>>;

TEST(ConnectionString, ParsesKeysWithoutRegardToCaseOrBlanks) {
  struct Case {
    const char* text;
    ProviderKind provider;
    Keys keys;
    bool pooling;
    std::int32_t max_pool;
  };
  const Case cases[] = {
      {"Provider=SQLite;Data Source=a.db",
       ProviderKind::SQLite,
       {{"data source", "a.db"}},
       true,
       100},
      {"  provider = sqlite ; DATA   SOURCE =  my file.db ;",
       ProviderKind::SQLite,
       {{"data source", "my file.db"}},
       true,
       100},
      {"Provider=PostgreSQL;Host=/tmp/pg;Password=\"a;b\"\"c\";Pooling=False;Max Pool Size=5",
       ProviderKind::PostgreSQL,
       {{"host", "/tmp/pg"}, {"password", "a;b\"c"}},
       false,
       5},
      {"Provider=POSTGRESQL;;options=-c search_path=x;Host=h;host=h2",
       ProviderKind::PostgreSQL,
       {{"options", "-c search_path=x"}, {"host", "h2"}},
       true,
       100},
      {"Provider=SQLite;Data Source=\" spaced \" ;Pooling=yes",
       ProviderKind::SQLite,
       {{"data source", " spaced "}},
       true,
       100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ConnectionSettings s = ParseConnectionString(c.text);
    EXPECT_EQ(s.provider, c.provider);
    EXPECT_EQ(s.keys, c.keys);
    EXPECT_EQ(s.pooling, c.pooling);
    EXPECT_EQ(s.max_pool_size, c.max_pool);
  }
}

TEST(ConnectionString, RejectsMalformedTextWithItsCulprit) {
  struct Case {
    const char* text;
    std::int32_t number;
    const char* description;
  };
  const Case cases[] = {
      {"Data Source=a.db", dberr::kProviderNotFound,
       "Provider cannot be found. It may not be properly installed. The connection string names "
       "no Provider."},
      {"Provider=Oracle;Data Source=a.db", dberr::kProviderNotFound,
       "Provider cannot be found. It may not be properly installed. Unknown Provider 'Oracle'; "
       "the known providers are SQLite and PostgreSQL."},
      {"Provider=SQLite;Data Source", dberr::kInvalidArgument,
       "Invalid connection string: the item 'Data Source' is not of the form Key=Value"},
      {"Provider=SQLite;=x", dberr::kInvalidArgument,
       "Invalid connection string: an item has a value but no key"},
      {"Provider=SQLite;Data Source=\"a.db", dberr::kInvalidArgument,
       "Invalid connection string: the value of 'data source' lacks its closing quote"},
      {"Provider=SQLite;Data Source=\"a\"b", dberr::kInvalidArgument,
       "Invalid connection string: unexpected text after the quoted value of 'data source'"},
      {"Provider=SQLite;Pooling=maybe", dberr::kInvalidArgument,
       "Invalid connection string: Pooling must be True or False, not 'maybe'"},
      {"Provider=SQLite;Max Pool Size=-1", dberr::kInvalidArgument,
       "Invalid connection string: Max Pool Size must be a whole number of 0 or more, not '-1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Error e = CaptureError([&] { ParseConnectionString(c.text); });
    EXPECT_EQ(e.Number(), c.number);
    EXPECT_EQ(e.Description(), c.description);
    EXPECT_EQ(e.Source(), "Carvalen.Database");
  }
}

TEST(ConnectionString, CanonicalTextIgnoresSpellingButNotValues) {
  auto canonical = [](const char* text) { return ParseConnectionString(text).Canonical(); };
  EXPECT_EQ(canonical("Provider=SQLite;Data Source=a.db"),
            canonical(" PROVIDER=sqlite ; data source = a.db ;"));
  EXPECT_NE(canonical("Provider=SQLite;Data Source=a.db"),
            canonical("Provider=SQLite;Data Source=A.db"));
  EXPECT_NE(canonical("Provider=PostgreSQL;Host=a;Port=1"),
            canonical("Provider=PostgreSQL;Host=a=1"));
}

TEST(ConnectionString, MasksPasswordsEvenInTextThatDoesNotParse) {
  const std::pair<const char*, const char*> cases[] = {
      {"Provider=PostgreSQL;Host=h;Password=secret;User ID=u",
       "Provider=PostgreSQL;Host=h;Password=***;User ID=u"},
      {"Provider=PostgreSQL; pwd = \"se;cret\" ;Host=h", "Provider=PostgreSQL; pwd = *** ;Host=h"},
      {"Provider=Nope;PASSWORD=secret", "Provider=Nope;PASSWORD=***"},
      {"garbage;Password=\"unterminated;x", "garbage;Password=***"},
      {"Provider=SQLite;Data Source=a.db", "Provider=SQLite;Data Source=a.db"},
  };
  for (const auto& [text, masked] : cases) EXPECT_EQ(MaskPassword(text), masked);
}

}  // namespace
}  // namespace carvalen::db
