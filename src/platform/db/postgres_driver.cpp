// The PostgreSQL driver (libpq). Every statement goes through the extended protocol
// (PQexecParams without parameters, text results), which refuses a text holding a second
// statement. Sessions are read-only with JIT off (startup options), server notices go nowhere,
// and the command time-out is the session's statement_timeout, sent only when it changes.
#include <libpq-fe.h>
#include <poll.h>

#include <charconv>
#include <climits>
#include <string>
#include <unordered_set>

#include "frame/value/text.hpp"
#include "platform/db/driver.hpp"
#include "platform/db/errors.hpp"

namespace carvalen::db {
namespace {

// Type OIDs of the built-in types we convert (pg_type.dat); everything else stays text.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701,
              kNumeric = 1700, kDateOid = 1082, kTimestamp = 1114, kTimestampTz = 1184;

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
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
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary =
      result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const std::string whole = result != nullptr && *PQresultErrorMessage(result) != '\0'
                                ? TrimmedMessage(PQresultErrorMessage(result))
                                : TrimmedMessage(PQerrorMessage(conn));
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
    PQconninfoOption* options = PQconndefaults();
    if (options != nullptr) {
      for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) set.insert(o->keyword);
      PQconninfoFree(options);
    }
    return set;
  }();
  return keywords;
}

