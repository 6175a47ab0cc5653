// The SQLite driver (libsqlite3). The file is opened read-only and its journal mode is left to
// its owner (nothing that persists is changed); sessions run with query_only=1; the connection
// time-out is the busy time-out, the command time-out a deadline that a progress handler checks
// while a statement runs.
#include <sqlite3.h>
#include <sys/stat.h>

#include <charconv>
#include <chrono>
#include <climits>
#include <filesystem>
#include <list>
#include <string>
#include <unordered_map>

#include "db/driver.hpp"
#include "db/errors.hpp"
#include "db/file_watch.hpp"
#include "db/literal_lexer.hpp"
#include "db/sqlite/handles.hpp"
#include "value/text.hpp"

namespace carvalen::db {
namespace {

using Clock = std::chrono::steady_clock;

const char* PrimaryName(int code) {
  switch (code & 0xFF) {
    case SQLITE_ERROR:
      return "SQLITE_ERROR";
    case SQLITE_INTERNAL:
      return "SQLITE_INTERNAL";
    case SQLITE_PERM:
      return "SQLITE_PERM";
    case SQLITE_ABORT:
      return "SQLITE_ABORT";
    case SQLITE_BUSY:
      return "SQLITE_BUSY";
    case SQLITE_LOCKED:
      return "SQLITE_LOCKED";
    case SQLITE_NOMEM:
      return "SQLITE_NOMEM";
    case SQLITE_READONLY:
      return "SQLITE_READONLY";
    case SQLITE_INTERRUPT:
      return "SQLITE_INTERRUPT";
    case SQLITE_IOERR:
      return "SQLITE_IOERR";
    case SQLITE_CORRUPT:
      return "SQLITE_CORRUPT";
    case SQLITE_NOTFOUND:
      return "SQLITE_NOTFOUND";
    case SQLITE_FULL:
      return "SQLITE_FULL";
    case SQLITE_CANTOPEN:
      return "SQLITE_CANTOPEN";
    case SQLITE_PROTOCOL:
      return "SQLITE_PROTOCOL";
    case SQLITE_SCHEMA:
      return "SQLITE_SCHEMA";
    case SQLITE_TOOBIG:
      return "SQLITE_TOOBIG";
    case SQLITE_CONSTRAINT:
      return "SQLITE_CONSTRAINT";
    case SQLITE_MISMATCH:
      return "SQLITE_MISMATCH";
    case SQLITE_MISUSE:
      return "SQLITE_MISUSE";
    case SQLITE_NOLFS:
      return "SQLITE_NOLFS";
    case SQLITE_AUTH:
      return "SQLITE_AUTH";
    case SQLITE_FORMAT:
      return "SQLITE_FORMAT";
    case SQLITE_RANGE:
      return "SQLITE_RANGE";
    case SQLITE_NOTADB:
      return "SQLITE_NOTADB";
    default:
      return "SQLITE_UNKNOWN";
  }
}

/// The one place where SQLite's errors become ours: number = extended code, description and
/// native message = sqlite3_errmsg (copied before anything else can overwrite it), native code =
/// "SQLITE_X" plus "/<extended>" when the extended code says more.
Error SqliteError(sqlite3* db, int rc, const std::string& statement) {
  int code = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if (code == SQLITE_OK) code = rc;  // an error reported without one on the handle
  std::string native = PrimaryName(code);
  if (code != (code & 0xFF)) native += "/" + std::to_string(code);
  Error error(code, message, "SQLite");
  error.WithNative(std::move(native), statement).WithMessage(std::move(message));
  return error;
}

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

enum class DeclKind { Other, Date, Boolean };

DeclKind KindOf(const char* decltype_text) {
  if (decltype_text == nullptr) return DeclKind::Other;
  std::string upper(decltype_text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper.rfind("DATE", 0) == 0 || upper.rfind("TIMESTAMP", 0) == 0) return DeclKind::Date;
  if (upper == "BOOLEAN" || upper == "BOOL") return DeclKind::Boolean;
  return DeclKind::Other;
}

class SqliteConnection;

/// A statement kept prepared by its shape; lent to one cursor at a time.
/// What a statement's result looks like: made once per cached statement, not per run.
struct ResultShape {
  FieldSet fields;
  std::vector<DeclKind> kinds;
  int reprepared = 0;  // SQLite recompiles a statement whose tables changed: then they may too

