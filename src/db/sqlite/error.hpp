// SQLite's failures as the library's errors.
#pragma once

#include <sqlite3.h>

#include <string>

#include "carvalen/error.hpp"

namespace carvalen::db::sqlite {

/// The one place where SQLite's errors become ours: number = extended code, description and
/// native message = sqlite3_errmsg (copied before anything else can overwrite it), native code =
/// "SQLITE_X" plus "/<extended>" when the extended code says more.
Error SqliteError(sqlite3* db, int rc, const std::string& statement);

}  // namespace carvalen::db::sqlite
