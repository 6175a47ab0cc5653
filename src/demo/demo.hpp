// `carvalen init-demo`: a demo contract database (SQLite, or the same rows in PostgreSQL) with
// realistic, deterministic data and a configuration store that points at it, so that
// `carvalen call` works out of the box.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>

namespace carvalen::demo {

/// A demo that cannot be created (existing files, I/O, SQLite, PostgreSQL): exit status 1.
class DemoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DemoOptions {
  std::filesystem::path dir;
  std::int64_t lines = 200;  // contract lines to create
  bool force = false;        // replace an existing contracts.db / Vendra.toml
  bool progress = false;     // draw a progress bar on stderr
  /// A PostgreSQL connection string of the store's form: the rows go into that database (its
  /// contract tables replaced only with `force`) and the store names it; no contracts.db.
  std::string connection{};
  bool store_only = false;  // with `connection`: only the store, for a database of one's own rows
};

struct DemoSummary {
  std::filesystem::path dir;       // absolute
  std::filesystem::path database;  // empty when the rows went to PostgreSQL
  std::filesystem::path store;
  std::int64_t headers = 0;
  std::int64_t lines = 0;
  std::int64_t price_breaks = 0;
  std::int64_t discount_breaks = 0;
  std::int64_t attachments = 0;
  std::int64_t user_data = 0;
  std::int64_t bis_records = 0;
};

/// Creates DIR (if needed), DIR/contracts.db (or the tables in PostgreSQL) and DIR/Vendra.toml.
DemoSummary CreateDemo(const DemoOptions& options);

}  // namespace carvalen::demo