bool ParseInt64(std::string_view text, std::int64_t& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

class PgCursor final : public Cursor {
 public:
  explicit PgCursor(ResultPtr result) : result_(std::move(result)) {
    const int n = PQnfields(result_.get());
    fields_.reserve(n);
    types_.reserve(n);
    for (int i = 0; i < n; ++i) {
      fields_.emplace_back(PQfname(result_.get(), i));
      types_.push_back(PQftype(result_.get(), i));
    }
    rows_ = PQntuples(result_.get());
  }
  const std::vector<std::string>& Fields() const override { return fields_; }
  bool Next(std::vector<Variant>& row) override;
  void Rewind() override { next_ = 0; }
  void Finish() override {}

 private:
  ResultPtr result_;
  std::vector<std::string> fields_;
  std::vector<Oid> types_;
  int rows_ = 0;
  int next_ = 0;
};

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

bool PgCursor::Next(std::vector<Variant>& row) {
  if (next_ >= rows_) return false;
  PGresult* r = result_.get();
  const int n = static_cast<int>(fields_.size());
  row.resize(n);
  for (int i = 0; i < n; ++i) {
    if (PQgetisnull(r, next_, i)) {
      row[i] = Variant::Null();
    } else {
      std::string_view text(PQgetvalue(r, next_, i),
                            static_cast<std::size_t>(PQgetlength(r, next_, i)));
      row[i] = ConvertValue(types_[i], text);
    }
  }
  ++next_;
  return true;
}

class PgConnection final : public PhysicalConnection {
 public:
  PgConnection(ConnPtr conn, std::int64_t statement_timeout_ms)
      : conn_(std::move(conn)), statement_timeout_ms_(statement_timeout_ms) {}

  void Execute(const std::string& sql, std::int32_t timeout) override {
    ApplyTimeout(timeout);
    Run(sql);
  }

  void SetIsolation(const std::string& level) override {
    // Outside a transaction block the server answers SET TRANSACTION with a warning only; the
    // session default is what the following statements get. Sent once per session and level.
    if (level == isolation_) return;
    Simple("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL " + level);
    isolation_ = level;
  }

  std::unique_ptr<Cursor> Query(const std::string& sql, std::int32_t timeout) override {
    ApplyTimeout(timeout);
    return std::make_unique<PgCursor>(Run(sql));
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
    ResultPtr result(
        PQexecParams(conn_.get(), sql.c_str(), 2, nullptr, values, nullptr, nullptr, 0));
    Check(result.get(), sql);
    PgCursor cursor(std::move(result));
    std::vector<std::vector<Variant>> rows;
    std::vector<Variant> row;
    while (cursor.Next(row)) rows.push_back(row);
    return rows;
  }

  void SetConnectionTimeout(std::int32_t) override {}  // used only when connecting

  bool Healthy() override {
    PGconn* c = conn_.get();
    if (PQstatus(c) != CONNECTION_OK || PQtransactionStatus(c) != PQTRANS_IDLE) return false;
    // An idle session has nothing to say. A terminated backend sends its farewell error first
    // and closes the socket a moment later, so reading the message and finding the socket still
    // open proves nothing: anything readable at all means the session is not handed out again.
    pollfd fd{PQsocket(c), POLLIN, 0};
    return poll(&fd, 1, 0) == 0;
  }

  bool Reusable() override {
    return PQstatus(conn_.get()) == CONNECTION_OK &&
           PQtransactionStatus(conn_.get()) == PQTRANS_IDLE;
  }

 private:
  /// Runs one statement through the extended protocol; fails unless it succeeded.
  ResultPtr Run(const std::string& sql) {
    ResultPtr result(
        PQexecParams(conn_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
    Check(result.get(), sql);
    return result;
  }

  /// A command of our own, through the simple protocol.
  void Simple(const std::string& sql) {
    ResultPtr result(PQexec(conn_.get(), sql.c_str()));
    Check(result.get(), sql);
  }

  void Check(const PGresult* result, const std::string& sql) {
    ExecStatusType status = result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
    if (status == PGRES_EMPTY_QUERY) {
      Error error = LayerError(dberr::kInvalidArgument, kTextNoCommand);
      error.WithNative({}, sql);
      throw error;
    }
    throw PgError(conn_.get(), result, sql);
  }

  void ApplyTimeout(std::int32_t seconds) {
    std::int64_t ms = seconds <= 0 ? 0 : std::min<std::int64_t>(seconds * 1000LL, INT_MAX);
    if (ms == statement_timeout_ms_) return;
    Simple("SET statement_timeout = " + std::to_string(ms));
    statement_timeout_ms_ = ms;
  }

  ConnPtr conn_;
  std::int64_t statement_timeout_ms_;
  std::string isolation_;  // unknown until we set it
};

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
  for (const auto& [key, value] : settings.keys) {
    if (key == "host" || key == "port" || key == "password") {
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
  // Our session settings come after the caller's options, so they win: read-only sessions,
  // no JIT compilation for these short queries, ISO dates to parse, exact float text.
  const std::int64_t statement_timeout_ms =
      command_timeout <= 0 ? 0 : std::min<std::int64_t>(command_timeout * 1000LL, INT_MAX);
  std::string options;
  for (const auto& p : params) {
    if (p.first == "options") options = p.second + " ";
  }
  options +=
      "-c default_transaction_read_only=on -c jit=off -c DateStyle=ISO -c extra_float_digits=1 "
      "-c statement_timeout=" +
      std::to_string(statement_timeout_ms);
  set("options", options);
  if (!given("connect_timeout") && connection_timeout > 0) {
    set("connect_timeout", std::to_string(std::max(2, connection_timeout)));  // libpq's minimum
  }
  if (!given("client_encoding")) set("client_encoding", "UTF8");
  set("fallback_application_name", "carvalen");

  std::vector<const char*> keywords, values;
  for (const auto& [k, v] : params) {
    keywords.push_back(k.c_str());
    values.push_back(v.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  ConnPtr conn(PQconnectdbParams(keywords.data(), values.data(), 0));
  if (!conn) throw LayerError(errnum::kOutOfMemory, RuntimeErrorText(errnum::kOutOfMemory));
  if (PQstatus(conn.get()) != CONNECTION_OK) throw PgError(conn.get(), nullptr, {}, "08001");
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  return std::make_unique<PgConnection>(std::move(conn), statement_timeout_ms);
}

}  // namespace carvalen::db
