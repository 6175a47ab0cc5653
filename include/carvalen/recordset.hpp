// A read-only table of rows as the operations hand it to a caller (GetActiveContractLineDetails):
// a cursor positioned on a current row, fields read by name without regard to case.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "carvalen/variant.hpp"

namespace carvalen {

class Recordset : public Object {
 public:
  /// True when there is no current row because the cursor is past the last row.
  virtual bool Eof() const = 0;
  /// True when there is no current row because the cursor is before the first row.
  virtual bool Bof() const = 0;
  /// The current row's field `name` (first match, without regard to case): 3265 when there is
  /// no such field, 3021 when there is no current row, 3704 when the record set is closed.
  virtual Variant Field(std::string_view name) const = 0;
  /// Column names in order, as the database reports them.
  virtual const std::vector<std::string>& FieldNames() const = 0;
  virtual void MoveNext() = 0;
  virtual void MoveFirst() = 0;
  /// Rows in the record set; -1 when it streams and cannot tell.
  virtual std::int32_t RecordCount() const = 0;
  /// 1 open, 0 closed.
  virtual std::int32_t State() const = 0;
  virtual void Close() = 0;
};

using RecordsetPtr = std::shared_ptr<Recordset>;

}  // namespace carvalen
