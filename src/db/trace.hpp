// The SQL trace: when the SqlTrace setting (CARVALEN_SQL_TRACE) names a file, one JSON object a
// line for each event of every caller-level connection ({"conn": id, "event": ..., "sql": ...}).
// Each line is one write() on a file opened with O_APPEND, so lines of concurrent writers (threads
// or processes) never interleave. The setting is looked up at each open; when it is unset nothing
// is opened or formatted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "db/hosts.hpp"
#include "value/json_lines.hpp"

namespace carvalen::db {

/// The trace file of one caller-level connection, from its open to its close.
class TraceSink {
 public:
  /// The sink for the file the SqlTrace setting names; null when it is unset, or when the file
  /// cannot be opened (tracing is a diagnostic: it never fails a call).
  static std::shared_ptr<TraceSink> Configured();
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;

  // The event of a call that failed carries `error` as "number source: description".
  /// `open`, with the connection string (password masked), the error of a failed open and the
  /// server the session is connected to ("host" and "port", when it has one).
  void Open(std::int64_t conn, const std::string& connection_string, const Error* error,
            const Placement* placement);
  /// `execute` or `query` with the caller's exact text, and the error when it failed.
  void Statement(std::int64_t conn, const char* event, const std::string& sql, const Error* error);
  /// `schema` with the catalog statement and the table and column restrictions (Null: null).
  void Schema(std::int64_t conn, const std::string& sql, const Variant& table,
              const Variant& column, const Error* error);
  void Close(std::int64_t conn);

  explicit TraceSink(const std::string& path) : file_(path) {}

 private:
  void WriteLine(std::string line);
  text::AppendFile file_;
};

/// A new connection id for the trace: process-wide, never reused.
std::int64_t NextTraceId();

}  // namespace carvalen::db
