// The SQLite driver (libsqlite3). The file is opened read-only and its journal mode is left to
// its owner (nothing that persists is changed); sessions run with query_only=1; the connection
// time-out is the busy time-out, the command time-out a deadline that a progress handler checks
// while a statement runs.
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "db/driver.hpp"
#include "db/errors.hpp"
#include "db/sqlite/error.hpp"
#include "db/sqlite/handles.hpp"
#include "db/sqlite/session.hpp"

namespace carvalen::db {
namespace {

/// "file:" URI of `path` with immutable=1, for sqlite3_open_v2 with SQLITE_OPEN_URI.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  const std::string absolute = std::filesystem::absolute(path).string();
  for (unsigned char c : absolute) {
    if (c == '%' || c == '?' || c == '#' || c < 0x21 || c >= 0x7F) {
      static const char hex[] = "0123456789ABCDEF";
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 0xF];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?immutable=1";
}

/// Opens `path` read-only; without SQLITE_OPEN_CREATE, so a missing file fails.
std::unique_ptr<PhysicalConnection> OpenFile(const std::string& path, bool immutable,
                                             std::int32_t connection_timeout,
                                             std::int32_t cache_size) {
  const std::string name = immutable ? ImmutableUri(path) : path;
  int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | (immutable ? SQLITE_OPEN_URI : 0);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
  DbPtr db(raw);
  if (rc != SQLITE_OK) throw sqlite::SqliteError(db.get(), rc, {}).WithDatabase(path);
  auto session = std::make_unique<sqlite::SqliteConnection>(std::move(db), cache_size);
  session->immutable = immutable;
  session->Configure(connection_timeout);
  return session;
}

}  // namespace

std::unique_ptr<PhysicalConnection> OpenSqlite(const ParsedConnection& settings,
                                               std::int32_t connection_timeout) {
  std::string path;
  for (const auto& [key, value] : settings.keys) {
    if (key != "data source") {
      throw LayerError(dberr::kInvalidArgument, "Invalid connection string: the key '" + key +
                                                    "' is not known to the SQLite provider.");
    }
    path = value;
  }
  if (path.empty()) {
    throw LayerError(dberr::kInvalidArgument,
                     "Invalid connection string: the SQLite provider needs a Data Source.");
  }
  try {
    return OpenFile(path, false, connection_timeout, settings.statement_cache_size);
  } catch (const Error& e) {
    // A WAL database in a folder where we may not create its -shm index cannot be read the
    // normal way (SQLITE_READONLY_DIRECTORY, or _CANTINIT for an -shm we may not write). When it
    // has no (or an empty) -wal file, the database file alone holds every committed row, and SQLite
    // reads it without the index as immutable. That is safe only while nobody writes to it, which a
    // folder closed to writers suggests; the owner can avoid the question by switching the database
    // to a rollback journal.
    std::error_code ec;
    const auto wal_size = std::filesystem::file_size(path + "-wal", ec);
    if ((e.Number() & 0xFF) != SQLITE_READONLY || (!ec && wal_size != 0)) throw;
    return OpenFile(path, true, connection_timeout, settings.statement_cache_size);
  }
}

}  // namespace carvalen::db
