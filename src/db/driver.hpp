// The private driver interface behind Connection and Recordset: a PhysicalConnection is one
// driver session (pooled between caller-level connections), a Cursor one statement being read.
// Each driver wraps its library's errors into carvalen::Error in exactly one place.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "db/field_set.hpp"
#include "db/hosts.hpp"
#include "db/row.hpp"

namespace carvalen::db {

class TraceSink;

/// The rows of a statement, read one at a time. A cursor lives no longer than its session: the
/// caller-level connection finalises every cursor before it gives its session back.
class Cursor {
 public:
  virtual ~Cursor() = default;
  /// Column names as the database reports them; the same set for every run of a cached
  /// statement.
  virtual const FieldSetPtr& Fields() const = 0;
  /// Reads the next row into `row`; false at the end. The row's values are converted when read.
  virtual bool Next(Row& row) = 0;
  /// Starts over from the first row: the statement runs again.
  virtual void Rewind() = 0;
  /// Lets go of what the statement holds in the database (locks, a read snapshot) before the
  /// end of its rows; Rewind still works afterwards.
  virtual void Finish() = 0;
};

/// One driver session.
class PhysicalConnection {
 public:
  virtual ~PhysicalConnection() = default;

  /// Runs `sql` (one statement) and discards its rows. `timeout` in seconds, 0 for none.
  virtual void Execute(const std::string& sql, std::int32_t timeout) = 0;
  /// Makes `level` ("READ COMMITTED", ...: upper case, single blanks) the isolation of what
  /// follows, in the driver's own terms.
  virtual void SetIsolation(const std::string& level) = 0;
  /// Runs `sql` (one statement) and answers its rows.
  /// `whole`: every row will be read, so the driver may fetch them all at once rather than one
  /// at a time.
  virtual std::unique_ptr<Cursor> Query(const std::string& sql, std::int32_t timeout,
                                        bool whole) = 0;
  /// The column catalog: rows of TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME,
  /// ORDINAL_POSITION, DATA_TYPE for the tables and columns named as an unquoted identifier
  /// would resolve (Null: any). `sql` receives the catalog statement, for the trace.
  virtual std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                                    std::int32_t timeout, std::string& sql) = 0;
  /// Applies the caller's connection time-out to what the session waits for (SQLite's busy
  /// time-out); called on every lease.
  virtual void SetConnectionTimeout(std::int32_t seconds) = 0;
  /// Whether an idle pooled session can still be used (the server may have gone away, the
  /// SQLite file been removed or replaced).
  virtual bool Healthy() = 0;
  /// Whether the session is clean enough to go back into the pool: no statement and no
  /// transaction left open, connection not broken.
  virtual bool Reusable() = 0;
  /// Whether the session's server is gone (the connection broke), as opposed to a session left
  /// unclean: the server's health is tracked on it.
  virtual bool Lost() { return false; }
  /// Whether the server is a hot standby (in recovery); asked once, after connecting.
  virtual bool InRecovery() { return false; }

  /// The server the session is connected to (empty for a file) and how it was chosen.
  Placement placement;
  /// When the pool stops keeping the session (Connection Lifetime); none: never.
  std::optional<std::chrono::steady_clock::time_point> expires;
  /// The thread that gave the session back to the pool last: leased to it again first.
  std::thread::id last_holder;

  /// The trace of the current lease (null when tracing is off); set by the caller-level
  /// connection for the time between its open and close.
  std::shared_ptr<TraceSink> trace;
};

/// Opens a session; fails with the driver's error or 3001 for a key the driver does not know.
std::unique_ptr<PhysicalConnection> OpenSqlite(const ParsedConnection& settings,
                                               std::int32_t connection_timeout);
std::unique_ptr<PhysicalConnection> OpenPostgres(const ParsedConnection& settings,
                                                 std::int32_t connection_timeout,
                                                 std::int32_t command_timeout);

/// A PostgreSQL connection failure (SQLSTATE 08001) with `message`, for failures found above
/// libpq (no host of the wanted role).
Error PostgresConnectError(std::string message);

/// Parses a date-time text as the databases write it ("YYYY-MM-DD HH:MM:SS[.f...]", with 'T',
/// a date alone, or PostgreSQL's zone suffix "+02" which is dropped: the wall time is kept).
bool ParseDateText(std::string_view text, Date& out);

/// A 64-bit integer as Long when it fits 32 bits, else LongLong.
inline Variant IntegerValue(std::int64_t v) {
  if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<std::int32_t>(v));
  return Variant(v);
}

}  // namespace carvalen::db
