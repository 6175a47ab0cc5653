#include "db/postgres/error.hpp"

#include "db/driver.hpp"
#include "db/postgres/libpq.hpp"
#include "value/text.hpp"

namespace carvalen::db {
namespace pg {
namespace {

std::string TrimmedMessage(const char* text) {
  return std::string(text::TrimBlanks(text != nullptr ? text : ""));
}

}  // namespace

std::int32_t PackSqlState(std::string_view state) {
  std::uint32_t packed = 0;
  for (std::size_t i = 0; i < 5 && i < state.size(); ++i) {
    packed |= (static_cast<std::uint32_t>(state[i] - '0') & 0x3F) << (6 * i);
  }
  return static_cast<std::int32_t>(packed);
}

Error PgError(PGconn* conn, const PGresult* result, const std::string& statement,
              const char* fallback_state) {
  const char* state =
      result != nullptr ? Pq().PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary =
      result != nullptr ? Pq().PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const std::string whole = result != nullptr && *Pq().PQresultErrorMessage(result) != '\0'
                                ? TrimmedMessage(Pq().PQresultErrorMessage(result))
                                : TrimmedMessage(Pq().PQerrorMessage(conn));
  std::string message = primary != nullptr ? std::string(primary) : whole;
  if (message.empty()) message = "unknown PostgreSQL error";
  std::string sqlstate =
      state != nullptr && std::string_view(state).size() == 5 ? state : fallback_state;
  Error error(PackSqlState(sqlstate), std::move(message), "PostgreSQL");
  error.WithNative(sqlstate, statement).WithMessage(whole);
  return error;
}

bool FallsBackToText(const Error& e) {
  const std::string& state = e.NativeCode();
  return state.size() == 5 && !state.starts_with("08") && !state.starts_with("57") &&
         !state.starts_with("53");
}
}  // namespace pg

Error PostgresConnectError(std::string message) {
  Error error(pg::PackSqlState("08001"), message, "PostgreSQL");
  error.WithNative("08001", {}).WithMessage(std::move(message));
  return error;
}

}  // namespace carvalen::db
