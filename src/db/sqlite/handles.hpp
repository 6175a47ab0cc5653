// Owning SQLite handles: a connection closed and a statement finalised by its destructor. For the
// .cpp files that talk to libsqlite3 themselves (the driver, the demo writer); no header of the
// client includes this, so sqlite3.h stays out of everything else.
#pragma once

#include <sqlite3.h>

#include <memory>

namespace carvalen::db {

struct StmtDeleter {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

struct DbDeleter {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbDeleter>;

}  // namespace carvalen::db
