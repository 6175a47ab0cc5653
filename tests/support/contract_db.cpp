#include "support/contract_db.hpp"

#include <fstream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "carvalen/settings.hpp"
#include "model/schema.hpp"

namespace carvalen::test {

// The log component itself: every instance the library asks for is this one.
struct LogRecorder::State : IDiagnosticLog {
  std::string ClassName() const override { return kLogName; }
  Variant WriteLogEntry(std::string& source, std::string& text, std::int32_t& kind) override {
    return WriteDiagnosticEntry(source, text, kind, {});
  }
  Variant WriteDiagnosticEntry(std::string& source, std::string& text, std::int32_t& kind,
                               const ErrorDiagnostics& diagnostics) override {
    std::lock_guard lock(mutex);
    entries.push_back({source, text, kind, diagnostics});
    return Variant();
  }
  std::mutex mutex;
  std::vector<LogEntry> entries;
};

LogRecorder::LogRecorder()
    : state_(std::make_shared<State>()), log_(kLogName, [state = state_] { return state; }) {}

std::vector<LogEntry> LogRecorder::Entries() const {
  std::lock_guard lock(state_->mutex);
  return state_->entries;
}

void LogRecorder::Clear() {
  std::lock_guard lock(state_->mutex);
  state_->entries.clear();
}

ContractDb::ContractDb(Provider provider) : database_(std::make_unique<TestDatabase>(provider)) {
  database_->Exec(model::SchemaScript(provider == Provider::SQLite
                                          ? model::SchemaProvider::SQLite
                                          : model::SchemaProvider::PostgreSQL));
  // A JSON string is a TOML basic string too.
  std::ofstream(config_ / "Vendra.toml")
      << "[ConnectionStrings]\nEContract = " << nlohmann::json(database_->ConnectionString()).dump()
      << "\n\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
         "EContractConnection_ConnectionTimeout = \"15\"\n";
  SetSetting(Setting::ConfigDir, config_dir_);
}

}  // namespace carvalen::test
