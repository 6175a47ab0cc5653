// Where each operation stands against the database itself. Three rows per operation and database:
//
//   Floor/<db>/<op>     the statements the operation sends, prepared once with their values bound,
//                       on a read-only connection kept open: the least any caller can pay.
//   Carvalen/<db>/<op>  the operation through the C++ API (ContractLine, Contract).
//   Naive/<db>/<op>     a new connection per call and the statements as literal text: what a
//                       caller pays without pooling or prepared statements.
//
// The ratio table at the end divides Carvalen and Naive by Floor; GetPrice and
// GetContractLineDetail also run on 1, 2 and 4 threads, each against the floor at the same count.
//
//   carvalen_bench [--lines=1000] [--dir=DIR]      SQLite; DIR/contracts.db (default
//                                                  /tmp/carvalen-ops-bench-<lines>) is made by the
//                                                  demo generator when absent and kept
//   CARVALEN_BENCH_LINES=1000000 carvalen_bench     the same as --lines
//   CARVALEN_BENCH_PG='host=/tmp/pg port=54329 dbname=x user=y' carvalen_bench
//                                                  also PostgreSQL (libpq keywords): the rows are
//                                                  copied into schema carvalen_ops_bench_<lines>,
//                                                  kept for later runs
//   CARVALEN_BENCH_PGBOUNCER='Host=/tmp/pgb;Port=54339;Database=carvalen_transaction;Pooler=Transaction'
//                                                  also the library through PgBouncer in front
//                                                  of that server (connection-string keys that
//                                                  replace the direct ones): Carvalen/PgBouncer
//                                                  rows, against the direct Floor
//   --benchmark_format=json                        JSON on stdout, the ratio table on stderr
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench_data.hpp"
#include "carvalen/contract.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/settings.hpp"
#include "db/client.hpp"
#include "loopback_service.hpp"
#include "service/server.hpp"

namespace {

namespace fs = std::filesystem;
using carvalen::bench::PgResult;
using carvalen::bench::SqliteStatement;

// ---------------------------------------------------------------------------------------------
// Statements, written once with $1, $2, ... where the operation writes a value.

struct Statement {
  std::string sql;
};

const Statement kPriceLine{
    "SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE WHERE "
    "CONTRACTHEADERID = $1 AND CONTRACTLINEID = $2"};
const Statement kPriceBelow{
    "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = $1 AND CONTRACTLINEID = $2 AND "
    "QUANTITY <= $3 ORDER BY QUANTITY DESC"};
const Statement kPriceAbove{
    "SELECT PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = $1 AND CONTRACTLINEID = $2 AND "
    "QUANTITY >= $3 ORDER BY QUANTITY ASC"};
const Statement kDiscountLine{
    "SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,INCLUDEDISCOUNTBREAKUP,MINQTYBREAKUP "
    "FROM CONTRACTLINE WHERE CONTRACTHEADERID = $1 AND CONTRACTLINEID = $2"};
const Statement kDiscountBelow{
    "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT WHERE CONTRACTHEADERID = $1 "
    "AND CONTRACTLINEID = $2 AND QUANTITY <= $3 ORDER BY QUANTITY DESC"};
const Statement kDiscountAbove{
    "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT WHERE CONTRACTHEADERID = $1 "
    "AND CONTRACTLINEID = $2 AND QUANTITY >= $3 ORDER BY QUANTITY ASC"};
const Statement kEffectiveHeader{
    "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE BUSINESSPARTNERID = $1"};
const Statement kEffectiveLine{
    "SELECT CURRENCYCODE,CONTRACTLINEID,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM "
    "CONTRACTLINE WHERE CONTRACTHEADERID = $1 AND PRODUCTID = $2 AND CONTRACTSTATUS = 6 ORDER BY "
    "CONTRACTLINEID DESC"};
const Statement kDetail{
    " SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = $1 AND CONTRACTLINEID = $2"};
const Statement kLineNumber{
    "SELECT CONTRACTHEADERID,CONTRACTLINEID FROM CONTRACTLINE WHERE QUOTATIONID = $1"};
const Statement kHeaderExists{
    "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE CONTRACTHEADERID = $1"};
const Statement kActiveLines{
    "SELECT * FROM CONTRACTLINE WHERE CONTRACTHEADERID = $1 AND CONTRACTSTATUS = 6"};

// The bulk line statement for `groups` partner/product pairs, parameters in pairs.
Statement BulkLineStatement(std::size_t groups) {
  std::string sql =
      " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID,CONTRACTLINE.PRICE, "
      "CONTRACTLINE.DISCOUNTAMOUNT,CONTRACTLINE.DISCOUNTPERCENTAGE, "
      "CONTRACTLINE.TAXPERCENTAGE,CONTRACTLINE.FREIGHTCHARGE, "
      "CONTRACTLINE.CURRENCYCODE,CONTRACTLINE.INCLUDEPRICEBREAKUP, "
      "CONTRACTLINE.INCLUDEDISCOUNTBREAKUP,CONTRACTLINE.PRODUCTID, CONTRACTLINE.MINQTYBREAKUP "
      "FROM CONTRACTHEADER, CONTRACTLINE WHERE (";
  for (std::size_t i = 0; i < groups; ++i) {
    sql += " (CONTRACTHEADER.BUSINESSPARTNERID = $" + std::to_string(2 * i + 1) +
           " AND CONTRACTLINE.PRODUCTID = $" + std::to_string(2 * i + 2) + ")";
    if (i + 1 < groups) sql += " OR";
  }
  return {sql +
          ") AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
          "CONTRACTLINE.CONTRACTSTATUS = 6"};
}

// A value as the operation writes it: integers as digits, doubles as the shortest round trip.
struct Param {
  bool real = false;
  std::int64_t integer = 0;
  double number = 0.0;

