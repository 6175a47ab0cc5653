// Private test databases: SQLite a new file each, PostgreSQL (only with CARVALEN_TEST_PG, a
// database the tests may create schemas in) a new schema each, reached through
// `options=-csearch_path=<schema>` (a schema takes milliseconds, a cloned database far longer).
// CARVALEN_TEST_PG_VIA holds keys appended to the library's connection string (not the writer's),
// e.g. to run a suite's PostgreSQL cases through the pooler of scripts/pgbouncer.sh.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace carvalen::test {

enum class Provider { SQLite, PostgreSQL };

/// "SQLite" or "PostgreSQL", for test names and messages.
std::string ProviderName(Provider provider);
/// Lets GoogleTest print a provider parameter by name.
inline void PrintTo(Provider provider, std::ostream* out) { *out << ProviderName(provider); }
/// The providers that can run here: SQLite, and PostgreSQL when CARVALEN_TEST_PG is set.
std::vector<Provider> AvailableProviders();
bool IsAvailable(Provider provider);

/// A fresh, empty database for one test (std::runtime_error when it cannot be made), dropped by
/// the destructor, which also empties the client's pool so idle sessions do not pile up.
class TestDatabase {
 public:
  explicit TestDatabase(Provider provider);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  Provider provider() const { return provider_; }
  /// The connection string for the database client (whose sessions are read-only).
  const std::string& ConnectionString() const { return connection_string_; }
  /// The SQLite file or the PostgreSQL schema.
  const std::string& Location() const { return location_; }

  /// Runs statements through a writable connection of its own; std::runtime_error on failure.
  void Exec(const std::string& sql);

 private:
  struct Writer;
  Provider provider_;
  std::string connection_string_;
  std::string location_;
  std::unique_ptr<Writer> writer_;
};

/// Runs `sql` on the CARVALEN_TEST_PG database in a session of its own, as `user` when it is not
/// empty; false when the connection or a statement fails.
bool PgExecAs(const std::string& user, const std::string& sql);

/// Without CARVALEN_TEST_PG: a skip saying why, or a failure when CARVALEN_TEST_REQUIRE_PG is set.
void ReportPostgreSQLMissing();

}  // namespace carvalen::test

/// Runs a Provider suite on each provider here, else shows a skipped Suite.PostgreSQLCases.
#define CARVALEN_ON_PROVIDERS(Suite)                                                 \
  INSTANTIATE_TEST_SUITE_P(                                                          \
      Providers, Suite, ::testing::ValuesIn(::carvalen::test::AvailableProviders()), \
      [](const auto& info) { return ::carvalen::test::ProviderName(info.param); });  \
  TEST(Suite, PostgreSQLCases) { ::carvalen::test::ReportPostgreSQLMissing(); }
