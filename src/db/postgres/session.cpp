#include "db/postgres/session.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "db/abandon.hpp"
#include "db/errors.hpp"
#include "db/postgres/error.hpp"
#include "db/postgres/values.hpp"

namespace carvalen::db::pg {

bool QuotingIsStandard(const PGconn* conn) {
  const char* value = Pq().PQparameterStatus(conn, "standard_conforming_strings");
  return value != nullptr && std::string_view(value) == "on";
}

void Cancel(PGconn* conn) {
  struct CancelDeleter {
    void operator()(PGcancel* c) const { Pq().PQfreeCancel(c); }
  };
  std::unique_ptr<PGcancel, CancelDeleter> cancel(Pq().PQgetCancel(conn));
  char message[256];
  if (cancel) Pq().PQcancel(cancel.get(), message, sizeof message);
}

ResultPtr AwaitResult(PGconn* conn) {
  // Waits in short steps rather than in PQgetResult, so that a statement whose caller has gone
  // stops spending the server's work and this thread's time.
  for (bool cancelled = false; !cancelled && Pq().PQisBusy(conn) != 0;) {
    pollfd fd{Pq().PQsocket(conn), POLLIN, 0};
    if (poll(&fd, 1, 20) < 0 && errno != EINTR) break;
    if (Pq().PQconsumeInput(conn) == 0) break;  // the broken connection's error comes next
    if (Pq().PQisBusy(conn) != 0 && Abandoned()) {
      Cancel(conn);
      cancelled = true;  // the server's answer to it comes soon: wait for that at once
    }
  }
  return ResultPtr(Pq().PQgetResult(conn));
}

PgConnection::PgConnection(ConnPtr conn, pg::Pooler pooler, std::vector<ServerSetting> settings,
                           std::int64_t statement_timeout_ms, std::int32_t cache_size)
    : conn_(std::move(conn)),
      pooler_(pooler),
      settings_(std::move(settings)),
      statement_timeout_ms_(statement_timeout_ms),
      // A statement prepared in one transaction may be missing from the server connection
      // that a transaction pooler gives the next one.
      cache_(pooler == pg::Pooler::Transaction ? 0 : cache_size) {
  settings_sql_ = "SELECT ";
  for (std::size_t i = 0; i < settings_.size(); ++i) {
    settings_sql_ += (i > 0 ? ", set_config($" : "set_config($") + std::to_string(2 * i + 1) +
                     ", $" + std::to_string(2 * i + 2) +
                     (pooler == pg::Pooler::Transaction ? ", true)" : ", false)");
  }
}

void PgConnection::ApplySettings() {
  if (pooler_ == pg::Pooler::Transaction) {
    RunPooled({});
    return;
  }
  const std::vector<const char*> values = SettingValues();
  Run(settings_sql_, static_cast<int>(values.size()), values.data());
}

void PgConnection::ChangeSetting(std::string_view name, std::string value) {
  for (auto& setting : settings_) {
    if (setting.first == name) {
      setting.second = std::move(value);
      return;
    }
  }
}

void PgConnection::Execute(const std::string& sql, std::int32_t timeout) {
  ApplyTimeout(timeout);
  if (pooler_ == pg::Pooler::Transaction) {
    RunPooled(sql);
    return;
  }
  isolation_.clear();  // a caller's command may have changed it: sent again next time
  Run(sql);
}

void PgConnection::SetIsolation(const std::string& level) {
  // Behind a transaction pooler each statement's own BEGIN names the level.
  if (pooler_ == pg::Pooler::Transaction) {
    isolation_ = level;
    return;
  }
  // Outside a transaction block the server answers SET TRANSACTION with a warning only; the
  // session default is what the following statements get. Sent once per session and level.
  if (level == isolation_) return;
  Run("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL " + level);
  isolation_ = level;
}

std::unique_ptr<Cursor> PgConnection::Query(const std::string& sql, std::int32_t timeout,
                                            bool whole) {
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

std::vector<std::vector<Variant>> PgConnection::Columns(const Variant& table, const Variant& column,
                                                        std::int32_t timeout, std::string& sql) {
  // An unquoted identifier resolves in lower case, and to the first schema of the search
  // path that holds it: so the order.
  sql =
      "SELECT table_catalog::text, table_schema::text, table_name::text, column_name::text, "
      "ordinal_position::integer, data_type::text FROM information_schema.columns WHERE "
      "table_schema::name = ANY (current_schemas(false)) AND ($1::text IS NULL OR table_name "
      "= lower($1::text)) AND ($2::text IS NULL OR column_name = lower($2::text)) ORDER BY "
      "array_position(current_schemas(false), table_schema::name), table_name, "
      "ordinal_position";
  std::string table_text = table.IsNull() ? std::string() : table.ToString();
  std::string column_text = column.IsNull() ? std::string() : column.ToString();
  // A parameter travels as a C string, so a restriction holding NUL would reach the server cut
  // short and match the name before it. No identifier can hold NUL: nothing matches.
  if (table_text.find('\0') != std::string::npos || column_text.find('\0') != std::string::npos)
    return {};
  ApplyTimeout(timeout);
  const char* values[2] = {table.IsNull() ? nullptr : table_text.c_str(),
                           column.IsNull() ? nullptr : column_text.c_str()};
  ResultPtr result =
      pooler_ == pg::Pooler::Transaction ? RunPooled(sql, 2, values) : Run(sql, 2, values);
  const ResultShape columns(result.get());
  std::vector<std::vector<Variant>> rows(Pq().PQntuples(result.get()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ReadRow(result.get(), static_cast<int>(i), columns.types, rows[i]);
  }
  return rows;
}

bool PgConnection::Healthy() {
  PGconn* c = conn_.get();
  if (Pq().PQstatus(c) != CONNECTION_OK || Pq().PQtransactionStatus(c) != PQTRANS_IDLE)
    return false;
  // An idle session has nothing to say. A terminated backend sends its farewell error first
  // and closes the socket a moment later, so reading the message and finding the socket still
  // open proves nothing: anything readable at all means the session is not handed out again.
  pollfd fd{Pq().PQsocket(c), POLLIN, 0};
  return poll(&fd, 1, 0) == 0;
}

bool PgConnection::Reusable() {
  // A SET run through Execute could have turned the quoting rule off: such a session is not
  // handed to the next caller. Behind a transaction pooler every statement turns it on.
  return Pq().PQstatus(conn_.get()) == CONNECTION_OK &&
         Pq().PQtransactionStatus(conn_.get()) == PQTRANS_IDLE &&
         Pq().PQpipelineStatus(conn_.get()) == PQ_PIPELINE_OFF &&
         (pooler_ == pg::Pooler::Transaction || QuotingIsStandard(conn_.get()));
}

bool PgConnection::InRecovery() {
  // Reported at start-up by servers of version 14 on; older ones are asked.
  if (const char* hot = Pq().PQparameterStatus(conn_.get(), "in_hot_standby")) {
    return std::string_view(hot) == "on";
  }
  ResultPtr result = Send("SELECT pg_is_in_recovery()");
  return result && Pq().PQresultStatus(result.get()) == PGRES_TUPLES_OK &&
         Pq().PQntuples(result.get()) == 1 &&
         std::string_view(Pq().PQgetvalue(result.get(), 0, 0)) == "t";
}

void PgConnection::Settle() {
  if (streaming_ != nullptr) streaming_->Settle();
}

void PgConnection::Idle(const PgCursor* cursor) {
  if (streaming_ == cursor) streaming_ = nullptr;
}

void PgConnection::Check(const PGresult* result, const std::string& sql) {
  ExecStatusType status = result != nullptr ? Pq().PQresultStatus(result) : PGRES_FATAL_ERROR;
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

ResultPtr PgConnection::RunPooled(const std::string& sql, int count, const char* const* values) {
  PGconn* conn = conn_.get();
  Settle();
  const std::string begin = isolation_.empty()
                                ? std::string("BEGIN READ ONLY")
                                : "BEGIN ISOLATION LEVEL " + isolation_ + " READ ONLY";
  const std::vector<const char*> setting_values = SettingValues();
  auto send = [conn](const std::string& text, int n, const char* const* params) {
    return Pq().PQsendQueryParams(conn, text.c_str(), n, nullptr, params, nullptr, nullptr, 0) != 0;
  };
  // COMMIT after the first sync: it commits the transaction, or ends it when a statement
  // failed, as ROLLBACK would (a failure skips the rest of its pipeline segment).
  const bool sent =
      Pq().PQenterPipelineMode(conn) != 0 && send(begin, 0, nullptr) &&
      send(settings_sql_, static_cast<int>(setting_values.size()), setting_values.data()) &&
      (sql.empty() || send(sql, count, values)) && Pq().PQpipelineSync(conn) != 0 &&
      send("COMMIT", 0, nullptr) && Pq().PQpipelineSync(conn) != 0;
  ResultPtr answer;
  std::optional<Error> failure;
  if (!sent) failure = PgError(conn, nullptr, sql);
  // Each statement ends in one result (its rows, its command status, its error, or
  // "aborted" after an earlier error), followed by a null; each sync in a result of its own.
  const std::string* texts[] = {&begin, &settings_sql_, &sql};
  int ended = 0, syncs = 0, nulls = 0;
  while (sent && syncs < 2 && nulls < 3 && Pq().PQstatus(conn) == CONNECTION_OK) {
    ResultPtr result = AwaitResult(conn);
    if (!result) {
      ++nulls;
      continue;
    }
    nulls = 0;
    const ExecStatusType status = Pq().PQresultStatus(result.get());
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
  if (Pq().PQstatus(conn) == CONNECTION_OK && Pq().PQexitPipelineMode(conn) == 0 && !failure) {
    failure = PgError(conn, nullptr, sql);  // left in pipeline mode: not reused (Reusable)
  }
  if (!failure && (syncs < 2 || (!sql.empty() && !answer))) failure = PgError(conn, nullptr, sql);
  if (failure) throw *failure;
  return answer;
}

std::vector<const char*> PgConnection::SettingValues() const {
  std::vector<const char*> values;
  values.reserve(2 * settings_.size());
  for (const auto& [name, value] : settings_) {
    values.push_back(name.c_str());
    values.push_back(value.c_str());
  }
  return values;
}

std::optional<BoundValues> PgConnection::Bind(const std::string& sql) {
  if (!cache_.Enabled() || !LiftLiterals(sql, PlaceholderStyle::Dollar, lifted_)) return {};
  Settle();
  if (Pq().PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) return {};
  key_ = lifted_.shape;
  key_ += '\n';
  for (const Literal& literal : lifted_.literals) key_ += static_cast<char>(literal.kind);
  std::shared_ptr<PreparedStatement> statement;
  if (auto* kept = cache_.Use(key_)) {
    statement = *kept;
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

std::shared_ptr<PreparedStatement> PgConnection::Prepare() {
  if (cache_.Full()) {
    if (auto oldest = cache_.TakeOldest([](const auto&) { return true; })) Deallocate(**oldest);
  }
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
  ResultPtr result(Pq().PQprepare(conn_.get(), name.c_str(), lifted_.shape.c_str(),
                                  static_cast<int>(types.size()), types.data()));
  if (result && Pq().PQresultStatus(result.get()) == PGRES_COMMAND_OK) statement->name = name;
  cache_.Insert(statement->key, statement);
  return statement;
}

void PgConnection::Drop(PreparedStatement& statement) {
  const auto* kept = cache_.Peek(statement.key);
  if (kept == nullptr || kept->get() != &statement) return;
  Deallocate(**cache_.Take(statement.key));
}

void PgConnection::Deallocate(PreparedStatement& statement) {
  statement.dropped = true;
  if (statement.name.empty()) return;
  // Gone already after a DEALLOCATE ALL of a caller's, or the session broke: nothing to do.
  Send("DEALLOCATE " + statement.name);
}

ResultPtr PgConnection::Send(const std::string& sql, int count, const char* const* values) {
  Settle();
  PGconn* conn = conn_.get();
  if (Pq().PQsendQueryParams(conn, sql.c_str(), count, nullptr, values, nullptr, nullptr, 0) == 0)
    return nullptr;
  // One statement, so one result, then the null that ends it; read up to that, so that the
  // session is idle whatever the result says. Waiting for it is cancelled, as a cursor's is, once
  // the caller has gone.
  ResultPtr result = AwaitResult(conn);
  while (ResultPtr more{Pq().PQgetResult(conn)}) {
  }
  return result;
}

ResultPtr PgConnection::Run(const std::string& sql, int count, const char* const* values) {
  ResultPtr result = Send(sql, count, values);
  Check(result.get(), sql);
  return result;
}

void PgConnection::ApplyTimeout(std::int32_t seconds) {
  std::int64_t ms = seconds <= 0 ? 0 : std::min<std::int64_t>(seconds * 1000LL, INT_MAX);
  if (ms == statement_timeout_ms_) return;
  if (pooler_ == pg::Pooler::Transaction) {
    ChangeSetting("statement_timeout", std::to_string(ms));  // the next statement takes it
  } else {
    Run("SET statement_timeout = " + std::to_string(ms));
  }
  statement_timeout_ms_ = ms;
}

}  // namespace carvalen::db::pg
