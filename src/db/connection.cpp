// Caller-level connections: parse the connection string, lease a session from the pool (or
// open one), trace what happens, and give the session back on close.
//
// Choices worth knowing:
// - Close on a closed connection does nothing (callers close on their error paths too).
// - The trace's `open` event carries the connection string with the password masked; `close`
//   carries no sql; a failed execute, query or schema query carries an "error" member.
// - The pool key is the canonical connection string (user and password given to Open
//   included). The time-outs are not part of it: a leased session takes the caller's connection
//   time-out (SQLite's busy time-out) and command time-out (PostgreSQL's statement_timeout)
//   whenever they differ from what the session has.
// - "Max Pool Size" bounds the threads holding sessions of a key (see pool.hpp): one more waits
//   for a session to come back, up to its connection time-out, then fails with 0x80040E31. Size 0
//   pools nothing.
//   "Connection Lifetime" bounds how long a session is kept, counted from its opening.
// - A PostgreSQL string of several hosts with Load Balance Hosts=random has the pool choose the
//   host of each new session (db/hosts.hpp); the trace's `open` names the host it got.
// - The column schema's DATA_TYPE is the database's own type name ("INTEGER", "integer").
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "db/driver.hpp"
#include "db/errors.hpp"
#include "db/hosts.hpp"
#include "db/pool.hpp"
#include "db/resolved_connection.hpp"
#include "db/trace.hpp"
#include "value/text.hpp"

