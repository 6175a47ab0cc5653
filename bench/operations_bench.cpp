// How close an operation comes to the raw database: each operation is measured next to the
// same statements run directly through the driver on a connection kept open, so the ratio is the
// whole cost of the frame (configuration store, components, pooled connection, isolation
// command, trap, result).
//
//   carvalen_bench                      SQLite, a database it creates in a temporary folder
//   CARVALEN_BENCH_PG='host=/tmp/pg port=54329 dbname=x user=y' carvalen_bench
//                                       also PostgreSQL (libpq keywords); the data goes into a
//                                       schema of its own, dropped at the end
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "carvalen/contract_line.hpp"
#include "carvalen/settings.hpp"
#include "db/client.hpp"
#include "model/schema.hpp"

namespace {

namespace fs = std::filesystem;
using carvalen::model::SchemaProvider;

constexpr int kLines = 2000;

// kLines lines, each with three price breaks and a discount break.
std::string DataScript() {
  std::string script;
  for (int i = 1; i <= kLines; ++i) {
    const std::string id = std::to_string(i);
    script += "INSERT INTO CONTRACTHEADER VALUES (" + id + "," + id + ",1,'H');";
    script +=
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID,CONTRACTLINEID,QUOTATIONID,PRODUCTID,"
        "CURRENCYCODE,CONTRACTSTATUS,PRICE,INCLUDEPRICEBREAKUP,INCLUDEDISCOUNTBREAKUP,"
        "MINQTYBREAKUP,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,TAXPERCENTAGE,FREIGHTCHARGE,"
        "HANDLINGCHARGE) VALUES (" +
        id + ",1," + id + ",7,'EUR',6,10,1,1,1,0,0,8,5,2);";
    for (int q : {10, 50, 100}) {
      script += "INSERT INTO CONTRACTPRICE VALUES (" + id + ",1," + std::to_string(q) + "," +
                std::to_string(10 - q / 50) + ");";
    }
    script += "INSERT INTO CONTRACTDISCOUNT VALUES (" + id + ",1,10,2,0);";
  }
  return script;
}

// One database holding the data, a configuration store pointing at it, and a raw session that
// runs a statement and reads the first column of its first row.
class Backend {
 public:
  Backend() {
    static int count = 0;
    dir_ = fs::temp_directory_path() /
           ("carvalen-bench-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
    fs::create_directories(dir_);
  }
  virtual ~Backend() { fs::remove_all(dir_); }
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  virtual double RawFirstValue(const std::string& sql) = 0;
  /// Points the library's configuration at this backend's database.
  void Select() const { carvalen::SetSetting(carvalen::Setting::ConfigDir, dir_.string()); }

 protected:
  void WriteStore(const std::string& connection_string) const {
    std::ofstream(dir_ / "Vendra.toml")
        << "[ConnectionStrings]\nEContract = '" << connection_string
        << "'\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
           "EContractConnection_ConnectionTimeout = \"15\"\n";
  }
  fs::path dir_;
};

class SqliteBackend final : public Backend {
 public:
  SqliteBackend() : file_(dir_ / "contracts.db") {
    sqlite3* db = nullptr;
    sqlite3_open(file_.c_str(), &db);
    const std::string script = carvalen::model::SchemaScript(SchemaProvider::SQLite) + "BEGIN;" +
                               DataScript() + "COMMIT;PRAGMA journal_mode=WAL;";
    const int rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot load the SQLite benchmark data");
    WriteStore("Provider=SQLite;Data Source=" + file_.string());
    sqlite3_open_v2(file_.c_str(), &raw_, SQLITE_OPEN_READONLY, nullptr);
  }
  ~SqliteBackend() override { sqlite3_close(raw_); }

  double RawFirstValue(const std::string& sql) override {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(raw_, sql.c_str(), -1, &stmt, nullptr);
    const double value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_double(stmt, 0) : 0.0;
    sqlite3_finalize(stmt);
    return value;
  }