  Param(std::int32_t i) : integer(i) {}  // NOLINT: brace lists of ids read best unwrapped
  Param(double d) : real(true), number(d) {}
  std::string Text() const {
    if (!real) return std::to_string(integer);
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
    return std::string(buffer, end);
  }
};
using Params = std::vector<Param>;

// `sql` with each $n replaced by `replace(n)`.
template <typename Replace>
std::string Substitute(const std::string& sql, Replace replace) {
  std::string out;
  out.reserve(sql.size() + 64);
  for (std::size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] != '$') {
      out += sql[i];
      continue;
    }
    std::size_t end = i + 1;
    while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') ++end;
    out += replace(std::stoi(sql.substr(i + 1, end - i - 1)));
    i = end - 1;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// One session on one database: the floor's (kept, prepared) or the naive one (literal text).

// The rows of the statement run last. Run() invalidates the previous cursor, as the driver would.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual bool Step() = 0;
  virtual bool IsNull(int column) = 0;
  virtual double Real(int column) = 0;
  virtual std::int32_t Int(int column) = 0;
  virtual int Columns() = 0;
  virtual int Index(std::string_view name) = 0;
  /// Reads every column of the row as the operations' copies do; returns a checksum.
  virtual std::size_t TouchAll() = 0;
};

class Session {
 public:
  virtual ~Session() = default;
  /// `one_row`: the caller reads at most the first row.
  virtual Cursor& Run(const Statement& statement, const Params& params, bool one_row) = 0;
  /// Ends the call as every caller must: a SQLite statement left unfinished would hold the
  /// file's read lock until the next call, keeping writers out.
  virtual void Finish() {}
};

class SqliteSession final : public Session, Cursor {
 public:
  /// `strict`: reading a NULL as a number fails, as the operations' conversions do.
  SqliteSession(const fs::path& file, bool literal, bool strict = false)
      : db_(carvalen::bench::OpenReadOnly(file)), literal_(literal), strict_(strict) {}
  ~SqliteSession() override { Release(); }
  void Finish() override { Release(); }

  Cursor& Run(const Statement& statement, const Params& params, bool) override {
    Release();
    if (literal_) {
      const std::string sql =
          Substitute(statement.sql, [&](int n) { return params[n - 1].Text(); });
      sqlite3_stmt* raw = nullptr;
      carvalen::bench::CheckSqlite(
          sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size() + 1), &raw,
                             nullptr),
          db_.get(), "prepare");
      owned_.reset(raw);
      current_ = raw;
      return *this;
    }
    auto found = prepared_.find(&statement);
    if (found == prepared_.end()) {
      const std::string sql =
          Substitute(statement.sql, [](int n) { return "?" + std::to_string(n); });
      found = prepared_.emplace(&statement, carvalen::bench::CompileSqlite(db_.get(), sql)).first;
    }
    current_ = found->second.get();
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int index = static_cast<int>(i + 1);
      if (params[i].real) {
        sqlite3_bind_double(current_, index, params[i].number);
      } else {
        sqlite3_bind_int64(current_, index, params[i].integer);
      }
    }
    return *this;
  }

  bool Step() override {
    const int rc = sqlite3_step(current_);
    if (rc == SQLITE_ROW) return true;
    carvalen::bench::CheckSqlite(rc, db_.get(), "step");
    return false;
  }
  bool IsNull(int c) override { return sqlite3_column_type(current_, c) == SQLITE_NULL; }
  double Real(int c) override {
    NotNull(c);
    return sqlite3_column_double(current_, c);
  }
  std::int32_t Int(int c) override {
    NotNull(c);
    return sqlite3_column_int(current_, c);
  }
  int Columns() override { return sqlite3_column_count(current_); }
  int Index(std::string_view name) override {
    for (int c = 0; c < Columns(); ++c) {
      if (sqlite3_stricmp(sqlite3_column_name(current_, c), std::string(name).c_str()) == 0) {
        return c;
      }
    }
    throw std::runtime_error("no column " + std::string(name));
  }
  std::size_t TouchAll() override {
    std::size_t sum = 0;
    for (int c = 0; c < Columns(); ++c) {
      switch (sqlite3_column_type(current_, c)) {
        case SQLITE_INTEGER:
          sum += static_cast<std::size_t>(sqlite3_column_int64(current_, c));
          break;
        case SQLITE_FLOAT:
          sum += static_cast<std::size_t>(sqlite3_column_double(current_, c));
          break;
        case SQLITE_NULL:
          break;
        default:
          sum += static_cast<std::size_t>(sqlite3_column_bytes(current_, c));
          sum += static_cast<unsigned char>(*sqlite3_column_text(current_, c));
      }
    }
    return sum;
  }

 private:
  void NotNull(int c) {
    if (strict_ && IsNull(c)) throw std::runtime_error("NULL");
  }
  void Release() {
    if (current_ != nullptr && !literal_) {
      sqlite3_reset(current_);
      sqlite3_clear_bindings(current_);
    }
    owned_.reset();
    current_ = nullptr;
  }

  carvalen::bench::SqliteDb db_;
  bool literal_;
  bool strict_;
  std::map<const Statement*, SqliteStatement> prepared_;
  SqliteStatement owned_{nullptr, &sqlite3_finalize};
  sqlite3_stmt* current_ = nullptr;
};