namespace carvalen::db {
namespace {

std::atomic<std::int64_t> g_open_connections{0};  // for tests: caller-level opens not closed

/// The level of "SET TRANSACTION ISOLATION LEVEL <level>" (upper case, single blanks), or
/// empty when `sql` is not that command.
std::string IsolationLevelOf(std::string_view sql) {
  // What every open of the library's own sends: known without taking the words apart.
  if (sql == kReadCommittedCommand) return "READ COMMITTED";
  sql = text::TrimBlanks(sql);
  while (!sql.empty() && sql.back() == ';') sql = text::TrimBlanks(sql.substr(0, sql.size() - 1));
  if (sql.find(';') != std::string_view::npos) return {};
  // Sent on every open: the words are compared in place, nothing is allocated for another text.
  std::string_view words[8];
  std::size_t count = 0;
  for (std::size_t i = 0; i < sql.size();) {
    if (text::IsBlank(sql[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < sql.size() && !text::IsBlank(sql[j])) ++j;
    if (count == std::size(words)) return {};
    words[count++] = sql.substr(i, j - i);
    i = j;
  }
  if (count < 5 || !text::EqualsNoCase(words[0], "SET") ||
      !text::EqualsNoCase(words[1], "TRANSACTION") || !text::EqualsNoCase(words[2], "ISOLATION") ||
      !text::EqualsNoCase(words[3], "LEVEL")) {
    return {};
  }
  for (const char* level :
       {"READ UNCOMMITTED", "READ COMMITTED", "REPEATABLE READ", "SERIALIZABLE"}) {
    const std::string_view wanted(level);
    const std::size_t space = wanted.find(' ');
    const bool matches = space == std::string_view::npos
                             ? count == 5 && text::EqualsNoCase(words[4], wanted)
                             : count == 6 &&
                                   text::EqualsNoCase(words[4], wanted.substr(0, space)) &&
                                   text::EqualsNoCase(words[5], wanted.substr(space + 1));
    if (matches) return level;
  }
  return {};
}

/// Frees a leased pool slot when opening fails before the connection holds it.
struct SlotGuard {
  const std::string* key = nullptr;
  std::thread::id holder;
  ~SlotGuard() {
    if (key != nullptr) Pool::Instance().Release(*key, holder);
  }
};

}  // namespace

Connection::Connection() = default;

Connection::~Connection() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; Close gives the session up rather than fail anyway.
  }
}

void Connection::Open(const std::string& connection_string, const std::string& user,
                      const std::string& password, std::int32_t /*options: no async open*/) {
  if (physical_) throw LayerError(dberr::kObjectOpen, kTextOpen);
  if (!connection_string.empty()) ConnectionString = connection_string;
  const std::int64_t id = NextTraceId();
  std::shared_ptr<TraceSink> trace = TraceSink::Configured();
  try {
    const std::shared_ptr<const ResolvedConnection> resolved =
        ResolveSettings(ConnectionString, user, password);
    const ParsedConnection& settings = resolved->settings;
    const std::string& key = resolved->pool_key;
    const bool pooled = settings.pooling && settings.max_pool_size > 0;
    std::unique_ptr<PhysicalConnection> session;
    SlotGuard slot{nullptr, std::this_thread::get_id()};
    if (pooled) {
      session = Pool::Instance().Lease(key, settings.max_pool_size, ConnectionTimeout, slot.holder);
      slot.key = &key;
    }
    if (session) {
      session->SetConnectionTimeout(ConnectionTimeout);
    } else if (settings.provider == ProviderKind::SQLite) {
      session = OpenSqlite(settings, ConnectionTimeout);
    } else {
      session = OpenPostgresSession(settings, ConnectionTimeout, CommandTimeout,
                                    Pool::Instance().Hosts());
    }
    if (settings.connection_lifetime > 0 && !session->expires) {
      session->expires =
          std::chrono::steady_clock::now() + std::chrono::seconds(settings.connection_lifetime);
    }
    session->trace = trace;
    physical_ = std::move(session);
    slot.key = nullptr;  // the connection holds the slot now
    pool_key_ = key;
    pooling_ = pooled;
    holder_ = slot.holder;
  } catch (const Error& e) {
    if (trace) trace->Open(id, MaskPassword(ConnectionString), &e, nullptr);
    throw;
  }
  trace_id_ = id;
  ++g_open_connections;
  if (trace) {
    trace->Open(id, MaskPassword(ConnectionString), nullptr, &physical_->placement);
  }
}

void Connection::Execute(const std::string& sql, std::int32_t /*options*/) {
  PhysicalConnection& session = Physical();
  try {
    std::string level = IsolationLevelOf(sql);
    if (!level.empty()) {
      session.SetIsolation(level);
    } else {
      session.Execute(sql, CommandTimeout);
    }
  } catch (const Error& e) {
    if (session.trace) session.trace->Statement(trace_id_, "execute", sql, &e);
    throw;
  }
  if (session.trace) session.trace->Statement(trace_id_, "execute", sql, nullptr);
}

std::int32_t Connection::State() const { return physical_ ? kStateOpen : kStateClosed; }

void Connection::Close() {
  if (!physical_) return;
  // Cursors first: they hold statements of the session that is about to be reused.
  std::vector<Recordset*> recordsets;
  recordsets.swap(open_recordsets_);
  for (Recordset* rs : recordsets) rs->ReleaseCursor();

  std::unique_ptr<PhysicalConnection> session = std::move(physical_);
  std::shared_ptr<TraceSink> trace = std::move(session->trace);
  --g_open_connections;
  if (pooling_) {
    bool keep = false;
    try {
      keep = session->Reusable();
    } catch (...) {
      // A session that cannot tell whether it is clean is not handed to the next caller; the
      // caller has had its rows, so closing still succeeds.
    }
    if (keep) {
      Pool::Instance().Give(pool_key_, std::move(session), holder_);
      session.reset();  // the pool has it now
    } else {
      Pool::Instance().Closing(*session);
      session.reset();  // closed here, and its slot freed for a waiting caller
      Pool::Instance().Release(pool_key_, holder_);
    }
  }
  if (session) {
    Pool::Instance().Closing(*session);
    session.reset();  // not pooled: closed here
  }
  if (trace) trace->Close(trace_id_);
}

std::shared_ptr<Recordset> Connection::OpenSchema(std::int32_t schema,
                                                  const std::vector<Variant>& restrictions) {
  PhysicalConnection& session = Physical();
  if (schema != kSchemaColumns) throw LayerError(dberr::kNotSupported, kTextNotSupported);
  // Missing, Empty and Null restrictions all mean "any".
  auto restriction = [&](std::size_t i) {
    if (i >= restrictions.size()) return Variant::Null();
    const Variant& v = restrictions[i];
    if (v.IsNull() || v.IsEmpty() || v.IsMissing()) return Variant::Null();
    return Variant(v.ToString());
  };
  Variant catalog = restriction(0), schema_name = restriction(1), table = restriction(2),
          column = restriction(3);
  std::string sql;
  std::vector<std::vector<Variant>> rows;
  try {
    rows = session.Columns(table, column, CommandTimeout, sql);
  } catch (const Error& e) {
    if (session.trace) session.trace->Schema(trace_id_, sql, table, column, &e);
    throw;
  }
  if (session.trace) session.trace->Schema(trace_id_, sql, table, column, nullptr);
  // Catalog and schema restrictions compare as the databases compare unquoted names.
  auto keep = [](const Variant& wanted, const Variant& have) {
    if (wanted.IsNull()) return true;
    return !have.IsNull() && text::EqualsNoCase(wanted.RawString(), have.RawString());
  };
  std::vector<std::vector<Variant>> kept;
  for (auto& row : rows) {
    if (keep(catalog, row[0]) && keep(schema_name, row[1])) kept.push_back(std::move(row));
  }
  auto rs = Recordset::Create();
  rs->OpenRows({"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "COLUMN_NAME", "ORDINAL_POSITION",
                "DATA_TYPE"},
               std::move(kept));
  return rs;
}

PhysicalConnection& Connection::Physical() {
  if (!physical_) throw LayerError(dberr::kObjectClosed, kTextClosed);
  return *physical_;
}

void Connection::Attach(Recordset* rs) { open_recordsets_.push_back(rs); }

void Connection::Detach(Recordset* rs) { std::erase(open_recordsets_, rs); }

std::int64_t OpenConnectionCount() { return g_open_connections.load(); }

std::int64_t PooledConnectionCount() { return Pool::Instance().IdleCount(); }

void DrainPool() { Pool::Instance().Drain(); }

}  // namespace carvalen::db
