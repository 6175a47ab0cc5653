// Loading the demo into PostgreSQL: the rows of a finished demo database copied into a server's
// database through libpq (opened here on demand), so that `init-demo` also gives a PostgreSQL
// deployment its data. The library itself never writes; this is the demo's own writer.
#pragma once

#include <filesystem>
#include <string>

namespace carvalen::demo {

/// The libpq connection keywords of a PostgreSQL connection string of the configuration store
/// ("Provider=PostgreSQL;Host=...;Database=..."), for a session that writes (on a primary).
std::string WriterConninfo(const std::string& connection);

/// A PostgreSQL connection string of the store's form naming what libpq's variables name
/// (PGHOST, PGPORT, PGDATABASE, PGUSER, PGOPTIONS; never a password), so that a store written
/// from the shell psql works in reaches the same database; fails when PGDATABASE is unset.
std::string ConnectionFromEnvironment();

/// Creates the contract tables in the database `connection` names (dropping them first when
/// `replace`), copies every row of the SQLite demo `source` into them and adds the indexes, all
/// in one transaction: a failure leaves the database as it was. Failures are DemoErrors.
void LoadIntoPostgres(const std::filesystem::path& source, const std::string& connection,
                      bool replace);

}  // namespace carvalen::demo