class PostgresSession final : public Session, Cursor {
 public:
  PostgresSession(const std::string& conninfo, bool literal)
      : conn_(PQconnectdb(conninfo.c_str()), &PQfinish), literal_(literal) {
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
      throw std::runtime_error(std::string("cannot reach PostgreSQL: ") +
                               PQerrorMessage(conn_.get()));
    }
  }
  ~PostgresSession() override { Drain(); }

  Cursor& Run(const Statement& statement, const Params& params, bool one_row) override {
    Drain();
    row_ = -1;
    if (literal_) {
      // The simple protocol: one round trip, the whole result.
      const std::string sql =
          Substitute(statement.sql, [&](int n) { return params[n - 1].Text(); });
      Keep(PQexec(conn_.get(), sql.c_str()), PGRES_TUPLES_OK);
      streaming_ = false;
      return *this;
    }
    auto found = prepared_.find(&statement);
    if (found == prepared_.end()) {
      const std::string name = "s" + std::to_string(prepared_.size());
      PgResult r(PQprepare(conn_.get(), name.c_str(), statement.sql.c_str(), 0, nullptr), &PQclear);
      if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error(PQerrorMessage(conn_.get()));
      }
      found = prepared_.emplace(&statement, name).first;
    }
    texts_.clear();
    for (const Param& p : params) texts_.push_back(p.Text());
    values_.clear();
    for (const std::string& t : texts_) values_.push_back(t.c_str());
    const int count = static_cast<int>(values_.size());
    if (!one_row) {
      Keep(PQexecPrepared(conn_.get(), found->second.c_str(), count, values_.data(), nullptr,
                          nullptr, 0),
           PGRES_TUPLES_OK);
      streaming_ = false;
      return *this;
    }
    // Rows one at a time, so that the first is read as soon as it arrives.
    if (PQsendQueryPrepared(conn_.get(), found->second.c_str(), count, values_.data(), nullptr,
                            nullptr, 0) == 0 ||
        PQsetSingleRowMode(conn_.get()) == 0) {
      throw std::runtime_error(PQerrorMessage(conn_.get()));
    }
    streaming_ = true;
    return *this;
  }

  bool Step() override {
    if (!streaming_) return result_ && ++row_ < PQntuples(result_.get());
    result_.reset(PQgetResult(conn_.get()));
    row_ = 0;
    if (PQresultStatus(result_.get()) == PGRES_SINGLE_TUPLE) return true;
    if (PQresultStatus(result_.get()) != PGRES_TUPLES_OK) {
      throw std::runtime_error(PQerrorMessage(conn_.get()));
    }
    Drain();
    return false;
  }
  bool IsNull(int c) override { return PQgetisnull(result_.get(), row_, c) != 0; }
  double Real(int c) override { return std::atof(PQgetvalue(result_.get(), row_, c)); }
  std::int32_t Int(int c) override { return std::atoi(PQgetvalue(result_.get(), row_, c)); }
  int Columns() override { return PQnfields(result_.get()); }
  int Index(std::string_view name) override {
    std::string lower(name);
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const int c = PQfnumber(result_.get(), lower.c_str());
    if (c < 0) throw std::runtime_error("no column " + lower);
    return c;
  }
  std::size_t TouchAll() override {
    std::size_t sum = 0;
    for (int c = 0; c < Columns(); ++c) {
      if (PQgetisnull(result_.get(), row_, c)) continue;
      sum += static_cast<std::size_t>(PQgetlength(result_.get(), row_, c));
      sum += static_cast<unsigned char>(*PQgetvalue(result_.get(), row_, c));
    }
    return sum;
  }

 private:
  void Keep(PGresult* result, ExecStatusType wanted) {
    result_.reset(result);
    if (PQresultStatus(result) != wanted) throw std::runtime_error(PQerrorMessage(conn_.get()));
  }
  // Reads what is left of a streamed statement: the connection takes one statement at a time.
  void Drain() {
    if (streaming_) {
      while (PGresult* rest = PQgetResult(conn_.get())) PQclear(rest);
      streaming_ = false;
    }
  }

  std::unique_ptr<PGconn, void (*)(PGconn*)> conn_;
  bool literal_;
  bool streaming_ = false;
  PgResult result_{nullptr, &PQclear};
  int row_ = -1;
  std::map<const Statement*, std::string> prepared_;
  std::vector<std::string> texts_;
  std::vector<const char*> values_;
};

// ---------------------------------------------------------------------------------------------
// The operations' work by hand: the same statements, in the same order, reading the same columns.

bool BreaksOff(Cursor& c, int column) { return !c.IsNull(column) && c.Real(column) == 0.0; }

double HandPrice(Session& s, std::int32_t header, std::int32_t line, double quantity) {
  Cursor& c = s.Run(kPriceLine, {header, line}, true);
  if (!c.Step()) throw std::runtime_error("no line");
  if (BreaksOff(c, 2)) return c.Real(1);
  const bool below = c.Int(3) != 0;
  Cursor& b = s.Run(below ? kPriceBelow : kPriceAbove, {header, line, quantity}, true);
  return b.Step() ? b.Real(0) : 0.0;
}

double HandDiscount(Session& s, std::int32_t header, std::int32_t line, double quantity) {
  Cursor& c = s.Run(kDiscountLine, {header, line}, true);
  if (!c.Step()) throw std::runtime_error("no line");
  double percentage = 0, amount = 0;
  if (BreaksOff(c, 3)) {
    percentage = c.Real(1);
    amount = c.Real(2);
  } else {
    const bool below = c.Int(4) != 0;
    Cursor& b = s.Run(below ? kDiscountBelow : kDiscountAbove, {header, line, quantity}, true);
    if (b.Step()) {
      percentage = b.Real(0);
      amount = b.Real(1);
    }
  }
  return percentage != 0 ? percentage : amount;
}

// By supplier and product: the partner's first header, its newest active line of the product,
// then price and discount. -1 when no line qualifies.
double HandEffectivePrice(Session& s, std::int32_t partner, std::int32_t product, double quantity) {
  Cursor& h = s.Run(kEffectiveHeader, {partner}, true);
  if (!h.Step()) return -1;
  const std::int32_t header = h.Int(0);
  Cursor& l = s.Run(kEffectiveLine, {header, product}, true);
  if (!l.Step()) return -1;
  // The operation hands the currency back as text, which a NULL fails.
  if (l.IsNull(0)) throw std::runtime_error("NULL currency");
  const std::int32_t line = l.Int(1);
  const double tax = l.Real(2), freight = l.Real(3), handling = l.Real(4);
  const double price = HandPrice(s, header, line, quantity);
  const double discount = HandDiscount(s, header, line, quantity);
  return (price - discount) * (1 + tax / 100) + freight + handling;
}

