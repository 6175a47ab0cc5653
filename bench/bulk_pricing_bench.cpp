// Bulk pricing at scale: Contract.GetActiveContractLinesProc for 100 to 100,000 requests against a
// database of a million contract lines, beside a floor that does the same work by hand in the
// fewest statements: one prepared join of the whole request (SQLite json_each, PostgreSQL unnest
// of arrays) and the break look-ups as prepared statements. The ratio is the cost of the
// operation's form (a text statement per batch of OR groups, a text statement per break look-up,
// the frame and the result); the time per request shows whether the call grows linearly.
//
//   carvalen_bulk_bench [--sizes=100,1000,10000,100000] [--batches=25,50,100,200,400,800]
//                       [--calls=10000,100000,1000000] [--lines=1000000] [--dir=DIR]
//     --batches adds the line statements alone over 10,000 requests, in batches of each size.
//     --calls: requests of each size through the faces' call path (CallWithJson on the typed
//     JSON text), with the call's peak memory beside the bytes of its request and its answer;
//     --calls= runs none.
//     SQLite: DIR/contracts.db (default /tmp/carvalen-bulk-bench-<lines>), made by the demo
//     generator when absent (about 15 s for a million lines) and kept for later runs.
//   CARVALEN_BENCH_PG='host=/tmp/pg port=54329 dbname=x user=y' carvalen_bulk_bench
//     also PostgreSQL (libpq keywords): the same rows copied into schema
//     carvalen_bulk_bench_<lines>, kept for later runs (DROP SCHEMA ... CASCADE to remove it).
//
// Requests name active products, one partner each (the demo holds one active line per partner
// and product, as a contract database does), at quantities spread over the demo's break ladders;
// a call larger than the active products there are is padded with products no line names, as a
// real request names products without contracts.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/call.hpp"
#include "bench_data.hpp"
#include "carvalen/contract.hpp"
#include "carvalen/dictionary.hpp"
#include "db/client.hpp"
#include "peak_memory.hpp"

namespace {

namespace fs = std::filesystem;

struct Ask {
  std::int32_t product, partner;
  double quantity;
};

// What the floor keeps of a line: the same figures the operation returns.
struct Priced {
  std::int32_t header, line;
  double price, percentage, amount;
  bool price_found, discount_found;
};

struct Options {
  std::vector<std::int64_t> sizes{100, 1000, 10000, 100000};
  std::vector<std::int64_t> batches;  // line statements alone, over 10,000 requests
  std::vector<std::int64_t> calls{10'000, 100'000, 1'000'000};  // through CallWithJson
  std::int64_t lines = 1'000'000;
  fs::path dir;
};

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

Statement Compile(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), db, "prepare");
  return Statement(stmt, &sqlite3_finalize);
}

// Active products, one partner each, in an order unrelated to the ids.
std::vector<Ask> PickRequests(sqlite3* db, std::int64_t count) {
  Statement stmt = Compile(
      db,
      "SELECT L.PRODUCTID, MIN(H.BUSINESSPARTNERID) FROM CONTRACTLINE L JOIN CONTRACTHEADER H ON "
      "H.CONTRACTHEADERID = L.CONTRACTHEADERID WHERE L.CONTRACTSTATUS = 6 GROUP BY L.PRODUCTID "
      "ORDER BY (L.PRODUCTID * 7919) % 100003 LIMIT " +
          std::to_string(count));
  static constexpr double kQuantities[] = {1, 5, 10, 30, 50, 100, 250, 500, 1000, 5000};
  std::vector<Ask> asks;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    asks.push_back({sqlite3_column_int(stmt.get(), 0), sqlite3_column_int(stmt.get(), 1),
                    kQuantities[asks.size() * 7 % std::size(kQuantities)]});
  }
  return asks;
}

// A database holding the rows, a configuration store naming it, and the floor on a session of
// its own.
class Backend {
 public:
  explicit Backend(fs::path store_dir) : store_dir_(std::move(store_dir)) {}
  virtual ~Backend() = default;
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  void Select() const { ::setenv("CARVALEN_CONFIG_DIR", store_dir_.c_str(), 1); }
  virtual std::vector<Priced> Floor(const std::vector<Ask>& asks, std::size_t count) = 0;
  /// Runs a text statement on the floor's session and counts its rows.
  virtual std::size_t Rows(const std::string& sql) = 0;

