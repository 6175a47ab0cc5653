// A statement's rows as they arrive: its prepared form (when the session keeps one) and the
// cursor that reads it, one result or one row at a time.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/driver.hpp"
#include "db/postgres/handles.hpp"
#include "db/postgres/values.hpp"

namespace carvalen::db::pg {

class PgConnection;

/// A statement prepared on the server under `name` for one shape and parameter types.
struct PreparedStatement {
  std::string key;       // the shape and the literals' kinds
  std::string name;      // empty: the shape does not prepare, its texts go as they are
  bool dropped = false;  // deallocated since: a cursor that runs again sends its text
  std::shared_ptr<const ResultShape> columns;  // made on the first run
};

/// The literals of one statement as the parameters of its prepared shape, in text format.
struct BoundValues {
  std::shared_ptr<PreparedStatement> statement;
  std::string buffer;  // the values, each ended by a NUL
  std::size_t count = 0;
  std::vector<const char*> values;  // into `buffer`, set where it stays put (a move may copy it)

  void Point() {
    values.clear();
    const char* value = buffer.c_str();
    for (std::size_t i = 0; i < count; ++i) {
      values.push_back(value);
      value += std::char_traits<char>::length(value) + 1;
    }
  }
};

/// The rows of one statement, received in libpq's single-row mode: a read that stops early
/// leaves the rest unfetched, and abandoning the statement cancels it rather than drain it. A
/// session carries one statement at a time, so before it sends another one, the rows still
/// coming are read into memory (Settle), an error among them kept for the read that reaches it.
class PgCursor final : public Cursor {
 public:
  /// Sends `sql` (or executes `prepared` with its values, when given) and waits for its first
  /// row or its end; fails as the statement does.
  /// `whole`: the rows come as one result (every row is going to be read anyway, and one result
  /// costs less to receive than one per row).
  PgCursor(PgConnection& session, std::string sql, bool whole,
           std::optional<BoundValues> prepared = {});
  ~PgCursor() override { Stop(); }
  PgCursor(const PgCursor&) = delete;
  PgCursor& operator=(const PgCursor&) = delete;

  const FieldSetPtr& Fields() const override { return fields_; }
  bool Next(Row& row) override;
  /// Runs the statement again (its rows are not kept for a second pass).
  void Rewind() override {
    Finish();
    Start();
  }
  void Finish() override {
    Stop();
    current_.reset();
    settled_.clear();
    settled_error_.reset();
  }
  /// Reads the rows still coming into memory, so that the session can send another statement.
  void Settle();

 private:
  void Start();
  /// The next result of the statement; after its last one the session is idle again.
  ResultPtr Receive();
  /// Reads and drops whatever the statement still sends.
  void Drain();
  /// Makes `result` the one being read; the first result describes the columns.
  void Take(ResultPtr result);
  std::size_t Width() const { return columns_ ? columns_->types.size() : 0; }
  /// Abandons the statement: what has arrived already may hold its end; a statement still
  /// sending is cancelled, so its remaining rows are never produced.
  void Stop();

  PgConnection& session_;
  std::string sql_;
  std::optional<BoundValues> prepared_;
  std::shared_ptr<const ResultShape> columns_;
  FieldSetPtr fields_;  // shares columns_; null for a statement without rows
  // The result being read: one row, or the end's (in single-row mode empty), or all rows.
  std::shared_ptr<const PgRows> current_;
  int next_row_ = 0;
  std::deque<Row> settled_;
  std::optional<Error> settled_error_;
  bool streaming_ = false;  // results still to come from the session
  bool whole_ = false;      // all rows in one result, not one result per row
};

}  // namespace carvalen::db::pg
