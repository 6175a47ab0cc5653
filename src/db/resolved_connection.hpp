// What a connection string resolves to for an open: its settings with the caller's user and
// password applied and a SQLite path made absolute, and the pool key of the result.
#pragma once

#include <memory>
#include <string>

#include "db/connection_string.hpp"

namespace carvalen::db {

struct ResolvedConnection {
  ParsedConnection settings;
  std::string pool_key;  // settings.Canonical()
};

/// Resolves `text`; fails as ParseConnectionString does. Parsing and canonicalising cost more
/// than the rest of a pooled open and every operation opens one of a few strings, so answers are
/// kept (a bounded number) for strings whose meaning cannot change: not a relative SQLite path,
/// which depends on the working folder. Errors are never kept.
std::shared_ptr<const ResolvedConnection> ResolveSettings(const std::string& text,
                                                          const std::string& user,
                                                          const std::string& password);

}  // namespace carvalen::db
