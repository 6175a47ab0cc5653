#include "support/databases.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "db/client.hpp"
#include "db/connection_string.hpp"

#include <libpq-fe.h>

namespace carvalen::test {
namespace {

const char* PgEnvironment() {
  const char* text = std::getenv("CARVALEN_TEST_PG");
  return text != nullptr && *text != '\0' ? text : nullptr;
}

/// A new libpq session on the CARVALEN_TEST_PG database, as `user` when it is not empty.
PGconn* ConnectPg(const std::string& user = "") {
  const char* base = PgEnvironment();
  if (base == nullptr) throw std::runtime_error("CARVALEN_TEST_PG is not set");
  auto keys = db::ParseConnectionString(base).keys;
  std::vector<const char*> k, v;
  for (auto& [key, value] : keys) {
    if (key == "user id" && !user.empty()) value = user;
    key = key == "database" ? "dbname" : key == "user id" ? "user" : key;
    k.push_back(key.c_str()), v.push_back(value.c_str());
  }
  k.push_back(nullptr), v.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(k.data(), v.data(), 0);
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  return conn;
}

std::string UniqueSuffix() {
  static std::atomic<int> counter{0};
  static const unsigned salt = std::random_device{}() % 100000;
  return std::to_string(::getpid()) + "_" + std::to_string(salt) + "_" + std::to_string(++counter);
}

}  // namespace

struct TestDatabase::Writer {
  sqlite3* lite = nullptr;
  PGconn* pg = nullptr;

  ~Writer() {
    if (lite != nullptr) sqlite3_close_v2(lite);
    if (pg != nullptr) PQfinish(pg);
  }

  void Exec(const std::string& sql) {
    if (lite != nullptr) {
      char* message = nullptr;
      if (sqlite3_exec(lite, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return;
      std::string text = message != nullptr ? message : "unknown error";
      sqlite3_free(message);
      throw std::runtime_error("SQLite: " + text + " in: " + sql);
    }
    PGresult* result = PQexec(pg, sql.c_str());
    ExecStatusType status = PQresultStatus(result);
    std::string text = PQresultErrorMessage(result);
    PQclear(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY)
      throw std::runtime_error("PostgreSQL: " + text + " in: " + sql);
  }
};

std::string ProviderName(Provider provider) {
  return provider == Provider::SQLite ? "SQLite" : "PostgreSQL";
}

std::vector<Provider> AvailableProviders() {
  std::vector<Provider> providers{Provider::SQLite};
  if (PgEnvironment() != nullptr) providers.push_back(Provider::PostgreSQL);
  return providers;
}

bool IsAvailable(Provider provider) {
  return provider == Provider::SQLite || PgEnvironment() != nullptr;
}

TestDatabase::TestDatabase(Provider provider)
    : provider_(provider), writer_(std::make_unique<Writer>()) {
  if (provider == Provider::SQLite) {
    location_ =
        (std::filesystem::temp_directory_path() / ("carvalen-test-" + UniqueSuffix() + ".db"))
            .string();
    if (sqlite3_open_v2(location_.c_str(), &writer_->lite,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot create the SQLite test database " + location_);
    sqlite3_busy_timeout(writer_->lite, 10000);
    writer_->Exec("PRAGMA journal_mode=WAL");
    connection_string_ = "Provider=SQLite;Data Source=" + location_;
    return;
  }
  writer_->pg = ConnectPg();
  if (PQstatus(writer_->pg) != CONNECTION_OK)
    throw std::runtime_error(std::string("cannot reach the PostgreSQL test database: ") +
                             PQerrorMessage(writer_->pg));
  location_ = "carvalen_t_" + UniqueSuffix();
  writer_->Exec("DROP SCHEMA IF EXISTS " + location_ + " CASCADE; CREATE SCHEMA " + location_ +
                "; SET search_path TO " + location_);
  connection_string_ = std::string(PgEnvironment()) + ";options=-csearch_path=" + location_;
  // Keys that send the library's sessions another way (through a pooler, say); later keys win.
  if (const char* via = std::getenv("CARVALEN_TEST_PG_VIA"); via != nullptr && *via != '\0')
    connection_string_ += std::string(";") + via;
}

TestDatabase::~TestDatabase() {
  carvalen::db::DrainPool();
  if (provider_ == Provider::SQLite) {
    writer_.reset();
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      std::filesystem::remove(location_ + suffix, ignored);
    return;
  }
  try {
    writer_->Exec("DROP SCHEMA IF EXISTS " + location_ + " CASCADE");
  } catch (const std::exception&) {  // left behind for the next cluster start
  }
}

void TestDatabase::Exec(const std::string& sql) { writer_->Exec(sql); }

bool PgExecAs(const std::string& user, const std::string& sql) {
  PGconn* conn = ConnectPg(user);
  PGresult* result = PQexec(conn, sql.c_str());
  const bool ok = PQstatus(conn) == CONNECTION_OK && PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  PQfinish(conn);
  return ok;
}

void ReportPostgreSQLMissing() {
  if (PgEnvironment() != nullptr) return;
  const char* required = std::getenv("CARVALEN_TEST_REQUIRE_PG");
  if (required != nullptr && *required != '\0' && *required != '0')
    FAIL() << "PostgreSQL was asked for (CARVALEN_TEST_REQUIRE_PG) but CARVALEN_TEST_PG is not set";
  GTEST_SKIP() << "this suite's PostgreSQL cases: CARVALEN_TEST_PG is not set";
}

}  // namespace carvalen::test