  explicit ResultShape(sqlite3_stmt* stmt);
};

ResultShape::ResultShape(sqlite3_stmt* stmt)
    : reprepared(sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0)) {
  const int n = sqlite3_column_count(stmt);
  std::vector<std::string> names;
  names.reserve(n);
  kinds.reserve(n);
  for (int i = 0; i < n; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    names.emplace_back(name != nullptr ? name : "");
    kinds.push_back(KindOf(sqlite3_column_decltype(stmt, i)));
  }
  fields = FieldSet(std::move(names));
}

/// One row as SQLite gave it: numbers as they are, texts and blobs copied into one buffer; each
/// turned into a value only when read. Copied at once, since the statement moves on.
class SqliteRow final : public RowSource {
 public:
  /// `bytes`: what the texts of the row are expected to take (the last row's), reserved at once.
  SqliteRow(sqlite3_stmt* stmt, std::shared_ptr<const ResultShape> shape, std::size_t bytes);
  std::size_t Bytes() const { return bytes_.size(); }
  Variant Value(std::size_t row, std::size_t column) const override;

 private:
  struct Cell {
    int type = SQLITE_NULL;
    std::uint32_t length = 0;  // of a text or blob
    union {
      std::int64_t integer = 0;
      double real;
      std::size_t offset;  // of a text or blob in bytes_
    };
  };
  std::shared_ptr<const ResultShape> shape_;
  std::vector<Cell> cells_;
  std::string bytes_;
};

SqliteRow::SqliteRow(sqlite3_stmt* stmt, std::shared_ptr<const ResultShape> shape,
                     std::size_t bytes)
    : shape_(std::move(shape)), cells_(shape_->kinds.size()) {
  bytes_.reserve(bytes);
  // Each column through its value object: one call for the column and light ones for its type
  // and contents, where every sqlite3_column_* call checks the statement and the index again.
  // The object is unprotected; the session is used by one thread at a time (the pool sees to
  // it), which is what reading it requires.
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    sqlite3_value* value = sqlite3_column_value(stmt, static_cast<int>(i));
    Cell& cell = cells_[i];
    cell.type = sqlite3_value_type(value);
    switch (cell.type) {
      case SQLITE_NULL:
        break;
      case SQLITE_INTEGER:
        cell.integer = sqlite3_value_int64(value);
        break;
      case SQLITE_FLOAT:
        cell.real = sqlite3_value_double(value);
        break;
      default: {  // text or blob: their bytes
        const auto* p = cell.type == SQLITE_TEXT
                            ? reinterpret_cast<const char*>(sqlite3_value_text(value))
                            : static_cast<const char*>(sqlite3_value_blob(value));
        cell.length = static_cast<std::uint32_t>(sqlite3_value_bytes(value));
        cell.offset = bytes_.size();
        if (p != nullptr) bytes_.append(p, cell.length);
        break;
      }
    }
  }
}

Variant SqliteRow::Value(std::size_t /*row*/, std::size_t column) const {
  const Cell& cell = cells_[column];
  const DeclKind kind = shape_->kinds[column];
  switch (cell.type) {
    case SQLITE_NULL:
      return Variant::Null();
    case SQLITE_INTEGER:
      return kind == DeclKind::Boolean ? Variant(cell.integer != 0) : IntegerValue(cell.integer);
    case SQLITE_FLOAT:
      return Variant(cell.real);
    default: {
      const std::string_view bytes(bytes_.data() + cell.offset, cell.length);
      Date date;
      if (cell.type == SQLITE_TEXT && kind == DeclKind::Date && ParseDateText(bytes, date)) {
        return Variant(date);
      }
      return Variant(std::string(bytes));  // a blob: its bytes as text
    }
  }
}

