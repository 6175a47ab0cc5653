// A read-only table of rows as the operations hand it to a caller (GetActiveContractLineDetails):
// a cursor positioned on a current row, fields read by name without regard to case, moved in
// both directions and narrowed by a filter, with no connection behind it.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carvalen/variant.hpp"

namespace carvalen {

class CARVALEN_API Recordset : public Object {
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
  /// To the next row; past the last one Eof is true. 3021 when already at the end.
  virtual void MoveNext() = 0;
  /// To the previous row; before the first one Bof is true. 3021 when already before it.
  virtual void MovePrevious() = 0;
  /// To the first or the last row; 3021 when there is none.
  virtual void MoveFirst() = 0;
  virtual void MoveLast() = 0;
  /// Keeps only the rows whose field `name` equals `value` (as dictionary keys compare: numbers
  /// by value across their types, text byte for byte, Null equals Null) and moves to the first
  /// of them. A new filter replaces the previous one; it never narrows it. 3265 when there is
  /// no such field. A record set that streams its rows cannot move backwards or filter (3251).
  virtual void Filter(std::string_view name, const Variant& value) = 0;
  /// Every row again, from the first.
  virtual void ClearFilter() = 0;
  /// Rows in the record set (those the filter keeps); -1 when it streams and cannot tell.
  virtual std::int32_t RecordCount() const = 0;
  /// 1 open, 0 closed.
  virtual std::int32_t State() const = 0;
  virtual void Close() = 0;

  /// Late binding: EOF, BOF, Fields(name) (also Field), FieldNames, MoveNext, MovePrevious,
  /// MoveFirst, MoveLast, Filter(name, value), ClearFilter, RecordCount, State, Close.
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

using RecordsetPtr = std::shared_ptr<Recordset>;

}  // namespace carvalen