std::size_t HandDetail(Session& s, std::int32_t header, std::int32_t line) {
  Cursor& c = s.Run(kDetail, {header, line}, true);
  return c.Step() ? c.TouchAll() : 0;
}

std::int32_t HandLineNumber(Session& s, std::int32_t quotation) {
  Cursor& c = s.Run(kLineNumber, {quotation}, true);
  return c.Step() ? c.Int(0) + c.Int(1) : 0;
}

bool HandHeaderExists(Session& s, std::int32_t header) {
  return s.Run(kHeaderExists, {header}, true).Step();
}

// Three named columns of every active line of the header, as the benchmark asks the operation.
double HandActiveLines(Session& s, std::int32_t header) {
  Cursor& c = s.Run(kActiveLines, {header}, false);
  double sum = 0;
  int id = -1, price = -1, product = -1;
  while (c.Step()) {
    if (id < 0)
      id = c.Index("CONTRACTLINEID"), price = c.Index("PRICE"), product = c.Index("PRODUCTID");
    sum += c.Int(id) + c.Real(price) + c.Int(product);
  }
  return sum;
}

struct Ask {
  std::int32_t product, partner;
  double quantity;
};

// The bulk operation's statements for one request: the OR of pairs, then per row the break
// look-ups the row's flags ask for.
double HandBulk(Session& s, const Statement& lines, const Params& pairs,
                const std::map<std::int32_t, double>& quantities) {
  struct Row {
    std::int32_t header, line, product;
    bool price_breaks, discount_breaks, below;
    double price;
  };
  std::vector<Row> rows;
  Cursor& c = s.Run(lines, pairs, false);
  while (c.Step()) {
    rows.push_back({c.Int(0), c.Int(1), c.Int(10), !BreaksOff(c, 8), !BreaksOff(c, 9),
                    c.Int(11) != 0, c.Real(2)});
  }
  double sum = 0;
  for (const Row& r : rows) {
    const double quantity = quantities.at(r.product);
    if (r.price_breaks) {
      Cursor& b = s.Run(r.below ? kPriceBelow : kPriceAbove, {r.header, r.line, quantity}, true);
      sum += b.Step() ? b.Real(0) : 0;
    } else {
      sum += r.price;
    }
    if (r.discount_breaks) {
      Cursor& b =
          s.Run(r.below ? kDiscountBelow : kDiscountAbove, {r.header, r.line, quantity}, true);
      if (b.Step()) sum += b.Real(0) + b.Real(1);
    }
  }
  return sum;
}

// ---------------------------------------------------------------------------------------------
// The data the calls ask for, chosen once from the SQLite database and shared by both backends.

struct LineRef {
  std::int32_t header, line, quotation, product, partner;
};

constexpr double kQuantities[] = {1, 5, 10, 30, 50, 60, 100, 250, 500, 1000, 5000};

struct Workload {
  std::vector<LineRef> lines;      // active lines with a quotation, spread over the table
  std::vector<LineRef> suppliers;  // of those, the ones GetEffectivePrice finds by supplier
  std::vector<Ask> bulk;           // one bulk request
  Statement bulk_statement;
  Params bulk_pairs;
  std::map<std::int32_t, double> bulk_quantities;
  carvalen::DictionaryPtr bulk_request;

  double Quantity(std::size_t i) const { return kQuantities[i % std::size(kQuantities)]; }
  const LineRef& Line(std::size_t i) const { return lines[i % lines.size()]; }
  const LineRef& Supplier(std::size_t i) const { return suppliers[i % suppliers.size()]; }
};

Workload PickWorkload(const fs::path& file, std::size_t bulk_size) {
  Workload w;
  auto db = carvalen::bench::OpenReadOnly(file);
  SqliteStatement lines = carvalen::bench::CompileSqlite(
      db.get(),
      "SELECT L.CONTRACTHEADERID, L.CONTRACTLINEID, L.QUOTATIONID, L.PRODUCTID, "
      "H.BUSINESSPARTNERID FROM CONTRACTLINE L JOIN CONTRACTHEADER H ON H.CONTRACTHEADERID = "
      "L.CONTRACTHEADERID WHERE L.CONTRACTSTATUS = 6 AND L.QUOTATIONID IS NOT NULL ORDER BY "
      "(L.CONTRACTHEADERID * 7919 + L.CONTRACTLINEID * 104729) % 100003 LIMIT 512");
  while (sqlite3_step(lines.get()) == SQLITE_ROW) {
    auto at = [&](int c) { return sqlite3_column_int(lines.get(), c); };
    w.lines.push_back({at(0), at(1), at(2), at(3), at(4)});
  }
  if (w.lines.empty()) throw std::runtime_error("no active line in " + file.string());

  // Only lines every operation prices without a conversion error (a NULL flag or figure fails
  // the call); the supplier form looks only at the partner's first contract, so it keeps the
  // lines it finds that way.
  SqliteSession probe(file, false, true);
  std::vector<LineRef> usable;
  for (const LineRef& l : w.lines) {
    try {
      for (double q : kQuantities) {
        HandPrice(probe, l.header, l.line, q);
        HandDiscount(probe, l.header, l.line, q);
      }
      usable.push_back(l);
      if (HandEffectivePrice(probe, l.partner, l.product, 10) >= 0) w.suppliers.push_back(l);
    } catch (const std::runtime_error&) {
    }
  }
  if (usable.empty()) throw std::runtime_error("no line to price in " + file.string());
  w.lines = std::move(usable);
  if (w.suppliers.empty()) throw std::runtime_error("no line found by supplier");

  // Active products, one partner each (the demo holds one active line per partner and product).
  SqliteStatement asks = carvalen::bench::CompileSqlite(
      db.get(),
      "SELECT L.PRODUCTID, MIN(H.BUSINESSPARTNERID) FROM CONTRACTLINE L JOIN CONTRACTHEADER H ON "
      "H.CONTRACTHEADERID = L.CONTRACTHEADERID WHERE L.CONTRACTSTATUS = 6 GROUP BY L.PRODUCTID "
      "ORDER BY (L.PRODUCTID * 7919) % 100003 LIMIT " +
          std::to_string(bulk_size));
  w.bulk_request = carvalen::Dictionary::Create();
  while (sqlite3_step(asks.get()) == SQLITE_ROW) {
    const Ask a{sqlite3_column_int(asks.get(), 0), sqlite3_column_int(asks.get(), 1),
                w.Quantity(w.bulk.size() * 7)};
    w.bulk.push_back(a);
    w.bulk_pairs.emplace_back(a.partner);
    w.bulk_pairs.emplace_back(a.product);
    w.bulk_quantities[a.product] = a.quantity;
    w.bulk_request->Add(carvalen::Variant(a.product),
                        carvalen::Variant(carvalen::Array::Of(
                            {carvalen::Variant(a.partner), carvalen::Variant(a.quantity)})));
  }
  w.bulk_statement = BulkLineStatement(w.bulk.size());
  return w;
}

