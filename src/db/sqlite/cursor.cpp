#include "db/sqlite/cursor.hpp"

#include "db/sqlite/error.hpp"
#include "db/sqlite/session.hpp"

namespace carvalen::db::sqlite {

SqliteCursor::SqliteCursor(SqliteConnection& session, StmtPtr stmt, CachedStatement* cached,
                           std::string sql, std::int32_t timeout)
    : session_(session),
      owned_(std::move(stmt)),
      cached_(cached),
      stmt_(cached != nullptr ? cached->stmt.get() : owned_.get()),
      sql_(std::move(sql)),
      timeout_(timeout) {
  if (cached != nullptr && cached->columns &&
      cached->columns->reprepared == sqlite3_stmt_status(stmt_, SQLITE_STMTSTATUS_REPREPARE, 0)) {
    columns_ = cached->columns;
    fields_ = FieldSetPtr(columns_, &columns_->fields);
  } else {
    Reshape();
  }
}

void SqliteCursor::Reshape() {
  columns_ = std::make_shared<const ResultShape>(stmt_);
  if (cached_ != nullptr) cached_->columns = columns_;
  fields_ = FieldSetPtr(columns_, &columns_->fields);
}

SqliteCursor::~SqliteCursor() {
  if (cached_ != nullptr) session_.GiveBack(*cached_);
}

bool SqliteCursor::Next(Row& row) {
  if (done_) return false;
  sqlite3_stmt* stmt = stmt_;
  int rc = session_.Step(stmt, timeout_);
  if (rc == SQLITE_DONE) {
    if (columns_->reprepared != sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0)) {
      Reshape();
    }
    done_ = true;  // stepping again would run the statement anew
    return false;
  }
  if (rc != SQLITE_ROW) {
    Error error = SqliteError(session_.Handle(), rc, sql_);
    sqlite3_reset(stmt);
    done_ = true;
    throw error;
  }
  // A step re-prepares the statement when its tables changed (a table rebuilt with its columns in
  // another order): the shape is taken again from what this run delivers.
  if (columns_->reprepared != sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0)) Reshape();
  auto source = std::make_shared<const SqliteRow>(stmt, columns_, bytes_hint_);
  bytes_hint_ = source->Bytes();
  const std::size_t n = columns_->kinds.size();
  row = Row(std::move(source), 0, n);
  return true;
}

}  // namespace carvalen::db::sqlite
