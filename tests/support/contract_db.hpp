// A contract database for operation tests: a fresh database on one provider with the contract
// schema, a "Vendra" configuration store pointing at it, and a log that records entries in
// memory instead of writing them. Tests insert rows with plain SQL through Exec (which uses a
// writable session; the library's own sessions are read-only).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/error.hpp"
#include "support/databases.hpp"

namespace carvalen::test {

struct LogEntry {
  std::string source;
  std::string text;
  std::int32_t kind;
  ErrorDiagnostics diagnostics;
};

/// Records what the library writes to the log; installed as "Halvard.Log" while it lives.
class LogRecorder {
 public:
  LogRecorder();
  std::vector<LogEntry> Entries() const;
  void Clear();

  struct State;

 private:
  std::shared_ptr<State> state_;
  ComponentOverride log_;
};

class ContractDb {
 public:
  explicit ContractDb(Provider provider);
  ~ContractDb();

  Provider provider() const { return provider_; }
  /// Runs one writable statement (DDL or DML) on the test database.
  void Exec(const std::string& sql);
  /// The client connection string of the test database.
  const std::string& ConnectionString() const;
  /// The SQLite file or the PostgreSQL schema.
  const std::string& Location() const;
  /// Entries the library logged since this fixture was made (or since ClearLog).
  std::vector<LogEntry> Log() const { return log_.Entries(); }
  void ClearLog() { log_.Clear(); }
  /// The folder holding the Vendra.toml store.
  const std::string& ConfigDir() const { return config_dir_; }

 private:
  Provider provider_;
  std::unique_ptr<TestDatabase> database_;
  std::string config_dir_;
  LogRecorder log_;
};

}  // namespace carvalen::test
