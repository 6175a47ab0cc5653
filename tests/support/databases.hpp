// Private test databases for the providers of the database client.
//
// SQLite is always there: each TestDatabase is a new file in the temporary folder.
//
// PostgreSQL is used only when the environment variable CARVALEN_TEST_PG holds a client
// connection string of a database in which the tests may create schemas, for example
//
//   bash scripts/pg-test-cluster.sh start /tmp/pgtest
//   export
//   CARVALEN_TEST_PG='Provider=PostgreSQL;Host=/tmp/pgtest;Port=54329;Database=carvalen_test;User
//   ID=carvalen'
//
// Each PostgreSQL TestDatabase is a new schema in that database (creating one takes a few
// milliseconds, cloning a database a few hundred); the client reaches it through the key
// `options=-csearch_path=<schema>`, so unqualified table names resolve there only.
//
// CARVALEN_TEST_PG_VIA, when set, holds keys appended to the library's connection string (not
// the writer's), e.g. 'Host=/tmp/pgb;Port=54339;Database=carvalen_transaction;Pooler=Transaction'
// to run a suite's PostgreSQL cases through the pooler of scripts/pgbouncer.sh.
//
// Tests run over the providers available here as value-parameterised tests (PostgreSQL only
// with CARVALEN_TEST_PG, which the test command always sets):
//
//   class MyTest : public carvalen::test::DatabaseTest {};
//   TEST_P(MyTest, Reads) { db().Exec("CREATE TABLE T (A INTEGER)"); ... db().ConnectionString() }
//   CARVALEN_ON_PROVIDERS(MyTest);
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
/// Both providers, whether available or not (parameterise over these).
std::vector<Provider> AllProviders();
/// The providers that can run here: SQLite, and PostgreSQL when CARVALEN_TEST_PG is set.
std::vector<Provider> AvailableProviders();
bool IsAvailable(Provider provider);

/// A fresh, empty database for one test, dropped by the destructor (which also empties the
/// client's pool, so idle sessions do not pile up over a long test run).
class TestDatabase {
 public:
  /// Fails (throws std::runtime_error) when the provider is unavailable or the database cannot
  /// be made.
  explicit TestDatabase(Provider provider);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  Provider provider() const { return provider_; }
  /// The connection string for the database client (whose sessions are read-only).
  const std::string& ConnectionString() const { return connection_string_; }
  /// The SQLite file or the PostgreSQL schema.
  const std::string& Location() const { return location_; }

  /// Runs one or more statements (DDL, inserts) through a writable connection of its own;
  /// throws std::runtime_error with the database's message when they fail.
  void Exec(const std::string& sql);
  /// The first column of the first row of `sql` as text, through the writable connection; ""
  /// for no row or NULL.
  std::string QueryText(const std::string& sql);

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

/// A fixture parameterised over the providers: SetUp makes a TestDatabase.
class DatabaseTest : public ::testing::TestWithParam<Provider> {
 protected:
  void SetUp() override;
  void TearDown() override;
  TestDatabase& db() { return *database_; }
  Provider provider() const { return GetParam(); }

 private:
  std::unique_ptr<TestDatabase> database_;
};

/// Test-name suffix for a provider parameter.
std::string ProviderParamName(const ::testing::TestParamInfo<Provider>& info);

}  // namespace carvalen::test

/// Runs a suite parameterised over Provider on every provider available here.
#define CARVALEN_ON_PROVIDERS(Suite)                                                    \
  INSTANTIATE_TEST_SUITE_P(Providers, Suite,                                            \
                           ::testing::ValuesIn(::carvalen::test::AvailableProviders()), \
                           ::carvalen::test::ProviderParamName)
