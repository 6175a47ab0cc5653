// A statement's rows read one step at a time, and the prepared statement a session lends it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "db/driver.hpp"
#include "db/sqlite/handles.hpp"
#include "db/sqlite/values.hpp"

namespace carvalen::db::sqlite {

class SqliteConnection;

/// A statement kept prepared by its shape; lent to one cursor at a time.
struct CachedStatement {
  StmtPtr stmt;  // null: the shape does not prepare, its texts go as they are
  bool lent = false;
  std::shared_ptr<const ResultShape> columns;  // made on the first run
};

class SqliteCursor final : public Cursor {
 public:
  /// Reads `stmt`, which the cursor owns, or `cached`, which it borrows from the session's cache
  /// until it is destroyed.
  SqliteCursor(SqliteConnection& session, StmtPtr stmt, CachedStatement* cached, std::string sql,
               std::int32_t timeout);
  ~SqliteCursor() override;
  SqliteCursor(const SqliteCursor&) = delete;
  SqliteCursor& operator=(const SqliteCursor&) = delete;
  const FieldSetPtr& Fields() const override { return fields_; }
  bool Next(Row& row) override;
  void Rewind() override {
    sqlite3_reset(stmt_);
    done_ = false;
  }
  void Finish() override {
    sqlite3_reset(stmt_);
    done_ = true;
  }

 private:
  SqliteConnection& session_;
  StmtPtr owned_;
  CachedStatement* cached_;
  sqlite3_stmt* stmt_;
  std::string sql_;
  std::int32_t timeout_;
  /// The shape of the statement as it is prepared now.
  void Reshape();

  std::shared_ptr<const ResultShape> columns_;
  FieldSetPtr fields_;          // shares columns_
  std::size_t bytes_hint_ = 0;  // the texts of the last row read
  bool done_ = false;
};

}  // namespace carvalen::db::sqlite