// ---------------------------------------------------------------------------------------------
// Backends: a configuration store naming the database, and sessions on it.

class Backend {
 public:
  explicit Backend(fs::path store) : store_(std::move(store)) {}
  virtual ~Backend() = default;
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  /// Points the library's configuration at this backend's database.
  void Select() const { carvalen::SetSetting(carvalen::Setting::ConfigDir, store_.string()); }
  virtual std::unique_ptr<Session> Open(bool literal) const = 0;

 protected:
  fs::path store_;
};

class SqliteBackend final : public Backend {
 public:
  explicit SqliteBackend(const fs::path& dir) : Backend(dir), file_(dir / "contracts.db") {}
  std::unique_ptr<Session> Open(bool literal) const override {
    return std::make_unique<SqliteSession>(file_, literal);
  }

 private:
  fs::path file_;
};

class PostgresBackend final : public Backend {
 public:
  /// `via`: connection-string keys that send the library's sessions another way.
  PostgresBackend(const std::string& conninfo, const fs::path& sqlite_file, std::int64_t lines,
                  fs::path store, const std::string& via = {})
      : Backend(std::move(store)), schema_("carvalen_ops_bench_" + std::to_string(lines)) {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
      throw std::runtime_error(std::string("cannot reach PostgreSQL: ") +
                               PQerrorMessage(conn.get()));
    }
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    if (carvalen::bench::PgLineCount(conn.get(), schema_) != lines) {
      carvalen::bench::CopyToPostgres(conn.get(), schema_, sqlite_file);
    }
    // The raw sessions see what the library's see: the schema first, read-only, no JIT, and
    // prepared statements planned for their values (a generic plan may answer differently).
    conninfo_ =
        conninfo + " options='-csearch_path=" + schema_ +
        " -cdefault_transaction_read_only=on -cjit=off -cplan_cache_mode=force_custom_plan'";
    fs::create_directories(store_);
    std::ofstream(store_ / "Vendra.toml")
        << "[ConnectionStrings]\nEContract = 'Provider=PostgreSQL;Host=" << PQhost(conn.get())
        << ";Port=" << PQport(conn.get()) << ";Database=" << PQdb(conn.get())
        << ";User ID=" << PQuser(conn.get()) << ";options=-csearch_path=" << schema_
        << (via.empty() ? "" : ";" + via)
        << "'\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
           "EContractConnection_ConnectionTimeout = \"15\"\n";
  }
  ~PostgresBackend() override {
    carvalen::db::DrainPool();
    std::error_code ignored;
    fs::remove_all(store_, ignored);
  }
  std::unique_ptr<Session> Open(bool literal) const override {
    return std::make_unique<PostgresSession>(conninfo_, literal);
  }

 private:
  std::string schema_;
  std::string conninfo_;
};

// ---------------------------------------------------------------------------------------------
// The benchmarks. Every one measures wall time: on PostgreSQL most of the work is the server's.

enum class Op {
  GetPrice,
  GetDiscount,
  GetEffectivePrice,
  GetContractLineDetail,
  GetContractLineNumber,
  ContractHeaderExists,
  GetActiveContractLines,
  BulkPricing
};

constexpr std::pair<Op, const char*> kOps[] = {
    {Op::GetPrice, "GetPrice"},
    {Op::GetDiscount, "GetDiscount"},
    {Op::GetEffectivePrice, "GetEffectivePrice"},
    {Op::GetContractLineDetail, "GetContractLineDetail"},
    {Op::GetContractLineNumber, "GetContractLineNumber"},
    {Op::ContractHeaderExists, "ContractHeaderExists"},
    {Op::GetActiveContractLines, "GetActiveContractLines"},
    {Op::BulkPricing, "BulkPricing"},
};
// Also run on 1, 2 and 4 threads: a one-statement price and the widest single-row answer. GetPrice
// also through the service, whose clients are many more than the cores.
const std::string kThreadedOps[] = {"GetPrice", "GetContractLineDetail"};
constexpr int kThreadCounts[] = {1, 2, 4, 16};

double ByHand(Op op, Session& s, const Workload& w, std::size_t i) {
  const LineRef& l = w.Line(i);
  switch (op) {
    case Op::GetPrice:
      return HandPrice(s, l.header, l.line, w.Quantity(i));
    case Op::GetDiscount:
      return HandDiscount(s, l.header, l.line, w.Quantity(i));
    case Op::GetEffectivePrice: {
      const LineRef& sup = w.Supplier(i);
      return HandEffectivePrice(s, sup.partner, sup.product, w.Quantity(i));
    }
    case Op::GetContractLineDetail:
      return static_cast<double>(HandDetail(s, l.header, l.line));
    case Op::GetContractLineNumber:
      return HandLineNumber(s, l.quotation);
    case Op::ContractHeaderExists:
      return HandHeaderExists(s, l.header);
    case Op::GetActiveContractLines:
      return HandActiveLines(s, l.header);
    case Op::BulkPricing:
      return HandBulk(s, w.bulk_statement, w.bulk_pairs, w.bulk_quantities);
  }
  return 0;
}

