#include "db/sqlite/session.hpp"

#include <sys/stat.h>

#include <charconv>
#include <climits>

#include "db/abandon.hpp"
#include "db/errors.hpp"
#include "db/sqlite/error.hpp"
#include "value/text.hpp"

namespace carvalen::db::sqlite {
namespace {

/// Whether `tail` holds nothing but blanks, semicolons and comments.
bool OnlyTrivia(const char* tail) {
  const char* p = tail;
  while (*p != '\0') {
    char c = *p;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == ';') {
      ++p;
    } else if (c == '-' && p[1] == '-') {
      while (*p != '\0' && *p != '\n') ++p;
    } else if (c == '/' && p[1] == '*') {
      p += 2;
      while (*p != '\0' && !(p[0] == '*' && p[1] == '/')) ++p;
      if (*p != '\0') p += 2;
    } else {
      return false;
    }
  }
  return true;
}

/// Settings a caller must not change through a statement: they make the session writable or
/// would let it create files. ATTACH could create a new database file.
int Authorize(void*, int action, const char* arg1, const char* arg2, const char*, const char*) {
  if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
  if (action == SQLITE_PRAGMA && arg1 != nullptr && arg2 != nullptr) {
    for (const char* name : {"query_only", "writable_schema", "journal_mode", "locking_mode"}) {
      if (text::EqualsNoCase(arg1, name)) return SQLITE_DENY;
    }
  }
  return SQLITE_OK;
}

}  // namespace

SqliteConnection::SqliteConnection(DbPtr db, std::int32_t cache_size)
    : db_(std::move(db)), cache_(cache_size) {
  sqlite3_progress_handler(db_.get(), 1000, &SqliteConnection::Progress, this);
}

StmtPtr SqliteConnection::Prepare(const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  int rc =
      sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size() + 1), &raw, &tail);
  StmtPtr stmt(raw);
  if (rc != SQLITE_OK) throw SqliteError(db_.get(), rc, sql);
  if (!stmt) {
    Error error = LayerError(dberr::kInvalidArgument, kTextNoCommand);
    error.WithNative({}, sql);
    throw error;
  }
  if (tail != nullptr && !OnlyTrivia(tail)) {
    Error error = LayerError(dberr::kInvalidArgument, kTextSecondStatement);
    error.WithNative({}, sql);
    throw error;
  }
  return stmt;
}

int SqliteConnection::Step(sqlite3_stmt* stmt, std::int32_t timeout) {
  armed_ = timeout > 0;
  if (armed_) deadline_ = Clock::now() + std::chrono::seconds(timeout);
  // A statement too short to reach the progress handler still stops when its caller has gone.
  if (Abandoned()) sqlite3_interrupt(db_.get());
  int rc = sqlite3_step(stmt);
  armed_ = false;
  return rc;
}

void SqliteConnection::Execute(const std::string& sql, std::int32_t timeout) {
  read_uncommitted_ = -1;  // a caller's command may have changed it: sent again next time
  StmtPtr stmt = Prepare(sql);
  for (;;) {
    int rc = Step(stmt.get(), timeout);
    if (rc == SQLITE_DONE) return;
    if (rc != SQLITE_ROW) throw SqliteError(db_.get(), rc, sql);
  }
}

void SqliteConnection::SetIsolation(const std::string& level) {
  // Readers always see committed data (a WAL snapshot, or the shared lock of a rollback
  // journal); only READ UNCOMMITTED means anything more (and only to connections sharing a
  // cache).
  int wanted = level == "READ UNCOMMITTED" ? 1 : 0;
  if (wanted == read_uncommitted_) return;
  Execute(wanted ? "PRAGMA read_uncommitted=1" : "PRAGMA read_uncommitted=0", 0);
  read_uncommitted_ = wanted;
}

std::unique_ptr<Cursor> SqliteConnection::Query(const std::string& sql, std::int32_t timeout,
                                                bool /*whole*/) {
  if (CachedStatement* cached = Lend(sql)) {
    return std::make_unique<SqliteCursor>(*this, nullptr, cached, sql, timeout);
  }
  StmtPtr stmt = Prepare(sql);
  return std::make_unique<SqliteCursor>(*this, std::move(stmt), nullptr, sql, timeout);
}

void SqliteConnection::GiveBack(CachedStatement& cached) {
  sqlite3_reset(cached.stmt.get());
  sqlite3_clear_bindings(cached.stmt.get());
  cached.lent = false;
}

std::vector<std::vector<Variant>> SqliteConnection::Columns(const Variant& table,
                                                            const Variant& column,
                                                            std::int32_t timeout,
                                                            std::string& sql) {
  // SQLite resolves identifiers without regard to (ASCII) case: so does NOCASE.
  sql =
      "SELECT m.name, p.name, p.cid + 1, p.type FROM sqlite_master AS m JOIN "
      "pragma_table_info(m.name) AS p WHERE m.type IN ('table', 'view') AND (?1 IS NULL OR "
      "m.name = ?1 COLLATE NOCASE) AND (?2 IS NULL OR p.name = ?2 COLLATE NOCASE) ORDER BY "
      "m.name, p.cid";
  StmtPtr stmt = Prepare(sql);
  auto bind = [&](int index, const Variant& value) {
    if (value.IsNull()) return;
    std::string text = value.ToString();
    int rc = sqlite3_bind_text(stmt.get(), index, text.data(), static_cast<int>(text.size()),
                               SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) throw SqliteError(db_.get(), rc, sql);
  };
  bind(1, table);
  bind(2, column);
  std::vector<std::vector<Variant>> rows;
  for (;;) {
    int rc = Step(stmt.get(), timeout);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) throw SqliteError(db_.get(), rc, sql);
    auto text = [&](int i) {
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), i));
      return Variant(std::string(p != nullptr ? p : ""));
    };
    rows.push_back({Variant::Null(), Variant("main"), text(0), text(1),
                    Variant(static_cast<std::int32_t>(sqlite3_column_int(stmt.get(), 2))),
                    text(3)});
  }
  return rows;
}

