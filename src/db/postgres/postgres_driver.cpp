// The PostgreSQL driver (libpq). Every statement goes through the extended protocol
// (no parameters, text results), which refuses a text holding a second statement; a query's rows
// arrive one at a time (single-row mode), so a read that stops early fetches no more. Sessions are
// read-only with JIT off, server notices go nowhere, and the command time-out is the session's
// statement_timeout, sent only when it changes. The session's TimeZone is the host's local zone,
// so that a timestamptz reads as the local wall time that "today" is measured in.
// standard_conforming_strings is forced on: the utilities component quotes text by doubling
// quotes, which is injection-proof only while a backslash is an ordinary character.
//
// The settings go as startup options. Behind a connection pooler (the Pooler key, or a server
// that refuses startup options) they go as statements instead (session_settings.hpp); behind a
// transaction pooler each statement runs in a read-only transaction of its own that takes them
// first, in one round trip, its rows fetched whole and no statement kept prepared.
#include <poll.h>

#include <charconv>
#include <climits>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "db/driver.hpp"
#include "db/errors.hpp"
#include "db/literal_lexer.hpp"
#include "db/postgres/libpq.hpp"
#include "db/postgres/session_settings.hpp"
#include "value/text.hpp"

namespace carvalen::db {
namespace {

// Type OIDs of the built-in types we convert (pg_type.dat); everything else stays text.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701,
              kUnknown = 705, kNumeric = 1700, kDateOid = 1082, kTimestamp = 1114,
              kTimestampTz = 1184;

struct ResultDeleter {
  void operator()(PGresult* r) const { pg::Pq().PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
  void operator()(PGconn* c) const { pg::Pq().PQfinish(c); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnDeleter>;

/// The SQLSTATE packed as the server packs it internally (six bits a character, first character
/// lowest), so each state has one stable number.
std::int32_t PackSqlState(std::string_view state) {
  std::uint32_t packed = 0;
  for (std::size_t i = 0; i < 5 && i < state.size(); ++i) {
    packed |= (static_cast<std::uint32_t>(state[i] - '0') & 0x3F) << (6 * i);
  }
  return static_cast<std::int32_t>(packed);
}

std::string TrimmedMessage(const char* text) {
  return std::string(text::TrimBlanks(text != nullptr ? text : ""));
}

/// The one place where libpq's errors become ours: number = packed SQLSTATE, description = the
/// primary message, native code = the SQLSTATE, native message = libpq's whole text (with the
/// server's detail, hint and position, which the description leaves out). A failure without a
/// result (the connection is gone) or without SQLSTATE (libpq's own errors) uses `fallback_state`.
Error PgError(PGconn* conn, const PGresult* result, const std::string& statement,
              const char* fallback_state = "08006") {
  const char* state =
      result != nullptr ? pg::Pq().PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary =
      result != nullptr ? pg::Pq().PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const std::string whole = result != nullptr && *pg::Pq().PQresultErrorMessage(result) != '\0'
                                ? TrimmedMessage(pg::Pq().PQresultErrorMessage(result))
                                : TrimmedMessage(pg::Pq().PQerrorMessage(conn));
  std::string message = primary != nullptr ? std::string(primary) : whole;
  if (message.empty()) message = "unknown PostgreSQL error";
  std::string sqlstate =
      state != nullptr && std::string_view(state).size() == 5 ? state : fallback_state;
  Error error(PackSqlState(sqlstate), std::move(message), "PostgreSQL");
  error.WithNative(sqlstate, statement).WithMessage(whole);
  return error;
}

/// The keywords this libpq knows, for validating connection-string keys.
const std::unordered_set<std::string>& LibpqKeywords() {
  static const std::unordered_set<std::string> keywords = [] {
    std::unordered_set<std::string> set;
    PQconninfoOption* options = pg::Pq().PQconndefaults();
    if (options != nullptr) {
      for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) set.insert(o->keyword);
      pg::Pq().PQconninfoFree(options);
    }
    return set;
  }();
  return keywords;
}

/// Whether the session reads a backslash in '...' as an ordinary character.
bool QuotingIsStandard(const PGconn* conn) {
  const char* value = pg::Pq().PQparameterStatus(conn, "standard_conforming_strings");
  return value != nullptr && std::string_view(value) == "on";
}

bool ParseInt64(std::string_view text, std::int64_t& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

Variant ConvertValue(Oid type, std::string_view text) {
  switch (type) {
    case kInt2:
    case kInt4:
    case kInt8: {
      std::int64_t v = 0;
      if (!ParseInt64(text, v)) break;
      if (type == kInt2) return Variant(static_cast<std::int16_t>(v));
      return IntegerValue(v);
    }
    case kFloat4:
    case kFloat8:
    case kNumeric: {
      double v = 0;
      auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (ec != std::errc() || ptr != text.data() + text.size()) break;
      return Variant(v);
    }
    case kBool:
      return Variant(text == "t");
    case kDateOid:
    case kTimestamp:
    case kTimestampTz: {
      Date date;
      if (ParseDateText(text, date)) return Variant(date);
      break;  // 'infinity', BC dates: kept as text
    }
    default:
      break;
  }
  return Variant(std::string(text));
}

/// Row `index` of `result`, converted by the column types `types`.
void ReadRow(const PGresult* result, int index, const std::vector<Oid>& types,
             std::vector<Variant>& row) {
  const int n = static_cast<int>(types.size());
  row.resize(n);
  for (int i = 0; i < n; ++i) {
    if (pg::Pq().PQgetisnull(result, index, i)) {
      row[i] = Variant::Null();
    } else {
      std::string_view text(pg::Pq().PQgetvalue(result, index, i),
                            static_cast<std::size_t>(pg::Pq().PQgetlength(result, index, i)));
      row[i] = ConvertValue(types[i], text);
    }
  }
}

/// What a statement's result looks like: made once per prepared statement, not per run.
struct ResultShape {
  FieldSet fields;
  std::vector<Oid> types;

  explicit ResultShape(const PGresult* result);
  /// Whether `result` has these columns (a prepared statement's result type does not change
  /// while it lives: the server refuses to run it instead; the types are compared anyway).
  bool Describe(const PGresult* result) const;
};

ResultShape::ResultShape(const PGresult* result) {
  const int n = pg::Pq().PQnfields(result);
  std::vector<std::string> names;
  names.reserve(n);
  types.reserve(n);
  for (int i = 0; i < n; ++i) {
    names.emplace_back(pg::Pq().PQfname(result, i));
    types.push_back(pg::Pq().PQftype(result, i));
  }
  fields = FieldSet(std::move(names));
}

bool ResultShape::Describe(const PGresult* result) const {
  if (pg::Pq().PQnfields(result) != static_cast<int>(types.size())) return false;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (pg::Pq().PQftype(result, static_cast<int>(i)) != types[i]) return false;
  }
  return true;
}

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

/// The rows of one result, each value converted by its column's type when read. The result is
/// kept whole (libpq holds it as received), so nothing is copied for a value nobody reads.
class PgRows final : public RowSource {
 public:
  PgRows(ResultPtr result, std::shared_ptr<const ResultShape> shape)
      : result_(std::move(result)), shape_(std::move(shape)) {}
  int Count() const { return pg::Pq().PQntuples(result_.get()); }
  Variant Value(std::size_t row, std::size_t column) const override {
    const int r = static_cast<int>(row);
    const int c = static_cast<int>(column);
    if (pg::Pq().PQgetisnull(result_.get(), r, c)) return Variant::Null();
    return ConvertValue(
        shape_->types[column],
        std::string_view(pg::Pq().PQgetvalue(result_.get(), r, c),
                         static_cast<std::size_t>(pg::Pq().PQgetlength(result_.get(), r, c))));
  }

 private:
  ResultPtr result_;
  std::shared_ptr<const ResultShape> shape_;
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

class PgConnection final : public PhysicalConnection {
 public:
  /// `settings`: what a pooler in front of the server keeps from reaching it as startup
  /// options (nothing when there is none), among them the statement_timeout of
  /// `statement_timeout_ms`.
  PgConnection(ConnPtr conn, pg::Pooler pooler, std::vector<pg::ServerSetting> settings,
               std::int64_t statement_timeout_ms, std::int32_t cache_size)
      : conn_(std::move(conn)),
        pooler_(pooler),
        settings_(std::move(settings)),
        statement_timeout_ms_(statement_timeout_ms),
        // A statement prepared in one transaction may be missing from the server connection
        // that a transaction pooler gives the next one.
        cache_size_(pooler == pg::Pooler::Transaction ? 0 : cache_size) {
    settings_sql_ = "SELECT ";
    for (std::size_t i = 0; i < settings_.size(); ++i) {
      settings_sql_ += (i > 0 ? ", set_config($" : "set_config($") + std::to_string(2 * i + 1) +
                       ", $" + std::to_string(2 * i + 2) +
                       (pooler == pg::Pooler::Transaction ? ", true)" : ", false)");
    }
  }

  /// Sends the settings that did not go as startup options: behind a session pooler they
  /// hold for the session; behind a transaction pooler every statement takes them again, so
  /// this only shows that the server accepts them.
  void ApplySettings() {
    if (pooler_ == pg::Pooler::Transaction) {
      RunPooled({});
      return;
    }
    const std::vector<const char*> values = SettingValues();
    ResultPtr result(pg::Pq().PQexecParams(conn_.get(), settings_sql_.c_str(),
                                           static_cast<int>(values.size()), nullptr, values.data(),
                                           nullptr, nullptr, 0));
    Check(result.get(), settings_sql_);
  }

  /// Replaces the value of setting `name` (one of those given at construction).
  void ChangeSetting(std::string_view name, std::string value) {
    for (auto& setting : settings_) {
      if (setting.first == name) setting.second = std::move(value);
    }
  }

  pg::Pooler Pooler() const { return pooler_; }

  void Execute(const std::string& sql, std::int32_t timeout) override {
    ApplyTimeout(timeout);
    if (pooler_ == pg::Pooler::Transaction) {
      RunPooled(sql);
      return;
    }
    isolation_.clear();  // a caller's command may have changed it: sent again next time
    Run(sql);
  }

  void SetIsolation(const std::string& level) override {
    // Behind a transaction pooler each statement's own BEGIN names the level.
    if (pooler_ == pg::Pooler::Transaction) {
      isolation_ = level;
      return;
    }
    // Outside a transaction block the server answers SET TRANSACTION with a warning only; the
    // session default is what the following statements get. Sent once per session and level.
    if (level == isolation_) return;
    Simple("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL " + level);
    isolation_ = level;
  }

  std::unique_ptr<Cursor> Query(const std::string& sql, std::int32_t timeout, bool whole) override {
    ApplyTimeout(timeout);
    if (std::optional<BoundValues> bound = Bind(sql)) {
      std::shared_ptr<PreparedStatement> statement = bound->statement;
      try {
        return std::make_unique<PgCursor>(*this, sql, whole, std::move(bound));
      } catch (const Error& e) {
        // A value the server rejects at bind, a plan whose result type changed, a statement
        // deallocated behind our back: the text as it is fails (or not) in its own words.
        if (!FallsBackToText(e)) throw;
        Drop(*statement);
      }
    }
    return std::make_unique<PgCursor>(*this, sql, whole);
  }

  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override {
    // An unquoted identifier resolves in lower case, and to the first schema of the search
    // path that holds it: so the order.
    sql =
        "SELECT table_catalog::text, table_schema::text, table_name::text, column_name::text, "
        "ordinal_position::integer, data_type::text FROM information_schema.columns WHERE "
        "table_schema::name = ANY (current_schemas(false)) AND ($1::text IS NULL OR table_name "
        "= lower($1::text)) AND ($2::text IS NULL OR column_name = lower($2::text)) ORDER BY "
        "array_position(current_schemas(false), table_schema::name), table_name, "
        "ordinal_position";
    ApplyTimeout(timeout);
    std::string table_text = table.IsNull() ? std::string() : table.ToString();
    std::string column_text = column.IsNull() ? std::string() : column.ToString();
    const char* values[2] = {table.IsNull() ? nullptr : table_text.c_str(),
                             column.IsNull() ? nullptr : column_text.c_str()};
    Settle();
    ResultPtr result = pooler_ == pg::Pooler::Transaction
                           ? RunPooled(sql, 2, values)
                           : ResultPtr(pg::Pq().PQexecParams(conn_.get(), sql.c_str(), 2, nullptr,
                                                             values, nullptr, nullptr, 0));
    Check(result.get(), sql);
    const ResultShape columns(result.get());
    std::vector<std::vector<Variant>> rows(pg::Pq().PQntuples(result.get()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ReadRow(result.get(), static_cast<int>(i), columns.types, rows[i]);
    }
    return rows;
  }

  void SetConnectionTimeout(std::int32_t) override {}  // used only when connecting

  bool Healthy() override {
    PGconn* c = conn_.get();
    if (pg::Pq().PQstatus(c) != CONNECTION_OK || pg::Pq().PQtransactionStatus(c) != PQTRANS_IDLE)
      return false;
    // An idle session has nothing to say. A terminated backend sends its farewell error first
    // and closes the socket a moment later, so reading the message and finding the socket still
    // open proves nothing: anything readable at all means the session is not handed out again.
    pollfd fd{pg::Pq().PQsocket(c), POLLIN, 0};
    return poll(&fd, 1, 0) == 0;
  }

  bool Reusable() override {
    // A SET run through Execute could have turned the quoting rule off: such a session is not
    // handed to the next caller. Behind a transaction pooler every statement turns it on.
    return pg::Pq().PQstatus(conn_.get()) == CONNECTION_OK &&
           pg::Pq().PQtransactionStatus(conn_.get()) == PQTRANS_IDLE &&
           pg::Pq().PQpipelineStatus(conn_.get()) == PQ_PIPELINE_OFF &&
           (pooler_ == pg::Pooler::Transaction || QuotingIsStandard(conn_.get()));
  }

  bool Lost() override { return pg::Pq().PQstatus(conn_.get()) != CONNECTION_OK; }

  bool InRecovery() override {
    // Reported at start-up by servers of version 14 on; older ones are asked.
    if (const char* hot = pg::Pq().PQparameterStatus(conn_.get(), "in_hot_standby")) {
      return std::string_view(hot) == "on";
    }
    Settle();
    ResultPtr result(pg::Pq().PQexec(conn_.get(), "SELECT pg_is_in_recovery()"));
    return result && pg::Pq().PQresultStatus(result.get()) == PGRES_TUPLES_OK &&
           pg::Pq().PQntuples(result.get()) == 1 &&
           std::string_view(pg::Pq().PQgetvalue(result.get(), 0, 0)) == "t";
  }

  PGconn* Handle() const { return conn_.get(); }

  /// Lets the statement that is still streaming (if any) finish into memory; called before
  /// anything else is sent.
  void Settle() {
    if (streaming_ != nullptr) streaming_->Settle();
  }
  void Streaming(PgCursor* cursor) { streaming_ = cursor; }
  void Idle(const PgCursor* cursor) {
    if (streaming_ == cursor) streaming_ = nullptr;
  }

  /// Fails unless `result` is a success.
  void Check(const PGresult* result, const std::string& sql) {
    ExecStatusType status = result != nullptr ? pg::Pq().PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE) {
      return;
    }
    if (status == PGRES_EMPTY_QUERY) {
      Error error = LayerError(dberr::kInvalidArgument, kTextNoCommand);
      error.WithNative({}, sql);
      throw error;
    }
    throw PgError(conn_.get(), result, sql);
  }

  /// Behind a transaction pooler: `sql` (with `count` parameters `values`; none: nothing but
  /// the settings) in a read-only transaction of its own that takes the session settings first,
  /// all sent in one round trip; `sql`'s result, its rows whole. The transaction ends whatever
  /// happens, so the pooler can give its server connection to another client at once.
  ResultPtr RunPooled(const std::string& sql, int count = 0, const char* const* values = nullptr) {
    PGconn* conn = conn_.get();
    Settle();
    const std::string begin = isolation_.empty()
                                  ? std::string("BEGIN READ ONLY")
                                  : "BEGIN ISOLATION LEVEL " + isolation_ + " READ ONLY";
    const std::vector<const char*> setting_values = SettingValues();
    auto send = [conn](const std::string& text, int n, const char* const* params) {
      return pg::Pq().PQsendQueryParams(conn, text.c_str(), n, nullptr, params, nullptr, nullptr,
                                        0) != 0;
    };
    // COMMIT after the first sync: it commits the transaction, or ends it when a statement
    // failed, as ROLLBACK would (a failure skips the rest of its pipeline segment).
    const bool sent =
        pg::Pq().PQenterPipelineMode(conn) != 0 && send(begin, 0, nullptr) &&
        send(settings_sql_, static_cast<int>(setting_values.size()), setting_values.data()) &&
        (sql.empty() || send(sql, count, values)) && pg::Pq().PQpipelineSync(conn) != 0 &&
        send("COMMIT", 0, nullptr) && pg::Pq().PQpipelineSync(conn) != 0;
    ResultPtr answer;
    std::optional<Error> failure;
    if (!sent) failure = PgError(conn, nullptr, sql);
    // Each statement ends in one result (its rows, its command status, its error, or
    // "aborted" after an earlier error), followed by a null; each sync in a result of its own.
    const std::string* texts[] = {&begin, &settings_sql_, &sql};
    int ended = 0, syncs = 0, nulls = 0;
    while (sent && syncs < 2 && nulls < 3 && pg::Pq().PQstatus(conn) == CONNECTION_OK) {
      ResultPtr result(pg::Pq().PQgetResult(conn));
      if (!result) {
        ++nulls;
        continue;
      }
      nulls = 0;
      const ExecStatusType status = pg::Pq().PQresultStatus(result.get());
      if (status == PGRES_PIPELINE_SYNC) {
        ++syncs;
        continue;
      }
      const int statement = syncs == 0 ? std::min(ended++, 3) : 3;
      if (status == PGRES_FATAL_ERROR && !failure) {
        failure = PgError(conn, result.get(), statement < 3 ? *texts[statement] : "COMMIT");
      } else if (statement == 2 && status != PGRES_PIPELINE_ABORTED) {
        answer = std::move(result);
      }
    }
    if (pg::Pq().PQstatus(conn) == CONNECTION_OK && pg::Pq().PQexitPipelineMode(conn) == 0 &&
        !failure) {
      failure = PgError(conn, nullptr, sql);  // left in pipeline mode: not reused (Reusable)
    }
    if (!failure && (syncs < 2 || (!sql.empty() && !answer))) failure = PgError(conn, nullptr, sql);
    if (failure) throw *failure;
    return answer;
  }

 private:
  /// The names and values of settings_, in turn.
  std::vector<const char*> SettingValues() const {
    std::vector<const char*> values;
    values.reserve(2 * settings_.size());
    for (const auto& [name, value] : settings_) {
      values.push_back(name.c_str());
      values.push_back(value.c_str());
    }
    return values;
  }

  /// Whether a prepared statement's failure before its first row is answered by sending the
  /// text instead: not when the session is gone, the statement was cancelled or timed out, or
  /// the server ran out of something, which the text would only repeat (and wait for again).
  static bool FallsBackToText(const Error& e) {
    const std::string& state = e.NativeCode();
    return state.size() == 5 && !state.starts_with("08") && !state.starts_with("57") &&
           !state.starts_with("53");
  }

  /// The prepared statement for the shape of `sql` and its literals as parameters, typed as
  /// the server types the literals; nothing when the text goes as it is (the lexer is unsure of
  /// it, the shape does not prepare, or the session is inside a transaction block, where a
  /// failed attempt would abort the transaction).
  std::optional<BoundValues> Bind(const std::string& sql) {
    if (cache_size_ <= 0 || !LiftLiterals(sql, PlaceholderStyle::Dollar, lifted_)) return {};
    Settle();
    if (pg::Pq().PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) return {};
    key_ = lifted_.shape;
    key_ += '\n';
    for (const Literal& literal : lifted_.literals) key_ += static_cast<char>(literal.kind);
    std::shared_ptr<PreparedStatement> statement;
    if (auto it = index_.find(key_); it != index_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second);
      statement = *it->second;
    } else {
      statement = Prepare();
    }
    if (statement->name.empty()) return {};
    BoundValues bound{std::move(statement), {}, lifted_.literals.size(), {}};
    for (const Literal& literal : lifted_.literals) {
      if (literal.kind == LiteralKind::Text) {
        bound.buffer += literal.Value();
      } else {
        bound.buffer += literal.text;
      }
      bound.buffer += '\0';
    }
    return bound;
  }

  /// Prepares the shape in `lifted_` under a new name and keeps it (a shape that fails to
  /// prepare is kept as such), first dropping the least recently used one when full.
  std::shared_ptr<PreparedStatement> Prepare() {
    if (static_cast<std::int32_t>(lru_.size()) >= cache_size_) Drop(*lru_.back());
    auto statement = std::make_shared<PreparedStatement>();
    statement->key = key_;
    std::vector<Oid> types;
    types.reserve(lifted_.literals.size());
    for (const Literal& literal : lifted_.literals) {
      switch (literal.kind) {
        case LiteralKind::Integer:
          types.push_back(kInt4);
          break;
        case LiteralKind::BigInteger:
          types.push_back(kInt8);
          break;
        case LiteralKind::Decimal:
          types.push_back(kNumeric);
          break;
        case LiteralKind::Text:
          types.push_back(kUnknown);
          break;
      }
    }
    const std::string name = "carvalen_" + std::to_string(++prepared_count_);
    ResultPtr result(pg::Pq().PQprepare(conn_.get(), name.c_str(), lifted_.shape.c_str(),
                                        static_cast<int>(types.size()), types.data()));
    if (result && pg::Pq().PQresultStatus(result.get()) == PGRES_COMMAND_OK) statement->name = name;
    lru_.push_front(statement);
    index_.emplace(statement->key, lru_.begin());
    return statement;
  }

  /// Forgets `statement` and deallocates it on the server.
  void Drop(PreparedStatement& statement) {
    auto it = index_.find(statement.key);
    if (it == index_.end() || it->second->get() != &statement) return;
    std::shared_ptr<PreparedStatement> kept = *it->second;
    lru_.erase(it->second);
    index_.erase(it);
    kept->dropped = true;
    if (kept->name.empty()) return;
    Settle();
    // Gone already after a DEALLOCATE ALL of a caller's, or the session broke: nothing to do.
    ResultPtr ignored(pg::Pq().PQexec(conn_.get(), ("DEALLOCATE " + kept->name).c_str()));
  }

  /// Runs one statement through the extended protocol; fails unless it succeeded.
  ResultPtr Run(const std::string& sql) {
    Settle();
    ResultPtr result(
        pg::Pq().PQexecParams(conn_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
    Check(result.get(), sql);
    return result;
  }

  /// A command of our own, through the simple protocol.
  void Simple(const std::string& sql) {
    Settle();
    ResultPtr result(pg::Pq().PQexec(conn_.get(), sql.c_str()));
    Check(result.get(), sql);
  }

  void ApplyTimeout(std::int32_t seconds) {
    std::int64_t ms = seconds <= 0 ? 0 : std::min<std::int64_t>(seconds * 1000LL, INT_MAX);
    if (ms == statement_timeout_ms_) return;
    if (pooler_ == pg::Pooler::Transaction) {
      ChangeSetting("statement_timeout", std::to_string(ms));  // the next statement takes it
    } else {
      Simple("SET statement_timeout = " + std::to_string(ms));
    }
    statement_timeout_ms_ = ms;
  }

  ConnPtr conn_;
  pg::Pooler pooler_;
  std::vector<pg::ServerSetting> settings_;
  std::string settings_sql_;  // sets settings_, given as parameters (nothing to quote)
  std::int64_t statement_timeout_ms_;
  std::string isolation_;          // unknown until we set it
  PgCursor* streaming_ = nullptr;  // the cursor whose rows are still arriving
  // The prepared statements, most recently used first.
  std::int32_t cache_size_;
  std::int64_t prepared_count_ = 0;
  LiftedStatement lifted_;  // scratch, its buffers reused
  std::string key_;
  std::list<std::shared_ptr<PreparedStatement>> lru_;
  std::unordered_map<std::string, std::list<std::shared_ptr<PreparedStatement>>::iterator> index_;
};

PgCursor::PgCursor(PgConnection& session, std::string sql, bool whole,
                   std::optional<BoundValues> prepared)
    : session_(session), sql_(std::move(sql)), prepared_(std::move(prepared)), whole_(whole) {
  if (prepared_) prepared_->Point();
  Start();
}

void PgCursor::Take(ResultPtr result) {
  next_row_ = 0;
  if (!result) {
    current_.reset();
    return;
  }
  if (!columns_) {
    PreparedStatement* statement = prepared_ ? prepared_->statement.get() : nullptr;
    if (statement != nullptr && statement->columns && statement->columns->Describe(result.get())) {
      columns_ = statement->columns;
    } else {
      columns_ = std::make_shared<const ResultShape>(result.get());
      if (statement != nullptr) statement->columns = columns_;
    }
    fields_ = FieldSetPtr(columns_, &columns_->fields);
  }
  current_ = std::make_shared<const PgRows>(std::move(result), columns_);
}

void PgCursor::Start() {
  session_.Settle();
  if (session_.Pooler() == pg::Pooler::Transaction) {
    // The rows come whole with the transaction, which ends before the first is read.
    Take(session_.RunPooled(sql_));
    return;
  }
  PGconn* conn = session_.Handle();
  // The statement text goes as given: the extended protocol still refuses a second statement.
  const bool prepared = prepared_ && !prepared_->statement->dropped;
  const int sent = prepared
                       ? pg::Pq().PQsendQueryPrepared(conn, prepared_->statement->name.c_str(),
                                                      static_cast<int>(prepared_->values.size()),
                                                      prepared_->values.data(), nullptr, nullptr, 0)
                       : pg::Pq().PQsendQueryParams(conn, sql_.c_str(), 0, nullptr, nullptr,
                                                    nullptr, nullptr, 0);
  if (sent == 0) throw PgError(conn, nullptr, sql_);
  // Not refused right after a successful send; were it, the rows would come as one result,
  // which Next reads just as well.
  if (!whole_) pg::Pq().PQsetSingleRowMode(conn);
  streaming_ = true;
  session_.Streaming(this);
  Take(Receive());
}

ResultPtr PgCursor::Receive() {
  ResultPtr result(pg::Pq().PQgetResult(session_.Handle()));
  if (result && pg::Pq().PQresultStatus(result.get()) == PGRES_SINGLE_TUPLE) return result;
  // The statement's last result: its end or its error. Read up to the session's idle state
  // first, so that the session is clean whatever happens next.
  std::optional<Error> failure;
  try {
    session_.Check(result.get(), sql_);
  } catch (const Error& e) {
    failure = e;
  }
  Drain();
  if (failure) throw *failure;
  return result;
}

void PgCursor::Drain() {
  if (!streaming_) return;
  while (ResultPtr ignored{pg::Pq().PQgetResult(session_.Handle())}) {
  }
  streaming_ = false;
  session_.Idle(this);
}

bool PgCursor::Next(Row& row) {
  for (;;) {
    if (current_ && next_row_ < current_->Count()) {
      row = Row(current_, static_cast<std::size_t>(next_row_++), Width());
      return true;
    }
    current_.reset();
    if (!settled_.empty()) {
      row = std::move(settled_.front());
      settled_.pop_front();
      return true;
    }
    if (settled_error_) {
      Error error = std::move(*settled_error_);
      settled_error_.reset();
      throw error;
    }
    if (!streaming_) return false;
    Take(Receive());
  }
}

void PgCursor::Settle() {
  try {
    for (;;) {
      if (current_ && next_row_ < current_->Count()) {
        settled_.emplace_back(current_, static_cast<std::size_t>(next_row_++), Width());
        continue;
      }
      current_.reset();
      if (!streaming_) return;
      Take(Receive());
    }
  } catch (const Error& e) {
    settled_error_ = e;
  }
}

void PgCursor::Stop() {
  if (!streaming_) return;
  PGconn* conn = session_.Handle();
  if (pg::Pq().PQconsumeInput(conn) != 0) {
    while (pg::Pq().PQisBusy(conn) == 0) {
      ResultPtr result(pg::Pq().PQgetResult(conn));
      if (!result) {
        streaming_ = false;
        session_.Idle(this);
        return;
      }
    }
  }
  // The server may finish just before the cancel request reaches it; an idle backend ignores
  // the request, so the next statement is not hit by it.
  struct CancelDeleter {
    void operator()(PGcancel* c) const { pg::Pq().PQfreeCancel(c); }
  };
  std::unique_ptr<PGcancel, CancelDeleter> cancel(pg::Pq().PQgetCancel(conn));
  char message[256];
  if (cancel) pg::Pq().PQcancel(cancel.get(), message, sizeof message);
  Drain();  // the rows already sent, then the cancellation's error
}

}  // namespace

std::unique_ptr<PhysicalConnection> OpenPostgres(const ConnectionSettings& settings,
                                                 std::int32_t connection_timeout,
                                                 std::int32_t command_timeout) {
  std::vector<std::pair<std::string, std::string>> params;
  auto set = [&](const std::string& key, std::string value) {
    for (auto& [k, v] : params) {
      if (k == key) {
        v = std::move(value);
        return;
      }
    }
    params.emplace_back(key, std::move(value));
  };
  pg::Pooler pooler = pg::Pooler::None;
  bool pooler_named = false;
  for (const auto& [key, value] : settings.keys) {
    if (key == "pooler") {
      pooler = pg::ParsePooler(value);
      pooler_named = true;
    } else if (key == "host" || key == "port" || key == "password") {
      set(key, value);
    } else if (key == "database") {
      set("dbname", value);
    } else if (key == "user id") {
      set("user", value);
    } else if (LibpqKeywords().count(key) != 0) {
      set(key, value);
    } else {
      throw LayerError(dberr::kInvalidArgument,
                       "Invalid connection string: the key '" + key +
                           "' is known neither to the PostgreSQL provider nor to libpq.");
    }
  }
  auto given = [&](const char* key) {
    for (const auto& p : params) {
      if (p.first == key) return true;
    }
    return false;
  };
  // Our session settings come after the caller's options, so they win over those and over role
  // and database defaults.
  const std::int64_t statement_timeout_ms =
      command_timeout <= 0 ? 0 : std::min<std::int64_t>(command_timeout * 1000LL, INT_MAX);
  std::string caller_options;
  for (auto it = params.begin(); it != params.end(); ++it) {
    if (it->first != "options") continue;
    if (pg::MentionsQuotingRule(it->second)) {
      throw LayerError(dberr::kInvalidArgument,
                       "Invalid connection string: options may not set "
                       "standard_conforming_strings; the PostgreSQL provider keeps it on so that "
                       "quoted text cannot turn into SQL.");
    }
    caller_options = it->second;
    params.erase(it);
    break;
  }
  if (!given("connect_timeout") && connection_timeout > 0) {
    set("connect_timeout", std::to_string(std::max(2, connection_timeout)));  // libpq's minimum
  }
  if (!given("client_encoding")) set("client_encoding", "UTF8");
  set("fallback_application_name", "carvalen");

  auto connect = [&](const std::string& options) {
    std::vector<const char*> keywords, values;
    for (const auto& [k, v] : params) {
      keywords.push_back(k.c_str());
      values.push_back(v.c_str());
    }
    if (!options.empty()) {
      keywords.push_back("options");
      values.push_back(options.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    ConnPtr conn(pg::Pq().PQconnectdbParams(keywords.data(), values.data(), 0));
    if (!conn) throw LayerError(errnum::kOutOfMemory, RuntimeErrorText(errnum::kOutOfMemory));
    return conn;
  };
  auto failed_on = [](const ConnPtr& conn, std::string_view text) {
    return pg::Pq().PQstatus(conn.get()) != CONNECTION_OK &&
           std::string_view(pg::Pq().PQerrorMessage(conn.get())).find(text) !=
               std::string_view::npos;
  };
  std::string zone = pg::LocalTimeZone();
  ConnPtr conn;
  if (pooler == pg::Pooler::None) {
    auto startup_options = [&] {
      std::string options = caller_options.empty() ? "" : caller_options + " ";
      options += "-c default_transaction_read_only=on";
      for (const auto& [name, value] : pg::OurSettings(statement_timeout_ms, zone)) {
        options += " -c " + name + "=" + value;
      }
      return options;
    };
    conn = connect(startup_options());
    // A zone name the server does not know (its zone data older than the host's) fails the
    // start-up; the offset is the next best thing.
    if (failed_on(conn, "\"TimeZone\"")) {
      zone = pg::LocalOffsetZone();
      conn = connect(startup_options());
    }
    // A pooler that refuses startup options: the settings go as statements, with each
    // transaction, which is right for either kind of pooling.
    if (!pooler_named && failed_on(conn, "unsupported startup parameter")) {
      pooler = pg::Pooler::Transaction;
    }
  }
  std::vector<pg::ServerSetting> statements;
  if (pooler != pg::Pooler::None) {
    std::optional<std::vector<pg::ServerSetting>> theirs = pg::ServerSettingsOf(caller_options);
    if (!theirs) {
      throw LayerError(dberr::kInvalidArgument,
                       "Invalid connection string: behind a connection pooler, options may hold "
                       "only server settings (-c name=value), which the PostgreSQL provider then "
                       "sends as statements; '" +
                           caller_options + "' holds something else.");
    }
    statements = std::move(*theirs);
    if (pooler == pg::Pooler::Session)
      statements.emplace_back("default_transaction_read_only", "on");
    for (pg::ServerSetting& ours : pg::OurSettings(statement_timeout_ms, zone)) {
      statements.push_back(std::move(ours));
    }
    conn = connect({});
  }
  if (pg::Pq().PQstatus(conn.get()) != CONNECTION_OK)
    throw PgError(conn.get(), nullptr, {}, "08001");
  pg::Pq().PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  auto session =
      std::make_unique<PgConnection>(std::move(conn), pooler, std::move(statements),
                                     statement_timeout_ms, settings.statement_cache_size);
  if (pooler != pg::Pooler::None) {
    try {
      session->ApplySettings();
    } catch (const Error& e) {
      if (e.Description().find("\"TimeZone\"") == std::string::npos) throw;
      session->ChangeSetting("TimeZone", pg::LocalOffsetZone());
      session->ApplySettings();
    }
  }
  // The startup option or the statement should have settled it; a pooler that drops startup
  // options would not. Behind a transaction pooler every statement sets it again.
  if (pooler != pg::Pooler::Transaction && !QuotingIsStandard(session->Handle())) {
    throw LayerError(dberr::kInvalidArgument,
                     "The PostgreSQL session has standard_conforming_strings off although the "
                     "provider asked for on (does a connection pooler drop startup options? "
                     "Then say Pooler=Session or Pooler=Transaction in the connection string); "
                     "quoted text would not be safe, so the connection is refused.");
  }
  // Of a host list, the one libpq settled on.
  const char* host = pg::Pq().PQhost(session->Handle());
  const char* port = pg::Pq().PQport(session->Handle());
  session->placement.host = host != nullptr ? host : "";
  session->placement.port = port != nullptr ? port : "";
  return session;
}

Error PostgresConnectError(std::string message) {
  Error error(PackSqlState("08001"), message, "PostgreSQL");
  error.WithNative("08001", {}).WithMessage(std::move(message));
  return error;
}

}  // namespace carvalen::db
