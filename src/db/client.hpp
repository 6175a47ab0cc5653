// The database client: connections and record sets in the manner the operations expect of
// them (connection string and time-outs, open/execute/state/close, a column-schema query; record
// sets with cursor and lock types, EOF/BOF, fields by name, move, close, maximum and count,
// client-side cursors that can be detached). Behind it sit two drivers, SQLite and PostgreSQL,
// a pool of physical connections, and the SQL trace.
//
// No driver header is included here: sqlite3.h and libpq-fe.h stay in the drivers' .cpp files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "carvalen/recordset.hpp"
#include "carvalen/variant.hpp"
#include "db/field_set.hpp"
#include "db/row.hpp"

namespace carvalen::db {

/// The isolation command every connection the library opens sends first; the client knows it
/// without taking its words apart.
inline constexpr const char* kReadCommittedCommand =
    "SET TRANSACTION ISOLATION LEVEL READ COMMITTED";

enum class CursorType : std::int32_t { ForwardOnly = 0, Keyset = 1, Dynamic = 2, Static = 3 };
enum class LockType : std::int32_t { ReadOnly = 1, Pessimistic = 2, Optimistic = 3 };
enum class CursorLocation : std::int32_t { Server = 2, Client = 3 };
inline constexpr std::int32_t kStateClosed = 0;
inline constexpr std::int32_t kStateOpen = 1;
inline constexpr std::int32_t kSchemaColumns = 4;

/// Errors of this layer (not of a driver), numbered as the classic data-access errors.
namespace dberr {
inline constexpr std::int32_t kNotFoundInCollection =
    static_cast<std::int32_t>(0x800A0CC1u);                                                // 3265
inline constexpr std::int32_t kNoCurrentRecord = static_cast<std::int32_t>(0x800A0BCDu);   // 3021
inline constexpr std::int32_t kObjectClosed = static_cast<std::int32_t>(0x800A0E78u);      // 3704
inline constexpr std::int32_t kObjectOpen = static_cast<std::int32_t>(0x800A0E79u);        // 3705
inline constexpr std::int32_t kProviderNotFound = static_cast<std::int32_t>(0x800A0E7Au);  // 3706
inline constexpr std::int32_t kInvalidArgument = static_cast<std::int32_t>(0x800A0BB9u);   // 3001
inline constexpr std::int32_t kNotSupported = static_cast<std::int32_t>(0x800A0CB3u);      // 3251
/// Every pooled session stayed in use for the whole connection time-out (DB_E_ABORTLIMITREACHED).
inline constexpr std::int32_t kPoolTimeout = static_cast<std::int32_t>(0x80040E31u);
}  // namespace dberr

class Recordset;
class PhysicalConnection;  // a driver's session, pooled

/// One caller-level connection: opened, used and closed within one operation call.
class Connection {
 public:
  Connection();
  ~Connection();  // closes if still open
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::string ConnectionString;
  /// Seconds; 0 means no limit. Set before Open / Execute.
  std::int32_t CommandTimeout = 30;
  std::int32_t ConnectionTimeout = 15;

  /// Opens with `connection_string`, or with ConnectionString when it is empty.
  void Open(const std::string& connection_string = {}, const std::string& user = {},
            const std::string& password = {}, std::int32_t options = -1);
  /// Runs one command; whatever rows it returns are discarded.
  void Execute(const std::string& sql, std::int32_t options = -1);
  std::int32_t State() const;
  void Close();

  /// The column-schema query: restrictions catalog, schema, table, column (Null or text).
  /// Answers a client-side record set with TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME,
  /// COLUMN_NAME, ORDINAL_POSITION, DATA_TYPE; names are matched as the database resolves an
  /// unquoted identifier.
  std::shared_ptr<Recordset> OpenSchema(std::int32_t schema,
                                        const std::vector<Variant>& restrictions);

  /// Identifies this connection in the SQL trace (new for every open).
  std::int64_t TraceId() const { return trace_id_; }

 private:
  friend class Recordset;
  PhysicalConnection& Physical();
  void Attach(Recordset* rs);
  void Detach(Recordset* rs);

