// A fresh contract database on one provider, a "Vendra" store naming it, and an in-memory log.
// Exec writes through a session of its own (the library's sessions are read-only).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/error.hpp"
#include "support/databases.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {

struct LogEntry {
  std::string source, text;
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

  Provider provider() const { return database_->provider(); }
  void Exec(const std::string& sql) { database_->Exec(sql); }
  const std::string& ConnectionString() const { return database_->ConnectionString(); }
  /// The SQLite file or the PostgreSQL schema.
  const std::string& Location() const { return database_->Location(); }
  /// Entries the library logged since this fixture was made (or since ClearLog).
  std::vector<LogEntry> Log() const { return log_.Entries(); }
  void ClearLog() { log_.Clear(); }
  /// The folder holding the Vendra.toml store.
  const std::string& ConfigDir() const { return config_dir_; }

 private:
  std::unique_ptr<TestDatabase> database_;
  testing::TempFolder config_;
  std::string config_dir_ = config_.path.string();
  LogRecorder log_;
};

}  // namespace carvalen::test