 private:
  fs::path file_;
  sqlite3* raw_ = nullptr;
};

class PostgresBackend final : public Backend {
 public:
  explicit PostgresBackend(const std::string& conninfo)
      : raw_(PQconnectdb(conninfo.c_str())),
        schema_("carvalen_bench_" + std::to_string(::getpid())) {
    if (PQstatus(raw_) != CONNECTION_OK) {
      throw std::runtime_error(std::string("cannot reach PostgreSQL: ") + PQerrorMessage(raw_));
    }
    PQsetNoticeProcessor(
        raw_, [](void*, const char*) {}, nullptr);
    Run("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE; CREATE SCHEMA " + schema_ +
        "; SET search_path = " + schema_ + ";" +
        carvalen::model::SchemaScript(SchemaProvider::PostgreSQL) + "BEGIN;" + DataScript() +
        "COMMIT; ANALYZE;");
    std::string host = PQhost(raw_);
    WriteStore("Provider=PostgreSQL;Host=" + host + ";Port=" + PQport(raw_) + ";Database=" +
               PQdb(raw_) + ";User ID=" + PQuser(raw_) + ";options=-csearch_path=" + schema_);
  }
  ~PostgresBackend() override {
    carvalen::db::DrainPool();  // the library's sessions keep the schema busy
    PQclear(PQexec(raw_, ("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE").c_str()));
    PQfinish(raw_);
  }

  // The extended protocol, as the library's client uses.
  double RawFirstValue(const std::string& sql) override {
    PGresult* result = PQexecParams(raw_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    const double value = PQntuples(result) > 0 ? std::atof(PQgetvalue(result, 0, 0)) : 0.0;
    PQclear(result);
    return value;
  }

 private:
  void Run(const std::string& script) {
    PGresult* result = PQexec(raw_, script.c_str());
    const bool ok =
        PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    PQclear(result);
    if (!ok) throw std::runtime_error(PQerrorMessage(raw_));
  }

  PGconn* raw_;
  std::string schema_;
};

std::string Id(int i) { return std::to_string(1 + i % kLines); }

// The statement GetContractLineNumber runs.
void RawLineNumber(benchmark::State& state, Backend* backend) {
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(backend->RawFirstValue(
        "SELECT CONTRACTHEADERID,CONTRACTLINEID FROM CONTRACTLINE WHERE QUOTATIONID = " + Id(i++)));
  }
}

void CarvalenLineNumber(benchmark::State& state, Backend* backend) {
  backend->Select();
  carvalen::ContractLine line;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line.GetContractLineNumber(1 + i++ % kLines));
  }
}

// The two statements GetPrice runs for a line that uses price breaks.
void RawPrice(benchmark::State& state, Backend* backend) {
  int i = 0;
  for (auto _ : state) {
    const std::string id = Id(i++);
    benchmark::DoNotOptimize(backend->RawFirstValue(
        "SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE WHERE "
        "CONTRACTHEADERID = " +
        id + " AND CONTRACTLINEID = 1"));
    benchmark::DoNotOptimize(backend->RawFirstValue(
        "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = " + id +
        " AND CONTRACTLINEID = 1 AND QUANTITY <= 60 ORDER BY QUANTITY DESC"));
  }
}

void CarvalenPrice(benchmark::State& state, Backend* backend) {
  backend->Select();
  carvalen::ContractLine line;
  int i = 0;
  for (auto _ : state) {
    carvalen::Variant currency;
    benchmark::DoNotOptimize(line.GetPrice(1 + i++ % kLines, 1, 60.0, currency));
  }
}

// Prints the usual table, then each operation's time as a multiple of its raw counterpart
// (Carvalen/X against Raw/X), so one run shows the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, time] : times_) {
      const std::string prefix = "Carvalen/";
      if (name.rfind(prefix, 0) != 0) continue;
      auto raw = times_.find("Raw/" + name.substr(prefix.size()));
      if (raw == times_.end() || raw->second <= 0) continue;
      GetOutputStream() << name.substr(prefix.size()) << ": " << time / raw->second << " x raw\n";
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  struct Named {
    std::string name;
    std::unique_ptr<Backend> backend;
  };
  std::vector<Named> backends;
  backends.push_back(Named{"SQLite", std::make_unique<SqliteBackend>()});
  if (const char* pg = std::getenv("CARVALEN_BENCH_PG"); pg != nullptr && *pg != '\0') {
    backends.push_back(Named{"PostgreSQL", std::make_unique<PostgresBackend>(pg)});
  }
  for (const Named& named : backends) {
    const std::string& name = named.name;
    Backend* b = named.backend.get();
    benchmark::RegisterBenchmark(("Raw/" + name + "/LineNumber").c_str(), RawLineNumber, b);
    benchmark::RegisterBenchmark(("Carvalen/" + name + "/LineNumber").c_str(), CarvalenLineNumber,
                                 b);
    benchmark::RegisterBenchmark(("Raw/" + name + "/Price").c_str(), RawPrice, b);
    benchmark::RegisterBenchmark(("Carvalen/" + name + "/Price").c_str(), CarvalenPrice, b);
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
