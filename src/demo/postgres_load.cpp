#include "demo/postgres_load.hpp"

#include <dlfcn.h>
#include <fmt/format.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "carvalen/error.hpp"
#include "db/connection_string.hpp"
#include "db/sqlite/handles.hpp"
#include "demo/demo.hpp"
#include "model/schema.hpp"

namespace carvalen::demo {
namespace {

// The few libpq calls a COPY needs, declared here rather than through libpq-fe.h, whose types
// stay in the database driver; their signatures and the status values below are libpq5's
// stable interface.
struct PgConn;
struct PgResult;
constexpr int kConnectionOk = 0;
constexpr int kCommandOk = 1;
constexpr int kTuplesOk = 2;
constexpr int kCopyIn = 4;

struct Libpq {
  PgConn* (*PQconnectdb)(const char*);
  int (*PQstatus)(const PgConn*);
  char* (*PQerrorMessage)(const PgConn*);
  void (*PQfinish)(PgConn*);
  PgResult* (*PQexec)(PgConn*, const char*);
  int (*PQresultStatus)(const PgResult*);
  void (*PQclear)(PgResult*);
  int (*PQputCopyData)(PgConn*, const char*, int);
  int (*PQputCopyEnd)(PgConn*, const char*);
  PgResult* (*PQgetResult)(PgConn*);
};

const Libpq& Load() {
  static const Libpq pq = [] {
    void* handle = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      throw DemoError("loading into PostgreSQL needs libpq.so.5 (Debian's libpq5)");
    }
    Libpq loaded{};
    const auto resolve = [handle](auto& function, const char* name) {
      function =
          reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(handle, name));
      if (function == nullptr) throw DemoError(fmt::format("libpq.so.5 has no {}", name));
    };
    resolve(loaded.PQconnectdb, "PQconnectdb");
    resolve(loaded.PQstatus, "PQstatus");
    resolve(loaded.PQerrorMessage, "PQerrorMessage");
    resolve(loaded.PQfinish, "PQfinish");
    resolve(loaded.PQexec, "PQexec");
    resolve(loaded.PQresultStatus, "PQresultStatus");
    resolve(loaded.PQclear, "PQclear");
    resolve(loaded.PQputCopyData, "PQputCopyData");
    resolve(loaded.PQputCopyEnd, "PQputCopyEnd");
    resolve(loaded.PQgetResult, "PQgetResult");
    return loaded;
  }();
  return pq;
}

std::string Trimmed(const char* text) {
  std::string out = text != nullptr ? text : "";
  while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
  return out;
}

// One session, in one transaction from its first statement; closing it without Commit() rolls
// everything back on the server.
class Writer {
 public:
  Writer(const Libpq& pq, const std::string& conninfo, const std::string& shown)
      : pq_(pq), conn_(pq.PQconnectdb(conninfo.c_str()), pq.PQfinish) {
    if (conn_ == nullptr || pq_.PQstatus(conn_.get()) != kConnectionOk) {
      throw DemoError(fmt::format("cannot connect to {}: {}", shown,
                                  conn_ ? Trimmed(pq_.PQerrorMessage(conn_.get())) : "no memory"));
    }
  }

  void Exec(const std::string& sql, std::string_view hint = "") {
    Check(pq_.PQexec(conn_.get(), sql.c_str()), kCommandOk, sql, hint);
  }

  // COPY ... FROM STDIN in text form, fed by `rows` a chunk at a time.
  template <class Rows>
  void Copy(const std::string& table, Rows&& rows) {
    const std::string sql = fmt::format("COPY {} FROM STDIN", table);
    Check(pq_.PQexec(conn_.get(), sql.c_str()), kCopyIn, sql, "");
    std::string chunk;
    const auto flush = [&] {
      if (pq_.PQputCopyData(conn_.get(), chunk.data(), static_cast<int>(chunk.size())) != 1) {
        Fail(sql, Trimmed(pq_.PQerrorMessage(conn_.get())), "");
      }
      chunk.clear();
    };
    rows(chunk, [&] {
      if (chunk.size() > (1 << 20)) flush();
    });
    if (!chunk.empty()) flush();
    if (pq_.PQputCopyEnd(conn_.get(), nullptr) != 1) {
      Fail(sql, Trimmed(pq_.PQerrorMessage(conn_.get())), "");
    }
    Check(pq_.PQgetResult(conn_.get()), kCommandOk, sql, "");
    while (PgResult* rest = pq_.PQgetResult(conn_.get())) pq_.PQclear(rest);
  }

 private:
  void Check(PgResult* raw, int wanted, const std::string& sql, std::string_view hint) {
    const std::unique_ptr<PgResult, void (*)(PgResult*)> result(raw, pq_.PQclear);
    const int status = result ? pq_.PQresultStatus(result.get()) : -1;
    if (status != wanted && !(wanted == kCommandOk && status == kTuplesOk)) {
      const std::string why = Trimmed(pq_.PQerrorMessage(conn_.get()));
      Fail(sql, why, why.find("already exists") != std::string::npos ? hint : "");
    }
  }
  [[noreturn]] static void Fail(const std::string& sql, const std::string& why,
                                std::string_view hint) {
    throw DemoError(fmt::format("{}: {}{}", sql.substr(0, sql.find('\n')), why, hint));
  }

