// The demo's SQLite writer: the database file it fills and prepared INSERTs bound value by
// value. The library itself only reads; writing is the demo generator's own business.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "db/sqlite/handles.hpp"
#include "demo/demo.hpp"

namespace carvalen::demo {

/// A database file opened (created if need be) for writing; failures are DemoErrors.
class Database {
 public:
  explicit Database(const std::filesystem::path& path);

  /// Runs one statement, failing with its first line and SQLite's message.
  void Exec(const std::string& sql);

  [[noreturn]] void Fail(std::string_view what) const;

  sqlite3* Handle() const { return db_.get(); }

 private:
  db::DbPtr db_;
};

// One prepared INSERT into every column of a contract table, bound value by value in the
// table's column order:  insert << a << b << c; insert.Row();
class Insert {
 public:
  Insert(Database& db, std::string_view table);

  template <class T>
  Insert& operator<<(const T& value) {
    const int index = ++bound_;
    int rc = SQLITE_OK;
    if constexpr (std::is_same_v<T, std::nullopt_t>) {
      rc = sqlite3_bind_null(stmt_.get(), index);
    } else if constexpr (std::is_same_v<T, bool>) {
      rc = sqlite3_bind_int(stmt_.get(), index, value ? 1 : 0);
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
      rc = sqlite3_bind_int64(stmt_.get(), index, static_cast<sqlite3_int64>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
      rc = sqlite3_bind_double(stmt_.get(), index, static_cast<double>(value));
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
      std::string_view text = value;
      rc = sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
    } else {
      --bound_;
      if (value.has_value()) return *this << *value;
      return *this << std::nullopt;
    }
    if (rc != SQLITE_OK) db_.Fail("bind");
    return *this;
  }

  /// Inserts the row bound so far; every column must have had its value.
  void Row();

  std::int64_t Rows() const { return rows_; }

 private:
  Database& db_;
  db::StmtPtr stmt_;
  int columns_ = 0;
  int bound_ = 0;
  std::int64_t rows_ = 0;
};

}  // namespace carvalen::demo