 protected:
  fs::path store_dir_;
};

class SqliteBackend final : public Backend {
 public:
  explicit SqliteBackend(const fs::path& dir) : Backend(dir) {
    Check(sqlite3_open_v2((dir / "contracts.db").c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_,
          "open");
    lines_ = Compile(
        db_,
        "SELECT H.CONTRACTHEADERID, L.CONTRACTLINEID, L.PRICE, L.DISCOUNTAMOUNT, "
        "L.DISCOUNTPERCENTAGE, L.INCLUDEPRICEBREAKUP, L.INCLUDEDISCOUNTBREAKUP, L.MINQTYBREAKUP, "
        "R.value ->> 2 FROM json_each(?1) R JOIN CONTRACTLINE L ON L.PRODUCTID = R.value ->> 0 "
        "JOIN CONTRACTHEADER H ON H.CONTRACTHEADERID = L.CONTRACTHEADERID AND "
        "H.BUSINESSPARTNERID = R.value ->> 1 WHERE L.CONTRACTSTATUS = 6");
    for (int below = 0; below < 2; ++below) {
      const std::string rule = below ? " AND QUANTITY <= ?3 ORDER BY QUANTITY DESC LIMIT 1"
                                     : " AND QUANTITY >= ?3 ORDER BY QUANTITY ASC LIMIT 1";
      prices_[below] = Compile(
          db_,
          "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = ?1 AND CONTRACTLINEID = "
          "?2" +
              rule);
      discounts_[below] =
          Compile(db_,
                  "SELECT DISCOUNTPERCENTAGE, DISCOUNTAMOUNT FROM CONTRACTDISCOUNT WHERE "
                  "CONTRACTHEADERID = ?1 AND CONTRACTLINEID = ?2" +
                      rule);
    }
  }
  ~SqliteBackend() override {
    lines_.reset();
    for (Statement& s : prices_) s.reset();
    for (Statement& s : discounts_) s.reset();
    sqlite3_close(db_);
  }

  std::size_t Rows(const std::string& sql) override {
    Statement stmt = Compile(db_, sql);
    std::size_t rows = 0;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) ++rows;
    return rows;
  }

  std::vector<Priced> Floor(const std::vector<Ask>& asks, std::size_t count) override {
    std::string json = "[";
    for (std::size_t i = 0; i < count; ++i) {
      json += (i ? ",[" : "[") + std::to_string(asks[i].product) + "," +
              std::to_string(asks[i].partner) + "," + std::to_string(asks[i].quantity) + "]";
    }
    json += "]";
    std::vector<Priced> result;
    sqlite3_stmt* lines = lines_.get();
    sqlite3_bind_text(lines, 1, json.data(), static_cast<int>(json.size()), SQLITE_STATIC);
    while (sqlite3_step(lines) == SQLITE_ROW) {
      Priced p{sqlite3_column_int(lines, 0), sqlite3_column_int(lines, 1), 0, 0, 0, true, true};
      const bool below = sqlite3_column_int(lines, 7) != 0;
      const double quantity = sqlite3_column_double(lines, 8);
      if (sqlite3_column_type(lines, 5) != SQLITE_NULL && sqlite3_column_int(lines, 5) == 0) {
        p.price = sqlite3_column_double(lines, 2);
      } else {
        sqlite3_stmt* s = prices_[below].get();
        Bind(s, p, quantity);
        p.price_found = sqlite3_step(s) == SQLITE_ROW;
        if (p.price_found) p.price = sqlite3_column_double(s, 0);
        sqlite3_reset(s);
      }
      if (sqlite3_column_type(lines, 6) != SQLITE_NULL && sqlite3_column_int(lines, 6) == 0) {
        p.percentage = sqlite3_column_double(lines, 4);
        p.amount = sqlite3_column_double(lines, 3);
      } else {
        sqlite3_stmt* s = discounts_[below].get();
        Bind(s, p, quantity);
        p.discount_found = sqlite3_step(s) == SQLITE_ROW;
        if (p.discount_found) {
          p.percentage = sqlite3_column_double(s, 0);
          p.amount = sqlite3_column_double(s, 1);
        }
        sqlite3_reset(s);
      }
      result.push_back(p);
    }
    sqlite3_reset(lines);
    return result;
  }

