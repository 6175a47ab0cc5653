// One row of a result, its values turned into variants when read: a statement that selects a whole
// line for a few of its fields pays for those fields only, and no text is copied for a value
// nobody reads.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "carvalen/variant.hpp"

namespace carvalen::db {

/// The values of one or more rows as the driver received them. Immutable once filled, and kept
/// alive by the rows that read from it (a record set can outlive its statement and connection).
class RowSource {
 public:
  virtual ~RowSource() = default;
  /// The value of `column` in row `row` of this source. Never fails: what does not convert to
  /// its column's type stays text.
  virtual Variant Value(std::size_t row, std::size_t column) const = 0;
};

class Row {
 public:
  Row() = default;
  /// Row `index` of `source`, of `size` columns.
  Row(std::shared_ptr<const RowSource> source, std::size_t index, std::size_t size)
      : source_(std::move(source)), index_(index), size_(size) {}

  std::size_t Size() const { return size_; }
  /// The value of `column`, converted from what the driver received (each call converts anew:
  /// a caller reads a field once, and a copy of a kept value would cost as much).
  Variant At(std::size_t column) const { return source_->Value(index_, column); }
  /// Every value.
  std::vector<Variant> All() const;

 private:
  std::shared_ptr<const RowSource> source_;
  std::size_t index_ = 0;
  std::size_t size_ = 0;
};

/// Rows made in memory (the column catalog, tests), as a source.
class RowsInMemory final : public RowSource {
 public:
  explicit RowsInMemory(std::vector<std::vector<Variant>> rows) : rows_(std::move(rows)) {}
  std::size_t Count() const { return rows_.size(); }
  std::size_t Width(std::size_t row) const { return rows_[row].size(); }
  Variant Value(std::size_t row, std::size_t column) const override { return rows_[row][column]; }

 private:
  std::vector<std::vector<Variant>> rows_;
};

}  // namespace carvalen::db
