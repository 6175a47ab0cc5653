// The benchmarks' data: a demo database made by the tool's own generator and kept in a folder
// between runs, and a copy of its four pricing tables in a PostgreSQL schema, also kept.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "demo/demo.hpp"
#include "model/schema.hpp"

namespace carvalen::bench {

using PgResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
using SqliteDb = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

inline void CheckSqlite(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    throw std::runtime_error(std::string(what) + ": " +
                             (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
  }
}

inline SqliteDb OpenReadOnly(const std::filesystem::path& file) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  SqliteDb db(raw, &sqlite3_close);
  CheckSqlite(rc, raw, "open");
  return db;
}

inline SqliteStatement CompileSqlite(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  CheckSqlite(sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr),
              db, "prepare");
  return SqliteStatement(stmt, &sqlite3_finalize);
}

/// DIR/contracts.db and DIR/Vendra.toml of `lines` demo lines, made when absent (about 15 s for a
/// million lines) and kept for later runs.
inline void EnsureDemo(const std::filesystem::path& dir, std::int64_t lines) {
  if (std::filesystem::exists(dir / "contracts.db") && std::filesystem::exists(dir / "Vendra.toml"))
    return;
  std::fprintf(stderr, "creating a demo of %lld lines in %s ...\n", static_cast<long long>(lines),
               dir.c_str());
  carvalen::demo::DemoOptions demo;
  demo.dir = dir;
  demo.lines = lines;
  demo.force = true;
  carvalen::demo::CreateDemo(demo);
}

inline void RunPg(PGconn* conn, const std::string& sql) {
  PgResult r(PQexec(conn, sql.c_str()), &PQclear);
  const ExecStatusType status = PQresultStatus(r.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQerrorMessage(conn));
  }
}

/// Rows of `schema`.CONTRACTLINE, or -1 when the schema or table is absent.
inline std::int64_t PgLineCount(PGconn* conn, const std::string& schema) {
  PgResult r(PQexec(conn, ("SELECT count(*) FROM " + schema + ".CONTRACTLINE").c_str()), &PQclear);
  return PQresultStatus(r.get()) == PGRES_TUPLES_OK ? std::atoll(PQgetvalue(r.get(), 0, 0)) : -1;
}

/// Replaces `schema` with the contract tables and a copy, row for row, of the four tables the
/// pricing operations read.
inline void CopyToPostgres(PGconn* conn, const std::string& schema,
                           const std::filesystem::path& sqlite_file) {
  std::fprintf(stderr, "loading %s into PostgreSQL schema %s ...\n", sqlite_file.c_str(),
               schema.c_str());
  RunPg(conn, "DROP SCHEMA IF EXISTS " + schema + " CASCADE; CREATE SCHEMA " + schema +
                  "; SET search_path = " + schema + ";" +
                  carvalen::model::SchemaScript(carvalen::model::SchemaProvider::PostgreSQL));
  SqliteDb source = OpenReadOnly(sqlite_file);
  for (const char* table :
       {"CONTRACTHEADER", "CONTRACTLINE", "CONTRACTPRICE", "CONTRACTDISCOUNT"}) {
    SqliteStatement stmt = CompileSqlite(source.get(), std::string("SELECT * FROM ") + table);
    std::string columns;
    const int width = sqlite3_column_count(stmt.get());
    for (int c = 0; c < width; ++c) {
      columns += (c ? "," : "") + std::string(sqlite3_column_name(stmt.get(), c));
    }
    PgResult start(
        PQexec(conn, ("COPY " + std::string(table) + " (" + columns + ") FROM STDIN").c_str()),
        &PQclear);
    if (PQresultStatus(start.get()) != PGRES_COPY_IN)
      throw std::runtime_error(PQerrorMessage(conn));
    std::string chunk;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
      for (int c = 0; c < width; ++c) {
        if (c) chunk += '\t';
        if (sqlite3_column_type(stmt.get(), c) == SQLITE_NULL) {
          chunk += "\\N";
          continue;
        }
        const char* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), c));
        for (const char* v = value; *v; ++v) {
          if (*v == '\\' || *v == '\t' || *v == '\n' || *v == '\r') chunk += '\\';
          chunk += *v == '\t' ? 't' : *v == '\n' ? 'n' : *v == '\r' ? 'r' : *v;
        }
      }
      chunk += '\n';
      if (chunk.size() > (1 << 20)) {
        PQputCopyData(conn, chunk.data(), static_cast<int>(chunk.size()));
        chunk.clear();
      }
    }
    PQputCopyData(conn, chunk.data(), static_cast<int>(chunk.size()));
    PQputCopyEnd(conn, nullptr);
    PgResult done(PQgetResult(conn), &PQclear);
    if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) {
      throw std::runtime_error(PQerrorMessage(conn));
    }
    while (PGresult* rest = PQgetResult(conn)) PQclear(rest);
    RunPg(conn, "ANALYZE " + std::string(table));
  }
}

}  // namespace carvalen::bench