 private:
  static void Bind(sqlite3_stmt* s, const Priced& p, double quantity) {
    sqlite3_bind_int(s, 1, p.header);
    sqlite3_bind_int(s, 2, p.line);
    sqlite3_bind_double(s, 3, quantity);
  }

  sqlite3* db_ = nullptr;
  Statement lines_{nullptr, &sqlite3_finalize};
  Statement prices_[2] = {{nullptr, &sqlite3_finalize}, {nullptr, &sqlite3_finalize}};
  Statement discounts_[2] = {{nullptr, &sqlite3_finalize}, {nullptr, &sqlite3_finalize}};
};

using PgResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;

class PostgresBackend final : public Backend {
 public:
  PostgresBackend(const std::string& conninfo, const fs::path& sqlite_file, std::int64_t lines,
                  const fs::path& store_dir)
      : Backend(store_dir),
        conn_(PQconnectdb(conninfo.c_str()), &PQfinish),
        schema_("carvalen_bulk_bench_" + std::to_string(lines)) {
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
      throw std::runtime_error(std::string("cannot reach PostgreSQL: ") +
                               PQerrorMessage(conn_.get()));
    }
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    if (carvalen::bench::PgLineCount(conn_.get(), schema_) != lines) {
      carvalen::bench::CopyToPostgres(conn_.get(), schema_, sqlite_file);
    }
    // As the library's sessions: no JIT compilation for these short queries, custom plans.
    Run("SET search_path = " + schema_ +
        "; SET jit = off; SET plan_cache_mode = force_custom_plan");
    fs::create_directories(store_dir_);
    std::ofstream(store_dir_ / "Vendra.toml")
        << "[ConnectionStrings]\nEContract = 'Provider=PostgreSQL;Host=" << PQhost(conn_.get())
        << ";Port=" << PQport(conn_.get()) << ";Database=" << PQdb(conn_.get())
        << ";User ID=" << PQuser(conn_.get()) << ";options=-csearch_path=" << schema_
        << "'\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"0\"\n"
           "EContractConnection_ConnectionTimeout = \"15\"\n";
    Prepare("lines",
            "SELECT H.CONTRACTHEADERID, L.CONTRACTLINEID, L.PRICE, L.DISCOUNTAMOUNT, "
            "L.DISCOUNTPERCENTAGE, L.INCLUDEPRICEBREAKUP, L.INCLUDEDISCOUNTBREAKUP, "
            "L.MINQTYBREAKUP, R.Q FROM unnest($1::integer[], $2::integer[], $3::float8[]) AS "
            "R(P, B, Q) JOIN CONTRACTLINE L ON L.PRODUCTID = R.P JOIN CONTRACTHEADER H ON "
            "H.CONTRACTHEADERID = L.CONTRACTHEADERID AND H.BUSINESSPARTNERID = R.B WHERE "
            "L.CONTRACTSTATUS = 6");
    for (const char* rule : {"<=", ">="}) {
      const std::string order = rule[0] == '<' ? "DESC" : "ASC";
      const std::string where =
          " WHERE CONTRACTHEADERID = $1 AND CONTRACTLINEID = $2 AND "
          "QUANTITY " +
          std::string(rule) + " $3 ORDER BY QUANTITY " + order + " LIMIT 1";
      Prepare(std::string("price") + rule, "SELECT PRICE FROM CONTRACTPRICE" + where);
      Prepare(std::string("discount") + rule,
              "SELECT DISCOUNTPERCENTAGE, DISCOUNTAMOUNT FROM CONTRACTDISCOUNT" + where);
    }
  }
  ~PostgresBackend() override { carvalen::db::DrainPool(); }

  std::size_t Rows(const std::string& sql) override {
    // The extended protocol, as the library's client uses.
    PgResult r(PQexecParams(conn_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0),
               &PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
      throw std::runtime_error(PQerrorMessage(conn_.get()));
    }
    return static_cast<std::size_t>(PQntuples(r.get()));
  }

  std::vector<Priced> Floor(const std::vector<Ask>& asks, std::size_t count) override {
    std::string products = "{", partners = "{", quantities = "{";
    for (std::size_t i = 0; i < count; ++i) {
      const char* comma = i ? "," : "";
      products += comma + std::to_string(asks[i].product);
      partners += comma + std::to_string(asks[i].partner);
      quantities += comma + std::to_string(asks[i].quantity);
    }
    products += "}", partners += "}", quantities += "}";
    const char* params[] = {products.c_str(), partners.c_str(), quantities.c_str()};
    PgResult rows = Exec("lines", 3, params);
    std::vector<Priced> result;
    const int n = PQntuples(rows.get());
    for (int r = 0; r < n; ++r) {
      auto text = [&](int c) { return PQgetvalue(rows.get(), r, c); };
      auto off = [&](int c) { return !PQgetisnull(rows.get(), r, c) && std::atoi(text(c)) == 0; };
      Priced p{std::atoi(text(0)), std::atoi(text(1)), 0, 0, 0, true, true};
      const bool below = std::atoi(text(7)) != 0;
      const char* ids[] = {text(0), text(1), text(8)};
      if (off(5)) {
        p.price = std::atof(text(2));
      } else {
        PgResult b = Exec(below ? "price<=" : "price>=", 3, ids);
        p.price_found = PQntuples(b.get()) > 0;
        if (p.price_found) p.price = std::atof(PQgetvalue(b.get(), 0, 0));
      }
      if (off(6)) {
        p.percentage = std::atof(text(4));
        p.amount = std::atof(text(3));
      } else {
        PgResult b = Exec(below ? "discount<=" : "discount>=", 3, ids);
        p.discount_found = PQntuples(b.get()) > 0;
        if (p.discount_found) {
          p.percentage = std::atof(PQgetvalue(b.get(), 0, 0));
          p.amount = std::atof(PQgetvalue(b.get(), 0, 1));
        }
      }
      result.push_back(p);
    }
    return result;
  }

 private:
  void Run(const std::string& sql) {
    PgResult r(PQexec(conn_.get(), sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw std::runtime_error(PQerrorMessage(conn_.get()));
    }
  }

  void Prepare(const std::string& name, const std::string& sql) {
    PgResult r(PQprepare(conn_.get(), name.c_str(), sql.c_str(), 0, nullptr), &PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
      throw std::runtime_error(PQerrorMessage(conn_.get()));
    }
  }

  PgResult Exec(const std::string& name, int count, const char* const* params) {
    PgResult r(PQexecPrepared(conn_.get(), name.c_str(), count, params, nullptr, nullptr, 0),
               &PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
      throw std::runtime_error(PQerrorMessage(conn_.get()));
    }
    return r;
  }

  std::unique_ptr<PGconn, void (*)(PGconn*)> conn_;
  std::string schema_;
};

