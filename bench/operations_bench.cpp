// How close an operation comes to the raw database: each operation is measured next to the
// same statement run directly through the driver on a connection that is kept open, so the
// ratio is the cost of the frame (configuration, components, pooled connection, trap, result).
//
//   carvalen_bench                      SQLite, a demo-sized database it creates in a temp folder
//   CARVALEN_BENCH_PG='host=... dbname=...' carvalen_bench   also PostgreSQL (libpq keywords;
//                                        the database must hold the schema and demo rows)
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carvalen/contract_line.hpp"
#include "model/schema.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int kLines = 2000;

// A SQLite database with the schema and kLines lines, each with three price breaks and a
// discount break, and a Vendra store pointing at it.
struct SqliteFixture {
  fs::path dir;
  fs::path file;

  SqliteFixture() {
    dir = fs::temp_directory_path() / ("carvalen-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    file = dir / "contracts.db";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    std::string script = carvalen::model::SchemaScript(carvalen::model::SchemaProvider::SQLite);
    script += "BEGIN;";
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
    script += "COMMIT;PRAGMA journal_mode=WAL;";
    sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::ofstream(dir / "Vendra.toml")
        << "[ConnectionStrings]\nEContract = \"Provider=SQLite;Data Source=" << file.string()
        << "\"\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
           "EContractConnection_ConnectionTimeout = \"15\"\n";
    ::setenv("CARVALEN_CONFIG_DIR", dir.c_str(), 1);
  }
  ~SqliteFixture() { fs::remove_all(dir); }
};

SqliteFixture& Sqlite() {
  static SqliteFixture fixture;
  return fixture;
}

// The raw baseline: the same statement through sqlite3 on a kept connection.
void BM_Raw_SQLite_LineNumber(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(Sqlite().file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int i = 0;
  for (auto _ : state) {
    std::string sql =
        "SELECT CONTRACTHEADERID,CONTRACTLINEID FROM CONTRACTLINE WHERE QUOTATIONID = " +
        std::to_string(1 + i++ % kLines);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_int(stmt, 0) + sqlite3_column_int(stmt, 1));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
}
BENCHMARK(BM_Raw_SQLite_LineNumber);

void BM_Carvalen_SQLite_LineNumber(benchmark::State& state) {
  Sqlite();
  carvalen::ContractLine line;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line.GetContractLineNumber(1 + i++ % kLines));
  }
}
BENCHMARK(BM_Carvalen_SQLite_LineNumber);

// Raw: the two statements GetPrice runs for a line that uses price breaks.
void BM_Raw_SQLite_Price(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(Sqlite().file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int i = 0;
  for (auto _ : state) {
    const std::string id = std::to_string(1 + i++ % kLines);
    for (const std::string& sql :
         {"SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE WHERE "
          "CONTRACTHEADERID = " +
              id + " AND CONTRACTLINEID = 1",
          "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = " + id +
              " AND CONTRACTLINEID = 1 AND QUANTITY <= 60 ORDER BY QUANTITY DESC"}) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
      if (sqlite3_step(stmt) == SQLITE_ROW)
        benchmark::DoNotOptimize(sqlite3_column_double(stmt, 0));
      sqlite3_finalize(stmt);
    }
  }
  sqlite3_close(db);
}
BENCHMARK(BM_Raw_SQLite_Price);

void BM_Carvalen_SQLite_Price(benchmark::State& state) {
  Sqlite();
  carvalen::ContractLine line;
  int i = 0;
  for (auto _ : state) {
    carvalen::Variant currency;
    benchmark::DoNotOptimize(line.GetPrice(1 + i++ % kLines, 1, 60.0, currency));
  }
}
BENCHMARK(BM_Carvalen_SQLite_Price);

// Prints the usual table, then each operation's time as a multiple of its raw counterpart
// (BM_Carvalen_X against BM_Raw_X), so one run shows the ratio.
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
      const std::string prefix = "BM_Carvalen_";
      if (name.rfind(prefix, 0) != 0) continue;
      const std::string raw = "BM_Raw_" + name.substr(prefix.size());
      auto it = times_.find(raw);
      if (it == times_.end() || it->second <= 0) continue;
      GetOutputStream() << name.substr(prefix.size()) << ": " << time / it->second
                        << " x raw\n";
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
