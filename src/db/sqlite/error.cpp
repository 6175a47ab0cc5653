#include "db/sqlite/error.hpp"

namespace carvalen::db::sqlite {
namespace {

// "SQLITE_X" of a result code (the primary code of an extended one).
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

}  // namespace

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

}  // namespace carvalen::db::sqlite