// The fields asked of GetActiveContractLines.
const carvalen::Variant& ActiveFields() {
  static const carvalen::Variant fields(
      carvalen::Array::Of({carvalen::Variant("CONTRACTLINEID"), carvalen::Variant("PRICE"),
                           carvalen::Variant("PRODUCTID")}));
  return fields;
}

// One call of the operation through the C++ API.
double ThroughApi(Op op, carvalen::ContractLine& line, carvalen::Contract& contract,
                  const Workload& w, std::size_t i) {
  const LineRef& l = w.Line(i);
  carvalen::Variant currency;
  switch (op) {
    case Op::GetPrice:
      return line.GetPrice(l.header, l.line, w.Quantity(i), currency);
    case Op::GetDiscount: {
      carvalen::Variant percentage;
      return line.GetDiscount(l.header, l.line, w.Quantity(i), currency, percentage);
    }
    case Op::GetEffectivePrice: {
      const LineRef& sup = w.Supplier(i);
      std::string code;
      auto result = line.GetEffectivePrice(
          w.Quantity(i), code, carvalen::Variant::Missing(), carvalen::Variant::Missing(),
          carvalen::Variant(sup.product), carvalen::Variant(sup.partner));
      return result ? result->Count() : 0;
    }
    case Op::GetContractLineDetail:
      return line.GetContractLineDetail(l.header, l.line)->Count();
    case Op::GetContractLineNumber:
      return line.GetContractLineNumber(l.quotation).IsEmpty() ? 0 : 1;
    case Op::ContractHeaderExists:
      return contract.ContractHeaderExists(l.header);
    case Op::GetActiveContractLines:
      return contract.GetActiveContractLines(ActiveFields(), carvalen::Variant(l.header))->Count();
    case Op::BulkPricing:
      return contract.GetActiveContractLinesProc(w.bulk_request)->Count();
  }
  return 0;
}

void RunFloor(benchmark::State& state, const Backend* backend, const Workload* w, Op op) {
  // Its own kept session per thread; the first call prepares what the rest reuse.
  std::unique_ptr<Session> session = backend->Open(false);
  auto i = static_cast<std::size_t>(state.thread_index()) * 97;
  ByHand(op, *session, *w, i);
  session->Finish();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ByHand(op, *session, *w, i++));
    session->Finish();
  }
  state.SetItemsProcessed(state.iterations());
}

void RunNaive(benchmark::State& state, const Backend* backend, const Workload* w, Op op) {
  std::size_t i = 0;
  for (auto _ : state) {
    std::unique_ptr<Session> session = backend->Open(true);
    benchmark::DoNotOptimize(ByHand(op, *session, *w, i++));
  }
  state.SetItemsProcessed(state.iterations());
}

