// The server settings every PostgreSQL session of ours runs with, and how a connection string
// says that a connection pooler sits in front of the server. Directly connected, the settings go
// as startup options; a pooler refuses those (or drops them), so behind one they are sent as
// statements instead: once per session (session pooling) or with every statement (transaction
// pooling, where consecutive transactions may run on different server connections).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace carvalen::db::pg {

/// What sits between the client and the server, from the connection string's Pooler key.
enum class Pooler {
  None,         // the server itself
  Session,      // a pooler that keeps one server connection for each client connection
  Transaction,  // a pooler that may move each transaction to another server connection
};

/// The Pooler key's value ("None", "Session" or "Transaction", in any case); fails with 3001
/// naming the value otherwise.
Pooler ParsePooler(std::string_view value);

using ServerSetting = std::pair<std::string, std::string>;  // name, value

/// The `-c name=value` items of libpq's options text (also spelled `-cname=value` and
/// `--name=value`, blanks escaped by a backslash); nothing when the text holds anything else.
std::optional<std::vector<ServerSetting>> ServerSettingsOf(std::string_view options);

/// Whether options text mentions standard_conforming_strings, spelled any way the server
/// accepts: any case, '-' for '_', backslash escapes.
bool MentionsQuotingRule(std::string_view options);

/// Our settings (read-only sessions aside, which each path states its own way), in the order
/// sent: standard strings (the utilities component quotes by doubling quotes, which is
/// injection-proof only while a backslash is an ordinary character), no JIT for these short
/// queries, custom plans for prepared statements, ISO dates, exact float text, the command
/// time-out and the time zone.
std::vector<ServerSetting> OurSettings(std::int64_t statement_timeout_ms, const std::string& zone);

/// The host's local time zone as the server's TimeZone takes it: the zone named by TZ
/// (":Europe/Berlin", or a path into a zoneinfo folder), else the zone that /etc/localtime links
/// to, else /etc/timezone. A TZ that is a POSIX rule rather than a name, or no zone found, gives
/// the current offset, which knows nothing of summer time. Never needs quoting.
std::string LocalTimeZone();
/// The host's current offset from UTC in hours ("5.5"), for a server that does not know the
/// zone's name.
std::string LocalOffsetZone();

}  // namespace carvalen::db::pg
