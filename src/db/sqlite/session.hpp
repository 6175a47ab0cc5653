// A SQLite session: read-only and guarded, statements kept prepared by shape, the command
// time-out a deadline checked while a statement runs.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver.hpp"
#include "db/file_watch.hpp"
#include "db/literal_lexer.hpp"
#include "db/sqlite/cursor.hpp"
#include "db/sqlite/handles.hpp"
#include "db/statement_cache.hpp"

namespace carvalen::db::sqlite {

using Clock = std::chrono::steady_clock;

class SqliteConnection final : public PhysicalConnection {
 public:
  SqliteConnection(DbPtr db, std::int32_t cache_size);

  sqlite3* Handle() const { return db_.get(); }

  /// Prepares exactly one statement; a second one in the text fails.
  StmtPtr Prepare(const std::string& sql);

  /// One sqlite3_step under the command time-out.
  int Step(sqlite3_stmt* stmt, std::int32_t timeout);

  void Execute(const std::string& sql, std::int32_t timeout) override;

  void SetIsolation(const std::string& level) override;

  std::unique_ptr<Cursor> Query(const std::string& sql, std::int32_t timeout,
                                bool /*whole*/) override;

  /// Gives a statement lent to a cursor back to the cache, reset and unbound.
  void GiveBack(CachedStatement& cached);

  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override;

  void SetConnectionTimeout(std::int32_t seconds) override;

  bool Healthy() override;

  bool Reusable() override;

  /// The session set-up: read-only, guarded, and a first read that proves the file readable
  /// (a WAL database whose -shm cannot be made fails only there).
  void Configure(std::int32_t connection_timeout);

  /// Set on a session that reads the file as immutable: it sees no later change, so it is used
  /// for one caller-level connection only.
  bool immutable = false;

 private:
  std::string path_;  // empty: nothing to compare (an in-memory database)
  dev_t device_ = 0;
  ino_t inode_ = 0;
  WatchStamp watch_;  // taken before the identity above was looked at

 private:
  /// The kept statement for the shape of `sql`, its literals bound, or null when the text goes
  /// as it is: the lexer is unsure of it, its shape does not prepare (the text then fails or
  /// succeeds as it always did), or the statement is lent to another cursor right now.
  CachedStatement* Lend(const std::string& sql);

  /// Prepares `shape` into the cache (a shape that does not prepare is kept as such), dropping
  /// the least recently used statement that is not lent when the cache is full.
  CachedStatement& Keep(const std::string& shape);

  /// The double that SQLite itself reads from the literal `text` (its own conversion, so that
  /// a bound value equals the literal to the last bit).
  double RealOf(std::string_view text);

  static int Progress(void* self);

  DbPtr db_;
  bool armed_ = false;
  Clock::time_point deadline_{};
  int busy_ms_ = -1;
  int read_uncommitted_ = 0;
  // Destroyed before the database handle.
  StatementCache<CachedStatement> cache_;
  LiftedStatement lifted_;  // scratch, its buffers reused
  StmtPtr to_real_;
};

}  // namespace carvalen::db::sqlite