// GetPrice as a page or a job asks the service for it: a keep-alive client per thread, POSTing
// the typed JSON to `carvalen serve` running in this process on loopback.
void RunService(benchmark::State& state, const Backend* backend, const Workload* w,
                const carvalen::service::Server* server) {
  if (state.thread_index() == 0) backend->Select();
  httplib::Client client = carvalen::bench::KeepAliveClient(*server);
  auto i = static_cast<std::size_t>(state.thread_index()) * 97;
  char body[160];
  for (auto _ : state) {
    const LineRef& l = w->Line(i);
    std::snprintf(body, sizeof body,
                  R"({"i_lContractHeaderID": %d, "i_lContractLineID": %d, "i_fQuantity": %.1f})",
                  l.header, l.line, w->Quantity(i));
    ++i;
    httplib::Result res = client.Post("/v1/ContractLine/GetPrice", body, "application/json");
    if (!res || res->status != 200) {
      state.SkipWithError("the service did not answer 200");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void RunCarvalen(benchmark::State& state, const Backend* backend, const Workload* w, Op op) {
  // Threads wait for each other before the timed loop, so the store is named before any call.
  if (state.thread_index() == 0) backend->Select();
  carvalen::ContractLine line;
  carvalen::Contract contract;
  auto i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) benchmark::DoNotOptimize(ThroughApi(op, line, contract, *w, i++));
  state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------------------------
// The statements above are copies of the operations'. Before anything is measured, each copy is
// compared with what the operation itself sends, taken from its SQL trace, so that a changed
// statement in an operation cannot leave the floor measuring another query.

// Runs the hand-written calls on another session and keeps each statement's text with its
// values written in, as the operation writes them.
class Recording final : public Session {
 public:
  explicit Recording(Session& inner) : inner_(inner) {}
  Cursor& Run(const Statement& statement, const Params& params, bool one_row) override {
    texts.push_back(Substitute(statement.sql, [&](int n) { return params[n - 1].Text(); }));
    return inner_.Run(statement, params, one_row);
  }
  void Finish() override { inner_.Finish(); }
  std::vector<std::string> texts;

 private:
  Session& inner_;
};

std::vector<std::string> TracedQueries(const fs::path& file) {
  std::vector<std::string> texts;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const nlohmann::json event = nlohmann::json::parse(line);
    if (event.value("event", "") == "query") texts.push_back(event.value("sql", ""));
  }
  return texts;
}

void CheckStatements(const std::string& backend_name, const Backend& backend, const Workload& w) {
  backend.Select();
  const fs::path trace =
      fs::temp_directory_path() / ("carvalen-ops-bench-trace-" + std::to_string(::getpid()));
  carvalen::ContractLine line;
  carvalen::Contract contract;
  std::unique_ptr<Session> session = backend.Open(false);
  for (const auto& [op, name] : kOps) {
    // Quantities on both sides of the breaks, and more than one line.
    for (std::size_t i = 0; i < std::size(kQuantities); ++i) {
      fs::remove(trace);
      carvalen::SetSetting(carvalen::Setting::SqlTrace, trace.string());
      ThroughApi(op, line, contract, w, i);
      carvalen::SetSetting(carvalen::Setting::SqlTrace, "");
      Recording recording(*session);
      ByHand(op, recording, w, i);
      recording.Finish();
      const std::vector<std::string> traced = TracedQueries(trace);
      if (recording.texts != traced) {
        std::string message = backend_name + " " + name +
                              ": the benchmark's statements are not "
                              "the operation's. The operation sent:";
        for (const std::string& text : traced) message += "\n  " + text;
        message += "\nthe benchmark sends:";
        for (const std::string& text : recording.texts) message += "\n  " + text;
        fs::remove(trace);
        throw std::runtime_error(message);
      }
    }
  }
  fs::remove(trace);
}

// ---------------------------------------------------------------------------------------------
// The ratio table: for each database and operation the floor's time, and Carvalen and Naive as
// multiples of it; then calls per second by threads against the floor at the same count.

class RatioTable : public benchmark::BenchmarkReporter {
 public:
  // `inner` prints the rows as the chosen format; the table goes to `table`.
  RatioTable(std::unique_ptr<benchmark::BenchmarkReporter> inner, std::ostream& table)
      : inner_(std::move(inner)), table_(table) {}

  bool ReportContext(const Context& context) override { return inner_->ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const auto rate = run.counters.find("items_per_second");
      const Measured m{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(),
                       rate == run.counters.end() ? 0 : rate->second.value};
      const Key key{run.run_name.function_name, run.threads};
      if (run.run_type == Run::RT_Aggregate) {
        // Repeated rows count by their median: the machine's noise comes in bursts.
        if (run.aggregate_name == "median") medians_[key] = m;
        continue;
      }
      // Without a median, the fastest repetition: noise only adds.
      auto [it, added] = fastest_.emplace(key, m);
      if (!added && m.time < it->second.time) it->second = m;
    }
    inner_->ReportRuns(runs);
  }
  void Finalize() override {
    inner_->Finalize();
    char line[200];
    // Wall time is what a caller waits; this process's CPU time is the part the library can
    // change (on PostgreSQL it leaves out the server), and a busy machine disturbs it less.
    table_ << "\nmicroseconds per call (Floor) and multiples of it, 1 thread\n";
    std::snprintf(line, sizeof line, "%-11s %-23s %9s %9s %9s %9s %9s\n", "database", "operation",
                  "Floor us", "Carvalen", "Naive", "Floor cpu", "Carv. cpu");
    table_ << line;
    for (const std::string db : {"SQLite", "PostgreSQL", "PgBouncer"}) {
      for (const auto& [op, name] : kOps) {
        const std::string floor_name =
            "Floor/" + (db == "PgBouncer" ? std::string("PostgreSQL") : db) + "/" + name;
        const double floor = Time(floor_name, 1);
        if (floor <= 0) continue;
        auto ratio = [](double t, double base) {
          if (t <= 0 || base <= 0) return std::string("-");
          char text[32];
          std::snprintf(text, sizeof text, "%.2fx", t / base);
          return std::string(text);
        };
        const std::string api = "Carvalen/" + db + "/" + name;
        if (db == "PgBouncer" && Time(api, 1) <= 0) continue;  // not asked for
        std::snprintf(line, sizeof line, "%-11s %-23s %9.1f %9s %9s %9.1f %9s\n", db.c_str(), name,
                      floor, ratio(Time(api, 1), floor).c_str(),
                      ratio(Time("Naive/" + db + "/" + name, 1), floor).c_str(), Cpu(floor_name, 1),
                      ratio(Cpu(api, 1), Cpu(floor_name, 1)).c_str());
        table_ << line;
      }
    }
    // Throughput at each thread count against the floor at the same count: the floor gives each
    // thread its own kept session, so any shortfall is what the library's call path shares. The
    // service's clients are threads of this process too.
    bool heading = false;
    for (const std::string db : {"SQLite", "PostgreSQL"}) {
      for (const std::string& name : kThreadedOps) {
        for (int threads : kThreadCounts) {
          const double floor = Rate("Floor/" + db + "/" + name, threads);
          const double api = Rate("Carvalen/" + db + "/" + name, threads);
          if (floor <= 0 || api <= 0) continue;
          if (!heading) {
            table_ << "\nthousands of calls per second by threads, and against the floor\n";
            std::snprintf(line, sizeof line, "%-11s %-23s %7s %8s %8s %6s %8s %6s\n", "database",
                          "operation", "threads", "Floor", "Carvalen", "ratio", "Service", "ratio");
            table_ << line;
            heading = true;
          }
          const double service = Rate("Service/" + db + "/" + name, threads);
          std::snprintf(line, sizeof line, "%-11s %-23s %7d %8.1f %8.1f %6.2f", db.c_str(),
                        name.c_str(), threads, floor / 1000, api / 1000, api / floor);
          table_ << line;
          if (service > 0) {
            std::snprintf(line, sizeof line, " %8.1f %6.2f", service / 1000, service / floor);
            table_ << line;
          }
          table_ << "\n";
        }
      }
    }
    table_.flush();
  }

 private:
  using Key = std::pair<std::string, int>;
  struct Measured {
    double time, cpu, rate;
  };
  // Microseconds: every row is registered in them.
  const Measured* Find(const std::string& name, int threads) const {
    for (const auto* map : {&medians_, &fastest_}) {
      auto found = map->find({name, threads});
      if (found != map->end()) return &found->second;
    }
    return nullptr;
  }
  double Time(const std::string& name, int threads) const {
    const Measured* m = Find(name, threads);
    return m == nullptr ? -1 : m->time;
  }
  double Cpu(const std::string& name, int threads) const {
    const Measured* m = Find(name, threads);
    return m == nullptr ? -1 : m->cpu;
  }
  double Rate(const std::string& name, int threads) const {
    const Measured* m = Find(name, threads);
    return m == nullptr ? -1 : m->rate;
  }

  std::unique_ptr<benchmark::BenchmarkReporter> inner_;
  std::ostream& table_;
  std::map<Key, Measured> medians_, fastest_;
};

struct Options {
  std::int64_t lines = 1000;
  fs::path dir;
  std::string format = "console";
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  if (const char* env = std::getenv("CARVALEN_BENCH_LINES"); env != nullptr && *env != '\0') {
    options.lines = std::stoll(env);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--lines=", 0) == 0) {
      options.lines = std::stoll(arg.substr(8));
    } else if (arg.rfind("--dir=", 0) == 0) {
      options.dir = arg.substr(6);
    } else if (arg.rfind("--benchmark_format=", 0) == 0) {
      options.format = arg.substr(19);
    }
  }
  if (options.dir.empty()) {
    options.dir =
        fs::temp_directory_path() / ("carvalen-ops-bench-" + std::to_string(options.lines));
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_bench: %s\n", e.what());
    return 2;
  }
  // Defaults for a noisy shared machine, each overridden by the same flag on the command line:
  // short rows, three repetitions interleaved at random so that a burst of load spreads over all
  // rows, and their median shown.
  std::vector<char*> args(argv, argv + argc);
  std::vector<std::string> defaults;
  for (const char* flag : {"--benchmark_min_time=0.25", "--benchmark_repetitions=3",
                           "--benchmark_enable_random_interleaving=true",
                           "--benchmark_display_aggregates_only=true"}) {
    const std::string name = std::string(flag).substr(0, std::string(flag).find('=') + 1);
    const bool given = std::any_of(
        argv + 1, argv + argc, [&](const char* a) { return std::string(a).rfind(name, 0) == 0; });
    if (!given) defaults.emplace_back(flag);
  }
  for (std::string& d : defaults) args.push_back(d.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  for (int i = 1; i < count; ++i) {
    const std::string arg = args[static_cast<std::size_t>(i)];
    if (arg.rfind("--lines=", 0) != 0 && arg.rfind("--dir=", 0) != 0) {
      std::fprintf(stderr, "carvalen_bench: unknown argument %s (--lines=N --dir=DIR)\n",
                   arg.c_str());
      return 2;
    }
  }

  struct Named {
    std::string name;
    std::unique_ptr<Backend> backend;
    Workload workload;
  };
  std::vector<Named> backends;
  try {
    carvalen::bench::EnsureDemo(options.dir, options.lines);
    const fs::path file = options.dir / "contracts.db";
    Workload workload = PickWorkload(file, 100);
    backends.push_back(Named{"SQLite", std::make_unique<SqliteBackend>(options.dir), workload});
    if (const char* pg = std::getenv("CARVALEN_BENCH_PG"); pg != nullptr && *pg != '\0') {
      const fs::path store =
          fs::temp_directory_path() / ("carvalen-ops-bench-pg-" + std::to_string(::getpid()));
      backends.push_back(Named{"PostgreSQL",
                               std::make_unique<PostgresBackend>(pg, file, options.lines, store),
                               workload});
      if (const char* via = std::getenv("CARVALEN_BENCH_PGBOUNCER"); via != nullptr && *via) {
        backends.push_back(Named{"PgBouncer",
                                 std::make_unique<PostgresBackend>(
                                     pg, file, options.lines, store.string() + "-pgbouncer", via),
                                 workload});
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_bench: %s\n", e.what());
    return 1;
  }

  try {
    for (const Named& named : backends) CheckStatements(named.name, *named.backend, named.workload);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_bench: %s\n", e.what());
    return 1;
  }
  carvalen::service::Server server(carvalen::bench::QuietLoopbackService());
  server.Start();

  for (const Named& named : backends) {
    const Backend* b = named.backend.get();
    const Workload* w = &named.workload;
    for (const auto& [op, name] : kOps) {
      const std::string suffix = "/" + named.name + "/" + name;
      // Through the pooler only the library's path differs: its floor is the direct one.
      const bool pooled = named.name == "PgBouncer";
      auto* floor =
          pooled ? nullptr
                 : benchmark::RegisterBenchmark(("Floor" + suffix).c_str(), RunFloor, b, w, op);
      auto* api =
          benchmark::RegisterBenchmark(("Carvalen" + suffix).c_str(), RunCarvalen, b, w, op);
      if (pooled) {
        api->Unit(benchmark::kMicrosecond)->UseRealTime();
        continue;
      }
      auto* naive = benchmark::RegisterBenchmark(("Naive" + suffix).c_str(), RunNaive, b, w, op);
      for (auto* row : {floor, api, naive}) row->Unit(benchmark::kMicrosecond)->UseRealTime();
      if (std::find(std::begin(kThreadedOps), std::end(kThreadedOps), name) ==
          std::end(kThreadedOps)) {
        continue;
      }
      auto* service =
          op == Op::GetPrice
              ? benchmark::RegisterBenchmark(("Service" + suffix).c_str(), RunService, b, w,
                                             static_cast<const carvalen::service::Server*>(&server))
              : nullptr;
      for (auto* row : {floor, api, service}) {
        if (row == nullptr) continue;
        row->Unit(benchmark::kMicrosecond)->UseRealTime();
        for (int threads : kThreadCounts) row->Threads(threads);
      }
    }
  }

  std::unique_ptr<benchmark::BenchmarkReporter> inner;
  if (options.format == "json") {
    inner = std::make_unique<benchmark::JSONReporter>();
  } else {
    inner = std::make_unique<benchmark::ConsoleReporter>(
        ::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                : benchmark::ConsoleReporter::OO_Tabular);
  }
  inner->SetOutputStream(&std::cout);
  inner->SetErrorStream(&std::cerr);
  // The table follows the console's rows; beside JSON it goes to stderr.
  RatioTable reporter(std::move(inner), options.format == "console" ? std::cout : std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  server.Stop();
  backends.clear();
  return 0;
}
