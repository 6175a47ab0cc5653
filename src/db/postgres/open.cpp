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
#include <climits>
#include <optional>
#include <string>
#include <unordered_set>

#include "db/driver.hpp"
#include "db/errors.hpp"
#include "db/postgres/error.hpp"
#include "db/postgres/libpq.hpp"
#include "db/postgres/session.hpp"
#include "db/postgres/session_settings.hpp"

namespace carvalen::db {
namespace {

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

}  // namespace

std::unique_ptr<PhysicalConnection> OpenPostgres(const ParsedConnection& settings,
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
    } else if (key == "database") {
      set("dbname", value);
    } else if (key == "user id") {
      set("user", value);
    } else if (key == "host" || key == "port" || key == "password" ||
               LibpqKeywords().count(key) != 0) {
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
    pg::ConnPtr conn(pg::Pq().PQconnectdbParams(keywords.data(), values.data(), 0));
    if (!conn) throw LayerError(errnum::kOutOfMemory, RuntimeErrorText(errnum::kOutOfMemory));
    return conn;
  };
  auto failed_on = [](const pg::ConnPtr& conn, std::string_view text) {
    return pg::Pq().PQstatus(conn.get()) != CONNECTION_OK &&
           std::string_view(pg::Pq().PQerrorMessage(conn.get())).find(text) !=
               std::string_view::npos;
  };
  std::string zone = pg::LocalTimeZone();
  pg::ConnPtr conn;
  if (pooler == pg::Pooler::None) {
    auto startup_options = [&] {
      std::string options = caller_options.empty() ? "" : caller_options + " ";
      options += "-c default_transaction_read_only=on";
      for (const auto& [name, value] : pg::OurSettings(statement_timeout_ms, zone)) {
        options.append(" -c ").append(name).append("=").append(value);
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
    throw pg::PgError(conn.get(), nullptr, {}, "08001");
  pg::Pq().PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  auto session =
      std::make_unique<pg::PgConnection>(std::move(conn), pooler, std::move(statements),
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
  if (pooler != pg::Pooler::Transaction && !pg::QuotingIsStandard(session->Handle())) {
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

}  // namespace carvalen::db
