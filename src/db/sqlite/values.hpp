// Values as SQLite stores them, read by the column's declared type (dates and booleans are
// conventions of the schema), and the shape of a statement's result.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/driver.hpp"

namespace carvalen::db::sqlite {

/// What a column's declared type says of its values beyond SQLite's own storage classes.
enum class DeclKind { Other, Date, Boolean };

/// What a statement's result looks like: made once per cached statement, not per run.
struct ResultShape {
  FieldSet fields;
  std::vector<DeclKind> kinds;
  int reprepared = 0;  // SQLite recompiles a statement whose tables changed: then they may too

  explicit ResultShape(sqlite3_stmt* stmt);
};

/// One row as SQLite gave it: numbers as they are, texts and blobs copied into one buffer; each
/// turned into a value only when read. Copied at once, since the statement moves on.
class SqliteRow final : public RowSource {
 public:
  /// `bytes`: what the texts of the row are expected to take (the last row's), reserved at once.
  SqliteRow(sqlite3_stmt* stmt, std::shared_ptr<const ResultShape> shape, std::size_t bytes);
  std::size_t Bytes() const { return bytes_.size(); }
  Variant Value(std::size_t row, std::size_t column) const override;

 private:
  struct Cell {
    int type = SQLITE_NULL;
    std::uint32_t length = 0;  // of a text or blob
    union {
      std::int64_t integer = 0;
      double real;
      std::size_t offset;  // of a text or blob in bytes_
    };
  };
  std::shared_ptr<const ResultShape> shape_;
  std::vector<Cell> cells_;
  std::string bytes_;
};

}  // namespace carvalen::db::sqlite
