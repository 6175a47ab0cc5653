// Values as the server sends them (text format) converted by their column's type, and the shape
// of a result: its fields and column types, made once per prepared statement.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string_view>
#include <vector>

#include "db/driver.hpp"
#include "db/postgres/handles.hpp"

namespace carvalen::db::pg {

// Type OIDs of the built-in types we convert (pg_type.dat); everything else stays text.
inline constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701,
                     kUnknown = 705, kNumeric = 1700, kDateOid = 1082, kTimestamp = 1114,
                     kTimestampTz = 1184;

/// The value of `text` in a column of `type`; a text that does not read as its type stays text.
Variant ConvertValue(Oid type, std::string_view text);

/// Row `index` of `result`, converted by the column types `types`.
void ReadRow(const PGresult* result, int index, const std::vector<Oid>& types,
             std::vector<Variant>& row);

/// What a statement's result looks like: made once per prepared statement, not per run.
struct ResultShape {
  FieldSet fields;
  std::vector<Oid> types;

  explicit ResultShape(const PGresult* result);
  /// Whether `result` has these columns (a prepared statement's result type does not change
  /// while it lives: the server refuses to run it instead; the types are compared anyway).
  bool Describe(const PGresult* result) const;
};

/// The rows of one result, each value converted by its column's type when read. The result is
/// kept whole (libpq holds it as received), so nothing is copied for a value nobody reads.
class PgRows final : public RowSource {
 public:
  PgRows(ResultPtr result, std::shared_ptr<const ResultShape> shape)
      : result_(std::move(result)), shape_(std::move(shape)) {}
  int Count() const { return Pq().PQntuples(result_.get()); }
  Variant Value(std::size_t row, std::size_t column) const override;

 private:
  ResultPtr result_;
  std::shared_ptr<const ResultShape> shape_;
};

}  // namespace carvalen::db::pg