carvalen::DictionaryPtr RequestOf(const std::vector<Ask>& asks, std::size_t count) {
  auto request = carvalen::Dictionary::Create();
  for (std::size_t i = 0; i < count; ++i) {
    request->Add(carvalen::Variant(asks[i].product),
                 carvalen::Variant(carvalen::Array::Of(
                     {carvalen::Variant(asks[i].partner), carvalen::Variant(asks[i].quantity)})));
  }
  return request;
}

// The operation's line statement for requests [begin, end), built here as it must be sent.
std::string LineStatement(const std::vector<Ask>& asks, std::size_t begin, std::size_t end) {
  std::string sql =
      " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID,CONTRACTLINE.PRICE, "
      "CONTRACTLINE.DISCOUNTAMOUNT,CONTRACTLINE.DISCOUNTPERCENTAGE, "
      "CONTRACTLINE.TAXPERCENTAGE,CONTRACTLINE.FREIGHTCHARGE, "
      "CONTRACTLINE.CURRENCYCODE,CONTRACTLINE.INCLUDEPRICEBREAKUP, "
      "CONTRACTLINE.INCLUDEDISCOUNTBREAKUP,CONTRACTLINE.PRODUCTID, CONTRACTLINE.MINQTYBREAKUP "
      "FROM CONTRACTHEADER, CONTRACTLINE WHERE (";
  for (std::size_t i = begin; i < end; ++i) {
    sql += " (CONTRACTHEADER.BUSINESSPARTNERID = " + std::to_string(asks[i].partner) +
           " AND CONTRACTLINE.PRODUCTID = " + std::to_string(asks[i].product) + ")";
    if (i + 1 < end) sql += " OR";
  }
  return sql +
         ") AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
         "CONTRACTLINE.CONTRACTSTATUS = 6";
}

