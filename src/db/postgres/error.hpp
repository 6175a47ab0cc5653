// libpq's failures as the library's errors, and what a SQLSTATE tells the driver to do.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "carvalen/error.hpp"

namespace carvalen::db::pg {

/// The SQLSTATE packed as the server packs it internally (six bits a character, first character
/// lowest), so each state has one stable number.
std::int32_t PackSqlState(std::string_view state);

/// The one place where libpq's errors become ours: number = packed SQLSTATE, description = the
/// primary message, native code = the SQLSTATE, native message = libpq's whole text (with the
/// server's detail, hint and position, which the description leaves out). A failure without a
/// result (the connection is gone) or without SQLSTATE (libpq's own errors) uses `fallback_state`.
Error PgError(PGconn* conn, const PGresult* result, const std::string& statement,
              const char* fallback_state = "08006");

/// Whether a prepared statement's failure before its first row is answered by sending the text
/// instead: not when the session is gone, the statement was cancelled or timed out, or the
/// server ran out of something, which the text would only repeat (and wait for again).
bool FallsBackToText(const Error& e);

}  // namespace carvalen::db::pg