struct CachedStatement {
  std::string shape;
  StmtPtr stmt;  // null: the shape does not prepare, its texts go as they are
  bool lent = false;
  std::shared_ptr<const ResultShape> columns;  // made on the first run
};

class SqliteCursor final : public Cursor {
 public:
  /// Reads `stmt`, which the cursor owns, or `cached`, which it borrows from the session's cache
  /// until it is destroyed.
  SqliteCursor(SqliteConnection& session, StmtPtr stmt, CachedStatement* cached, std::string sql,
               std::int32_t timeout);
  ~SqliteCursor() override;
  SqliteCursor(const SqliteCursor&) = delete;
  SqliteCursor& operator=(const SqliteCursor&) = delete;
  const FieldSetPtr& Fields() const override { return fields_; }
  bool Next(Row& row) override;
  void Rewind() override {
    sqlite3_reset(stmt_);
    done_ = false;
  }
  void Finish() override {
    sqlite3_reset(stmt_);
    done_ = true;
  }

 private:
  SqliteConnection& session_;
  StmtPtr owned_;
  CachedStatement* cached_;
  sqlite3_stmt* stmt_;
  std::string sql_;
  std::int32_t timeout_;
  /// The shape of the statement as it is prepared now.
  void Reshape();

  std::shared_ptr<const ResultShape> columns_;
  FieldSetPtr fields_;          // shares columns_
  std::size_t bytes_hint_ = 0;  // the texts of the last row read
  bool done_ = false;
};

class SqliteConnection final : public PhysicalConnection {
 public:
  SqliteConnection(DbPtr db, std::int32_t cache_size)
      : db_(std::move(db)), cache_size_(cache_size) {
    sqlite3_progress_handler(db_.get(), 1000, &SqliteConnection::Progress, this);
  }

  sqlite3* Handle() const { return db_.get(); }