// The line statements alone, in batches of range(0) groups over the same requests: how the batch
// size was chosen. Time per request stays flat while the per-statement cost dominates and grows
// once the re-test of every group against every candidate row (and, on PostgreSQL, the planning
// of the OR) takes over.
void RunLineStatements(benchmark::State& state, Backend* backend, const std::vector<Ask>* asks,
                       std::size_t count) {
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::vector<std::string> statements;
  for (std::size_t begin = 0; begin < count; begin += batch) {
    statements.push_back(LineStatement(*asks, begin, std::min(count, begin + batch)));
  }
  std::size_t rows = 0;
  for (auto _ : state) {
    rows = 0;
    for (const std::string& sql : statements) rows += backend->Rows(sql);
  }
  state.counters["lines"] = static_cast<double>(rows);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// One request size: the same requests for the floor and the operation.
void RunFloor(benchmark::State& state, Backend* backend, const std::vector<Ask>* asks) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::size_t found = 0;
  for (auto _ : state) found = backend->Floor(*asks, count).size();
  state.counters["lines"] = static_cast<double>(found);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void RunOperation(benchmark::State& state, Backend* backend, const std::vector<Ask>* asks) {
  backend->Select();
  const carvalen::DictionaryPtr request =
      RequestOf(*asks, static_cast<std::size_t>(state.range(0)));
  carvalen::Contract contract;
  std::int32_t found = 0;
  for (auto _ : state) found = contract.GetActiveContractLinesProc(request)->Count();
  state.counters["lines"] = found;
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Products no contract line names: the padding of calls beyond the pairs the demo holds.
constexpr std::int32_t kUnknownProducts = 10'000'000;

// {"i_oDicBPProductQuan": {"$dict": [[product, {"$array": [partner, quantity]}], ...]}} of
// `count` requests: the picked pairs first, then products that match nothing.
std::string CallArguments(const std::vector<Ask>& asks, std::size_t count) {
  std::string text = R"({"i_oDicBPProductQuan": {"$dict": [)";
  text.reserve(count * 36 + 64);
  char entry[96];
  for (std::size_t i = 0; i < count; ++i) {
    const Ask ask = i < asks.size() ? asks[i]
                                    : Ask{kUnknownProducts + static_cast<std::int32_t>(i), 1,
                                          asks.empty() ? 10.0 : asks[i % asks.size()].quantity};
    // %.17g writes whole quantities as integers, which the codec reads as Longs.
    std::snprintf(entry, sizeof entry, R"(%s[%d, {"$array": [%d, %.17g]}])", i ? ", " : "",
                  ask.product, ask.partner, ask.quantity);
    text += entry;
  }
  return text + "]}}";
}

constexpr const char* kCallTarget = "Contract.GetActiveContractLinesProc";

// One call of range(0) requests through the faces' path, text in and text out. Before the timed
// calls, one more runs in a child process of its own for its peak resident memory.
void RunCall(benchmark::State& state, Backend* backend, const std::vector<Ask>* asks) {
  backend->Select();
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::string arguments = CallArguments(*asks, count);
  std::uint64_t peak = 0;
  try {
    struct Answer {
      int status;
      std::uint64_t bytes;
    };
    const auto measured = carvalen::bench::MeasurePeak([&] {
      const carvalen::api::CallOutcome outcome =
          carvalen::api::CallWithJson(kCallTarget, arguments);
      return Answer{outcome.status, outcome.text.size()};
    });
    if (measured.result.status != carvalen::api::kCallOk) {
      state.SkipWithError("the call failed in the measuring child");
      return;
    }
    peak = measured.Growth();
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  carvalen::api::CallOutcome outcome;
  std::size_t answer = 0;
  for (auto _ : state) {
    outcome = carvalen::api::CallWithJson(kCallTarget, arguments);
    // The answer's memory is the caller's to free, outside the call's time.
    state.PauseTiming();
    if (outcome.status != carvalen::api::kCallOk) {
      state.SkipWithError(outcome.text.substr(0, 300).c_str());
      break;
    }
    answer = outcome.text.size();
    std::string().swap(outcome.text);
    state.ResumeTiming();
  }
  if (outcome.status != carvalen::api::kCallOk) return;
  const auto request = static_cast<double>(arguments.size());
  state.counters["request_bytes"] = request;
  state.counters["answer_bytes"] = static_cast<double>(answer);
  state.counters["peak_bytes"] = static_cast<double>(peak);
  state.counters["peak_ratio"] =
      static_cast<double>(peak) / (request + static_cast<double>(answer));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The usual table, then for each database and size the operation's time as a multiple of the
// floor's and the time per request of both, so that one run shows ratio and growth side by side.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        // With --benchmark_repetitions the fastest run counts: the machine's noise only adds.
        auto [it, added] = times_.emplace(run.benchmark_name(), run.GetAdjustedRealTime());
        if (!added) it->second = std::min(it->second, run.GetAdjustedRealTime());
        if (run.counters.count("peak_ratio") != 0) {
          Counts& counts = calls_[run.benchmark_name()];
          counts.time = it->second;
          counts.request = run.counters.at("request_bytes");
          counts.answer = run.counters.at("answer_bytes");
          // Of the repetitions' peaks the largest counts: the goal is a bound.
          counts.peak = std::max(counts.peak, run.counters.at("peak_bytes").value);
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    // "LineStatements/<database>/<batch>/iterations:...", by database and batch size.
    std::map<std::pair<std::string, long>, double> batches;
    for (const auto& [name, time] : times_) {
      const std::string prefix = "LineStatements/";
      if (name.rfind(prefix, 0) != 0) continue;
      const std::string rest = name.substr(prefix.size());
      const std::size_t slash = rest.find('/');
      batches[{rest.substr(0, slash), std::stol(rest.substr(slash + 1))}] = time;
    }
    if (!batches.empty())
      GetOutputStream() << "\nline statements alone, microseconds per request\n";
    for (const auto& [key, time] : batches) {
      char line[160];
      std::snprintf(line, sizeof line, "%-11s batch %5ld  %8.1f us\n", key.first.c_str(),
                    key.second, time * 1000 / 10'000);
      GetOutputStream() << line;
    }
    GetOutputStream() << "\nsize: operation / floor, microseconds per request (operation, floor)\n";
    for (const auto& [name, time] : times_) {
      // "Carvalen/<database>/<size>/iterations:..."
      const std::string prefix = "Carvalen/";
      if (name.rfind(prefix, 0) != 0) continue;
      const std::string rest = name.substr(prefix.size());
      auto floor = times_.find("Floor/" + rest);
      if (floor == times_.end() || floor->second <= 0) continue;
      const std::size_t slash = rest.find('/');
      const std::string size = rest.substr(slash + 1, rest.find('/', slash + 1) - slash - 1);
      const double requests = std::stod(size);
      char line[160];
      // Adjusted times are in the benchmarks' unit, milliseconds.
      std::snprintf(line, sizeof line, "%-11s %7s  %5.2f x floor  %8.1f us  %8.1f us\n",
                    rest.substr(0, slash).c_str(), size.c_str(), time / floor->second,
                    time * 1000 / requests, floor->second * 1000 / requests);
      GetOutputStream() << line;
    }
    PrintCalls();
  }

 private:
  struct Counts {
    double time = 0, request = 0, answer = 0, peak = 0;
  };

  // "Call/<database>/<size>/iterations:...": time, bytes in and out, and the call's peak memory
  // against the bytes of its request and answer (the goal: at most 4x).
  void PrintCalls() {
    if (calls_.empty()) return;
    std::vector<std::pair<std::pair<std::string, long>, Counts>> rows;
    for (const auto& [name, counts] : calls_) {
      const std::string rest = name.substr(name.find('/') + 1);
      const std::size_t slash = rest.find('/');
      rows.push_back({{rest.substr(0, slash), std::stol(rest.substr(slash + 1))}, counts});
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    GetOutputStream() << "\ncalls through CallWithJson: peak is the resident growth of one call "
                         "in a child process; ratio is peak / (request + answer), goal at most "
                         "4x\n";
    char line[200];
    std::snprintf(line, sizeof line, "%-11s %8s %10s %9s %12s %11s %10s %7s\n", "database",
                  "requests", "ms", "us/req", "request MB", "answer MB", "peak MB", "ratio");
    GetOutputStream() << line;
    for (const auto& [key, c] : rows) {
      std::snprintf(line, sizeof line, "%-11s %8ld %10.1f %9.2f %12.2f %11.2f %10.2f %6.2fx\n",
                    key.first.c_str(), key.second, c.time, c.time * 1000 / key.second,
                    c.request / 1e6, c.answer / 1e6, c.peak / 1e6, c.peak / (c.request + c.answer));
      GetOutputStream() << line;
    }
  }

  std::map<std::string, double> times_;
  std::map<std::string, Counts> calls_;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* flag) -> const char* {
      const std::string prefix = std::string(flag) + "=";
      return arg.rfind(prefix, 0) == 0 ? argv[i] + prefix.size() : nullptr;
    };
    auto numbers = [](std::string list) {
      std::vector<std::int64_t> out;
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        out.push_back(std::stoll(list.substr(0, comma)));
        list = comma == std::string::npos ? "" : list.substr(comma + 1);
      }
      return out;
    };
    if (const char* v = value("--sizes")) {
      options.sizes = numbers(v);
    } else if (const char* v = value("--batches")) {
      options.batches = numbers(v);
    } else if (const char* v = value("--calls")) {
      options.calls = numbers(v);
    } else if (const char* v = value("--lines")) {
      options.lines = std::stoll(v);
    } else if (const char* v = value("--dir")) {
      options.dir = v;
    } else {
      throw std::invalid_argument(
          "unknown argument " + arg +
          " (--sizes=100,1000 --batches=50,100 --calls=10000,1000000 --lines=N --dir=DIR, or a "
          "--benchmark_ flag)");
    }
  }
  if (options.dir.empty()) {
    options.dir =
        fs::temp_directory_path() / ("carvalen-bulk-bench-" + std::to_string(options.lines));
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_bulk_bench: %s\n", e.what());
    return 2;
  }

  carvalen::bench::EnsureDemo(options.dir, options.lines);

  constexpr std::int64_t kBatchRequests = 10'000;
  std::int64_t largest = *std::max_element(options.sizes.begin(), options.sizes.end());
  if (!options.batches.empty()) largest = std::max(largest, kBatchRequests);
  // Calls take as many of the pairs as there are and pad the rest.
  std::int64_t wanted = largest;
  for (std::int64_t size : options.calls) wanted = std::max(wanted, size);
  std::vector<Ask> asks;
  {
    sqlite3* db = nullptr;
    Check(
        sqlite3_open_v2((options.dir / "contracts.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
        db, "open");
    asks = PickRequests(db, wanted);
    sqlite3_close(db);
  }
  if (static_cast<std::int64_t>(asks.size()) < largest) {
    std::fprintf(stderr, "only %zu distinct requests in a demo of %lld lines\n", asks.size(),
                 static_cast<long long>(options.lines));
    return 1;
  }

  struct Named {
    std::string name;
    std::unique_ptr<Backend> backend;
  };
  std::vector<Named> backends;
  backends.push_back(Named{"SQLite", std::make_unique<SqliteBackend>(options.dir)});
  const fs::path pg_store =
      fs::temp_directory_path() / ("carvalen-bulk-bench-pg-" + std::to_string(::getpid()));
  if (const char* pg = std::getenv("CARVALEN_BENCH_PG"); pg != nullptr && *pg != '\0') {
    backends.push_back(
        Named{"PostgreSQL", std::make_unique<PostgresBackend>(pg, options.dir / "contracts.db",
                                                              options.lines, pg_store)});
  }
  for (const Named& named : backends) {
    named.backend->Floor(asks, asks.size());  // reads the pages both will touch, untimed
    for (std::int64_t batch : options.batches) {
      benchmark::RegisterBenchmark(("LineStatements/" + named.name).c_str(), RunLineStatements,
                                   named.backend.get(), &asks, std::size_t{kBatchRequests})
          ->Arg(batch)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
    for (std::int64_t size : options.sizes) {
      // Enough iterations to time the small sizes, one for the large: a run stays in minutes.
      const auto iterations = std::max<std::int64_t>(1, 10'000 / size);
      for (const char* kind : {"Floor", "Carvalen"}) {
        const std::string name = std::string(kind) + "/" + named.name;
        benchmark::RegisterBenchmark(name.c_str(), kind[0] == 'F' ? RunFloor : RunOperation,
                                     named.backend.get(), &asks)
            ->Arg(size)
            ->Iterations(iterations)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
    }
    for (std::int64_t size : options.calls) {
      benchmark::RegisterBenchmark(("Call/" + named.name).c_str(), RunCall, named.backend.get(),
                                   &asks)
          ->Arg(size)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  backends.clear();
  std::error_code ignored;
  fs::remove_all(pg_store, ignored);
  return 0;
}
