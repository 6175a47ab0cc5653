#include "demo/writer.hpp"

#include <fmt/format.h>

#include <string>

#include "model/schema.hpp"

namespace carvalen::demo {

Database::Database(const std::filesystem::path& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) Fail(fmt::format("cannot create {}", path.string()));
}

void Database::Exec(const std::string& sql) {
  if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail(sql.substr(0, sql.find('\n')));
  }
}

void Database::Fail(std::string_view what) const {
  throw DemoError(fmt::format("{}: {}", what, sqlite3_errmsg(db_.get())));
}

Insert::Insert(Database& db, std::string_view table) : db_(db) {
  const model::Table* found = model::FindTable(table);
  if (found == nullptr) throw DemoError(fmt::format("internal: no table {}", table));
  std::string columns;
  std::string marks;
  for (const model::Column& column : found->columns) {
    columns += columns.empty() ? "" : ",";
    columns += column.name;
    marks += marks.empty() ? "?" : ",?";
  }
  columns_ = static_cast<int>(found->columns.size());
  std::string sql = fmt::format("INSERT INTO {} ({}) VALUES ({})", table, columns, marks);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(db.Handle(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
      SQLITE_OK) {
    db.Fail(sql);
  }
  stmt_.reset(raw);
}

void Insert::Row() {
  if (bound_ != columns_) {
    throw DemoError(fmt::format("internal: {} values for {} columns", bound_, columns_));
  }
  if (sqlite3_step(stmt_.get()) != SQLITE_DONE) db_.Fail("insert");
  sqlite3_reset(stmt_.get());
  bound_ = 0;
  ++rows_;
}

}  // namespace carvalen::demo
