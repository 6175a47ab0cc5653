// Parsing connection strings: keys, quoting, the pool keys, malformed text and masked passwords.
#include "db/connection_string.hpp"

#include <gtest/gtest.h>

#include "support/client_test.hpp"

namespace carvalen::db {
namespace {

using test::CaptureError;

// The provider, the driver keys in order, and the pool settings of parsed text.
std::string Summary(const ConnectionSettings& s) {
  std::string text = s.provider == ProviderKind::SQLite ? "SQLite" : "PostgreSQL";
  for (const auto& [key, value] : s.keys) text += " | " + key + "=" + value;
  return text + (s.pooling ? " | pool " : " | no pool ") + std::to_string(s.max_pool_size);
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

TEST(ConnectionString, RejectsMalformedTextWithItsCulprit) {
  const struct {
    const char* text;
    std::int32_t number;
    const char* description;
  } cases[] = {
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
      {"Provider=SQLite;Connection Lifetime=1s", dberr::kInvalidArgument,
       "Invalid connection string: Connection Lifetime must be a whole number of 0 or more, not "
       "'1s'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Error e = CaptureError([&] { ParseConnectionString(c.text); });
    EXPECT_EQ(e.Number(), c.number);
    EXPECT_EQ(e.Description(), c.description);
    EXPECT_EQ(e.Source(), "Carvalen.Database");
  }
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

}  // namespace
}  // namespace carvalen::db
