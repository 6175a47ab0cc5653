// `carvalen init-demo`: a demo contract database (SQLite) with realistic, deterministic data and
// a configuration store that points at it, so that `carvalen call` works out of the box.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>

namespace carvalen::demo {

/// A demo that cannot be created (existing files, I/O, SQLite): exit status 1.
class DemoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DemoOptions {
  std::filesystem::path dir;
  std::int64_t lines = 200;  // contract lines to create
  bool force = false;        // replace an existing contracts.db / Vendra.toml
  bool progress = false;     // draw a progress bar on stderr
};

struct DemoSummary {
  std::filesystem::path dir;  // absolute
  std::filesystem::path database;
  std::filesystem::path store;
  std::int64_t headers = 0;
  std::int64_t lines = 0;
  std::int64_t price_breaks = 0;
  std::int64_t discount_breaks = 0;
  std::int64_t attachments = 0;
  std::int64_t user_data = 0;
  std::int64_t bis_records = 0;
};

/// Creates DIR (if needed), DIR/contracts.db and DIR/Vendra.toml.
DemoSummary CreateDemo(const DemoOptions& options);

}  // namespace carvalen::demo