  const Libpq& pq_;
  std::unique_ptr<PgConn, void (*)(PgConn*)> conn_;
};

// A value in COPY's text form: \N for NULL; backslash, tab, newline and carriage return escaped.
void AppendField(std::string& out, sqlite3_stmt* row, int column) {
  switch (sqlite3_column_type(row, column)) {
    case SQLITE_NULL:
      out += "\\N";
      return;
    case SQLITE_INTEGER:
      out += std::to_string(sqlite3_column_int64(row, column));
      return;
    case SQLITE_FLOAT:
      out += fmt::format("{}", sqlite3_column_double(row, column));  // shortest round trip
      return;
    default:
      break;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
  for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
    switch (*c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += *c;
    }
  }
}

}  // namespace

std::string ConnectionFromEnvironment() {
  static constexpr std::pair<const char*, const char*> kVariables[] = {
      {"PGHOST", "Host"},    {"PGPORT", "Port"},       {"PGDATABASE", "Database"},
      {"PGUSER", "User ID"}, {"PGOPTIONS", "options"},
  };
  const char* database = std::getenv("PGDATABASE");
  if (database == nullptr || *database == '\0') {
    throw DemoError("--provider postgresql needs --connection, or PGDATABASE (and PGHOST, ...)");
  }
  std::string connection = "Provider=PostgreSQL";
  for (const auto& [variable, key] : kVariables) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    std::string text = value;
    if (text.find_first_of(";\"") != std::string::npos) {  // quoted, inner quotes doubled
      std::string quoted = "\"";
      for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
      text = quoted + "\"";
    }
    connection += fmt::format(";{}={}", key, text);
  }
  return connection;
}

std::string WriterConninfo(const std::string& connection) {
  db::ParsedConnection parsed;
  try {
    parsed = db::ParseConnectionString(connection);
  } catch (const Error& e) {
    throw DemoError(fmt::format("--connection: {}", e.Description()));
  }
  if (parsed.provider != db::ProviderKind::PostgreSQL) {
    throw DemoError("--connection must name Provider=PostgreSQL");
  }
  std::string conninfo;
  const auto add = [&conninfo](std::string_view key, std::string_view value) {
    conninfo += fmt::format("{}{}='", conninfo.empty() ? "" : " ", key);
    for (const char c : value) {
      if (c == '\'' || c == '\\') conninfo += '\\';
      conninfo += c;
    }
    conninfo += '\'';
  };
  for (const auto& [key, value] : parsed.keys) {
    if (key == "database") {
      add("dbname", value);
    } else if (key == "user id") {
      add("user", value);
    } else if (key == "pooler" || key == "host recheck seconds" || key == "load balance hosts" ||
               key == "target session attrs" || key == "target_session_attrs") {
      continue;  // how the library picks a host; the writer needs the primary
    } else {
      add(key, value);
    }
  }
  add("target_session_attrs", "read-write");
  add("fallback_application_name", "carvalen init-demo");
  return conninfo;
}

void LoadIntoPostgres(const std::filesystem::path& source, const std::string& connection,
                      bool replace) {
  const std::string conninfo = WriterConninfo(connection);
  Writer writer(Load(), conninfo, db::MaskPassword(connection));

  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(source.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const db::DbPtr demo(raw);
  if (rc != SQLITE_OK) throw DemoError(fmt::format("cannot read {}", source.string()));

  writer.Exec("SET client_min_messages = warning");  // no notice per table dropped or made
  writer.Exec("BEGIN");
  if (replace) {
    for (const model::Table& table : model::Tables()) {
      writer.Exec(fmt::format("DROP TABLE IF EXISTS {}", table.name));
    }
  }
  std::vector<std::string> indexes;
  for (const std::string& statement : model::SchemaStatements(model::SchemaProvider::PostgreSQL)) {
    if (statement.starts_with("CREATE INDEX")) {
      indexes.push_back(statement);  // after the rows, as for SQLite
    } else {
      writer.Exec(statement, replace ? "" : " (use --force to replace the contract tables)");
    }
  }
  for (const model::Table& table : model::Tables()) {
    const std::string select = fmt::format("SELECT * FROM {}", table.name);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(demo.get(), select.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw DemoError(fmt::format("{}: {}", select, sqlite3_errmsg(demo.get())));
    }
    const db::StmtPtr rows(stmt);
    writer.Copy(std::string(table.name), [&](std::string& chunk, const auto& maybe_flush) {
      const int columns = sqlite3_column_count(stmt);
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) {
          if (c != 0) chunk += '\t';
          AppendField(chunk, stmt, c);
        }
        chunk += '\n';
        maybe_flush();
      }
    });
  }
  for (const std::string& statement : indexes) writer.Exec(statement);
  writer.Exec("COMMIT");
  std::string tables;
  for (const model::Table& table : model::Tables()) {
    tables += fmt::format("{}{}", tables.empty() ? "" : ", ", table.name);
  }
  writer.Exec("ANALYZE " + tables);
}

}  // namespace carvalen::demo
