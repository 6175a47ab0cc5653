// A PostgreSQL session: statements through the extended protocol, their shapes kept prepared,
// or behind a transaction pooler each in a read-only transaction of its own with the settings.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver.hpp"
#include "db/literal_lexer.hpp"
#include "db/postgres/cursor.hpp"
#include "db/postgres/handles.hpp"
#include "db/postgres/session_settings.hpp"
#include "db/statement_cache.hpp"

namespace carvalen::db::pg {

/// Whether the session reads a backslash in '...' as an ordinary character.
bool QuotingIsStandard(const PGconn* conn);

/// Asks the server to cancel what `conn` is running; a backend already idle ignores it.
void Cancel(PGconn* conn);

/// The next result of what `conn` is running, as PQgetResult gives it; while it waits, the
/// statement is cancelled once the caller is gone (Abandoned), and its error is what comes.
ResultPtr AwaitResult(PGconn* conn);

class PgConnection final : public PhysicalConnection {
 public:
  /// `settings`: what a pooler in front of the server keeps from reaching it as startup
  /// options (nothing when there is none), among them the statement_timeout of
  /// `statement_timeout_ms`.
  PgConnection(ConnPtr conn, pg::Pooler pooler, std::vector<ServerSetting> settings,
               std::int64_t statement_timeout_ms, std::int32_t cache_size);

  /// Sends the settings that did not go as startup options: behind a session pooler they
  /// hold for the session; behind a transaction pooler every statement takes them again, so
  /// this only shows that the server accepts them.
  void ApplySettings();

  /// Replaces the value of setting `name` (one of those given at construction).
  void ChangeSetting(std::string_view name, std::string value);

  pg::Pooler Pooler() const { return pooler_; }

  void Execute(const std::string& sql, std::int32_t timeout) override;

  void SetIsolation(const std::string& level) override;

  std::unique_ptr<Cursor> Query(const std::string& sql, std::int32_t timeout, bool whole) override;

  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override;

  void SetConnectionTimeout(std::int32_t) override {}  // used only when connecting

  bool Healthy() override;

  bool Reusable() override;

  bool Lost() override { return Pq().PQstatus(conn_.get()) != CONNECTION_OK; }

  bool InRecovery() override;

  PGconn* Handle() const { return conn_.get(); }

  /// Lets the statement that is still streaming (if any) finish into memory; called before
  /// anything else is sent.
  void Settle();
  void Streaming(PgCursor* cursor) { streaming_ = cursor; }
  void Idle(const PgCursor* cursor);

  /// Fails unless `result` is a success.
  void Check(const PGresult* result, const std::string& sql);

  /// Behind a transaction pooler: `sql` (with `count` parameters `values`; none: nothing but
  /// the settings) in a read-only transaction of its own that takes the session settings first,
  /// all sent in one round trip; `sql`'s result, its rows whole. The transaction ends whatever
  /// happens, so the pooler can give its server connection to another client at once.
  ResultPtr RunPooled(const std::string& sql, int count = 0, const char* const* values = nullptr);

 private:
  /// The names and values of settings_, in turn.
  std::vector<const char*> SettingValues() const;

  /// The prepared statement for the shape of `sql` and its literals as parameters, typed as
  /// the server types the literals; nothing when the text goes as it is (the lexer is unsure of
  /// it, the shape does not prepare, or the session is inside a transaction block, where a
  /// failed attempt would abort the transaction).
  std::optional<BoundValues> Bind(const std::string& sql);

  /// Prepares the shape in `lifted_` under a new name and keeps it (a shape that fails to
  /// prepare is kept as such), first dropping the least recently used one when full.
  std::shared_ptr<PreparedStatement> Prepare();

  /// Forgets `statement` and deallocates it on the server.
  void Drop(PreparedStatement& statement);

  /// Marks a statement taken out of the cache as dropped and deallocates it on the server.
  void Deallocate(PreparedStatement& statement);

  /// Runs one statement through the extended protocol and reads it to its end, cancelling it
  /// once the caller has gone; null when it could not be sent.
  ResultPtr Send(const std::string& sql, int count = 0, const char* const* values = nullptr);
  /// Send, failing unless the statement succeeded.
  ResultPtr Run(const std::string& sql, int count = 0, const char* const* values = nullptr);

  void ApplyTimeout(std::int32_t seconds);

  ConnPtr conn_;
  pg::Pooler pooler_;
  std::vector<ServerSetting> settings_;
  std::string settings_sql_;  // sets settings_, given as parameters (nothing to quote)
  std::int64_t statement_timeout_ms_;
  std::string isolation_;          // unknown until we set it
  PgCursor* streaming_ = nullptr;  // the cursor whose rows are still arriving
  StatementCache<std::shared_ptr<PreparedStatement>> cache_;
  std::int64_t prepared_count_ = 0;
  LiftedStatement lifted_;  // scratch, its buffers reused
  std::string key_;
};

}  // namespace carvalen::db::pg