void SqliteConnection::SetConnectionTimeout(std::int32_t seconds) {
  // 0 means wait for ever; SQLite takes milliseconds in an int.
  int ms = seconds <= 0 || seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
  if (ms == busy_ms_) return;
  sqlite3_busy_timeout(db_.get(), ms);
  busy_ms_ = ms;
}

bool SqliteConnection::Healthy() {
  // A kept session holds on to the file it opened even after that file is removed or replaced
  // (a new copy renamed over it), and would go on answering from rows nobody can see any more:
  // the name must still lead to the same file.
  // Looked at on every lease: a file replaced before a call starts is what that call reads.
  // The watch spares the stat while nothing happened to the name.
  if (path_.empty() || Unchanged(watch_)) return true;
  WatchStamp fresh = StampPath(path_, /*content=*/false);
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || st.st_dev != device_ || st.st_ino != inode_) {
    return false;
  }
  watch_ = std::move(fresh);
  return true;
}

bool SqliteConnection::Reusable() {
  // Kept statements stay prepared, reset; any statement still running holds the session.
  for (sqlite3_stmt* s = sqlite3_next_stmt(db_.get(), nullptr); s != nullptr;
       s = sqlite3_next_stmt(db_.get(), s)) {
    if (sqlite3_stmt_busy(s)) return false;
  }
  if (cache_.AnyOf([](const CachedStatement& cached) { return cached.lent; })) return false;
  return !immutable && sqlite3_get_autocommit(db_.get());
}

void SqliteConnection::Configure(std::int32_t connection_timeout) {
  sqlite3_extended_result_codes(db_.get(), 1);
  // The file's identity now, for Healthy; checked before the first read, so a file replaced
  // in between is caught at the next lease at worst.
  const char* file = sqlite3_db_filename(db_.get(), "main");
  struct stat opened {};
  if (file != nullptr && *file != '\0') watch_ = StampPath(file, /*content=*/false);
  if (file != nullptr && *file != '\0' && ::stat(file, &opened) == 0) {
    path_ = file;
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
  }
  SetConnectionTimeout(connection_timeout);
  Execute("PRAGMA query_only=1", 0);
  sqlite3_set_authorizer(db_.get(), &Authorize, nullptr);
  Execute("SELECT 1 FROM sqlite_master LIMIT 1", 0);
  read_uncommitted_ = 0;  // the default of a new session
}

CachedStatement* SqliteConnection::Lend(const std::string& sql) {
  if (!cache_.Enabled() || !LiftLiterals(sql, PlaceholderStyle::Question, lifted_)) {
    return nullptr;
  }
  CachedStatement* cached = cache_.Use(lifted_.shape);
  if (cached == nullptr) cached = &Keep(lifted_.shape);
  if (!cached->stmt || cached->lent) return nullptr;
  sqlite3_stmt* stmt = cached->stmt.get();
  int rc = SQLITE_OK;
  for (std::size_t i = 0; i < lifted_.literals.size() && rc == SQLITE_OK; ++i) {
    const Literal& literal = lifted_.literals[i];
    const int index = static_cast<int>(i + 1);
    switch (literal.kind) {
      case LiteralKind::Integer:
      case LiteralKind::BigInteger: {
        std::int64_t value = 0;
        std::from_chars(literal.text.data(), literal.text.data() + literal.text.size(), value);
        rc = sqlite3_bind_int64(stmt, index, value);
        break;
      }
      case LiteralKind::Decimal:
        rc = sqlite3_bind_double(stmt, index, RealOf(literal.text));
        break;
      case LiteralKind::Text: {
        // SQLite copies the text; a doubled quote is undone first.
        std::string undoubled;
        std::string_view value = literal.text;
        if (value.find('\'') != std::string_view::npos) value = undoubled = literal.Value();
        rc = sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()),
                               SQLITE_TRANSIENT);
        break;
      }
    }
  }
  if (rc != SQLITE_OK) {
    GiveBack(*cached);
    return nullptr;
  }
  cached->lent = true;
  return cached;
}

CachedStatement& SqliteConnection::Keep(const std::string& shape) {
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v3(db_.get(), shape.c_str(), static_cast<int>(shape.size() + 1),
                                    SQLITE_PREPARE_PERSISTENT, &raw, &tail);
  StmtPtr stmt(raw);
  if (rc != SQLITE_OK || (tail != nullptr && !OnlyTrivia(tail))) stmt.reset();
  if (cache_.Full()) cache_.TakeOldest([](const CachedStatement& kept) { return !kept.lent; });
  return cache_.Insert(shape, CachedStatement{std::move(stmt), false, nullptr});
}

double SqliteConnection::RealOf(std::string_view text) {
  if (!to_real_) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v3(db_.get(), "SELECT CAST(?1 AS REAL)", -1, SQLITE_PREPARE_PERSISTENT, &raw,
                       nullptr);
    to_real_.reset(raw);
  }
  sqlite3_stmt* stmt = to_real_.get();
  sqlite3_bind_text(stmt, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  const double value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_double(stmt, 0) : 0.0;
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return value;
}

int SqliteConnection::Progress(void* self) {
  auto* session = static_cast<SqliteConnection*>(self);
  return (session->armed_ && Clock::now() >= session->deadline_) || Abandoned() ? 1 : 0;
}

}  // namespace carvalen::db::sqlite