  std::unique_ptr<PhysicalConnection> physical_;
  std::string pool_key_;
  bool pooling_ = true;
  std::thread::id holder_;  // the thread that leased the pool slot
  std::int64_t trace_id_ = 0;
  std::vector<Recordset*> open_recordsets_;
};

using ConnectionPtr = std::shared_ptr<Connection>;

class Cursor;  // a driver's statement being read

/// A cursor over the rows of one query, or a detached table of rows.
class Recordset final : public carvalen::Recordset {
 public:
  Recordset();
  ~Recordset() override;
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  static std::shared_ptr<Recordset> Create() { return std::make_shared<Recordset>(); }

  void Open(const std::string& source, const ConnectionPtr& connection,
            CursorType cursor = CursorType::ForwardOnly, LockType lock = LockType::ReadOnly,
            std::int32_t options = -1);
  bool Eof() const override;
  bool Bof() const override;
  /// The value of the current row's field `name` (without regard to case, first match wins):
  /// 3265 when there is no such field, 3021 when there is no current row.
  Variant Field(std::string_view name) const override;
  const std::vector<std::string>& FieldNames() const override;
  void MoveNext() override;
  void MovePrevious() override;
  void MoveFirst() override;
  void MoveLast() override;
  void Filter(std::string_view name, const Variant& value) override;
  void ClearFilter() override;
  std::int32_t State() const override;
  void Close() override;

  /// At most this many rows are read (0: all). Set before Open.
  void SetMaxRecords(std::int32_t n) { max_records_ = n; }
  std::int32_t MaxRecords() const { return max_records_; }
  /// Rows in the record set (those the filter keeps); -1 for a forward-only cursor.
  std::int32_t RecordCount() const override;
  /// Client: every row is read at Open, so the record set can outlive its connection.
  void SetCursorLocation(CursorLocation location) { location_ = location; }
  /// Drops the connection of a client-side record set (ActiveConnection = Nothing).
  void DetachConnection();

  std::string ClassName() const override { return "Recordset"; }

  /// For building a record set from rows in memory (the schema query, tests).
  void OpenRows(std::vector<std::string> fields, std::vector<std::vector<Variant>> rows);
  /// The rows the filter keeps (every row without one), from the first whatever the position;
  /// for the tool's JSON of a record set. A streaming record set holds only its current row.
  std::size_t RowsKept() const { return filtered_ ? kept_.size() : rows_.size(); }
  std::vector<Variant> RowKept(std::size_t k) const {
    return rows_[filtered_ ? kept_[k] : k].All();
  }

 private:
  friend class Connection;
  void ReleaseCursor();  // the connection is closing under us
  void RequireOpen() const;
  void RequireBuffered() const;  // moving backwards and filtering need every row at hand
  std::size_t IndexOf(std::string_view name) const;
  void Fetch();
  void ResetRows();

  std::int32_t state_ = kStateClosed;
  CursorType cursor_type_ = CursorType::ForwardOnly;
  CursorLocation location_ = CursorLocation::Server;
  std::int32_t max_records_ = 0;
  Connection* connection_ = nullptr;
  ConnectionPtr keep_alive_;
  std::unique_ptr<Cursor> cursor_;  // streaming (forward-only, server-side)
  FieldSetPtr fields_;              // null while closed
  std::vector<Row> rows_;           // buffered rows (or the current row when streaming)
  bool filtered_ = false;
  std::vector<std::size_t> kept_;  // indexes into rows_ of the rows the filter keeps
  // Among the kept rows: -1 before the first (BOF), RowsKept() past the last (EOF).
  std::int64_t position_ = 0;
  std::int64_t delivered_ = 0;
  bool streaming_ = false;
  bool eof_ = true;
};

using RecordsetPtr = std::shared_ptr<Recordset>;

/// Caller-level connections open right now, in this process (for tests: every call that opens
/// one closes it again, also when it fails).
std::int64_t OpenConnectionCount();

/// Physical connections kept idle in the pool; DrainPool closes them all.
std::int64_t PooledConnectionCount();
void DrainPool();

}  // namespace carvalen::db