  /// Prepares exactly one statement; a second one in the text fails.
  StmtPtr Prepare(const std::string& sql) {
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

  /// One sqlite3_step under the command time-out.
  int Step(sqlite3_stmt* stmt, std::int32_t timeout) {
    armed_ = timeout > 0;
    if (armed_) deadline_ = Clock::now() + std::chrono::seconds(timeout);
    int rc = sqlite3_step(stmt);
    armed_ = false;
    return rc;
  }

  void Execute(const std::string& sql, std::int32_t timeout) override {
    read_uncommitted_ = -1;  // a caller's command may have changed it: sent again next time
    StmtPtr stmt = Prepare(sql);
    for (;;) {
      int rc = Step(stmt.get(), timeout);
      if (rc == SQLITE_DONE) return;
      if (rc != SQLITE_ROW) throw SqliteError(db_.get(), rc, sql);
    }
  }

  void SetIsolation(const std::string& level) override {
    // Readers always see committed data (a WAL snapshot, or the shared lock of a rollback
    // journal); only READ UNCOMMITTED means anything more (and only to connections sharing a
    // cache).
    int wanted = level == "READ UNCOMMITTED" ? 1 : 0;
    if (wanted == read_uncommitted_) return;
    Execute(wanted ? "PRAGMA read_uncommitted=1" : "PRAGMA read_uncommitted=0", 0);
    read_uncommitted_ = wanted;
  }

  std::unique_ptr<Cursor> Query(const std::string& sql, std::int32_t timeout,
                                bool /*whole*/) override {
    if (CachedStatement* cached = Lend(sql)) {
      return std::make_unique<SqliteCursor>(*this, nullptr, cached, sql, timeout);
    }
    StmtPtr stmt = Prepare(sql);
    return std::make_unique<SqliteCursor>(*this, std::move(stmt), nullptr, sql, timeout);
  }

  /// Gives a statement lent to a cursor back to the cache, reset and unbound.
  void GiveBack(CachedStatement& cached) {
    sqlite3_reset(cached.stmt.get());
    sqlite3_clear_bindings(cached.stmt.get());
    cached.lent = false;
  }

  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override {
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

  void SetConnectionTimeout(std::int32_t seconds) override {
    // 0 means wait for ever; SQLite takes milliseconds in an int.
    int ms = seconds <= 0 || seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
    if (ms == busy_ms_) return;
    sqlite3_busy_timeout(db_.get(), ms);
    busy_ms_ = ms;
  }

  bool Healthy() override {
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

  bool Reusable() override {
    // Kept statements stay prepared, reset; any statement still running holds the session.
    for (sqlite3_stmt* s = sqlite3_next_stmt(db_.get(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(db_.get(), s)) {
      if (sqlite3_stmt_busy(s)) return false;
    }
    for (const CachedStatement& cached : lru_) {
      if (cached.lent) return false;
    }
    return !immutable && sqlite3_get_autocommit(db_.get());
  }

  /// The session set-up: read-only, guarded, and a first read that proves the file readable
  /// (a WAL database whose -shm cannot be made fails only there).
  void Configure(std::int32_t connection_timeout) {
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
  CachedStatement* Lend(const std::string& sql) {
    if (cache_size_ <= 0 || !LiftLiterals(sql, PlaceholderStyle::Question, lifted_)) {
      return nullptr;
    }
    CachedStatement* cached = nullptr;
    if (auto it = index_.find(lifted_.shape); it != index_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second);
      cached = &*it->second;
    } else {
      cached = &Keep(lifted_.shape);
    }
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

  /// Prepares `shape` into the cache (a shape that does not prepare is kept as such), dropping
  /// the least recently used statement that is not lent when the cache is full.
  CachedStatement& Keep(const std::string& shape) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), shape.c_str(), static_cast<int>(shape.size() + 1),
                                      SQLITE_PREPARE_PERSISTENT, &raw, &tail);
    StmtPtr stmt(raw);
    if (rc != SQLITE_OK || (tail != nullptr && !OnlyTrivia(tail))) stmt.reset();
    if (static_cast<std::int32_t>(lru_.size()) >= cache_size_) {
      for (auto it = lru_.end(); it != lru_.begin();) {
        --it;
        if (it->lent) continue;
        index_.erase(it->shape);
        lru_.erase(it);
        break;
      }
    }
    lru_.push_front(CachedStatement{shape, std::move(stmt), false, nullptr});
    index_.emplace(lru_.front().shape, lru_.begin());
    return lru_.front();
  }

  /// The double that SQLite itself reads from the literal `text` (its own conversion, so that
  /// a bound value equals the literal to the last bit).
  double RealOf(std::string_view text) {
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

  static int Progress(void* self) {
    auto* session = static_cast<SqliteConnection*>(self);
    return session->armed_ && Clock::now() >= session->deadline_ ? 1 : 0;
  }

  DbPtr db_;
  bool armed_ = false;
  Clock::time_point deadline_{};
  int busy_ms_ = -1;
  int read_uncommitted_ = 0;
  // The statement cache, most recently used first; destroyed before the database handle.
  std::int32_t cache_size_;
  LiftedStatement lifted_;  // scratch, its buffers reused
  std::list<CachedStatement> lru_;
  std::unordered_map<std::string_view, std::list<CachedStatement>::iterator> index_;
  StmtPtr to_real_;
};

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
  if (rc != SQLITE_OK) throw SqliteError(db.get(), rc, "Data Source=" + path);
  auto session = std::make_unique<SqliteConnection>(std::move(db), cache_size);
  session->immutable = immutable;
  session->Configure(connection_timeout);
  return session;
}

}  // namespace

std::unique_ptr<PhysicalConnection> OpenSqlite(const ConnectionSettings& settings,
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
