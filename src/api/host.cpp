#include "api/host.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "carvalen/component.hpp"
#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"
#include "components/contract_store.hpp"
#include "components/defaults.hpp"
#include "db/abandon.hpp"
#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "frame/procedures.hpp"
#include "model/schema.hpp"
#include "value/text.hpp"

namespace carvalen::api {
namespace {

namespace fs = std::filesystem;

// The configuration component as created by name (a host may have put its own in its place),
// with the first store that exists opened; null when none does.
std::shared_ptr<IConfiguration> FirstStore(std::string* name) {
  auto config = std::dynamic_pointer_cast<IConfiguration>(CreateObject(kConfigurationName));
  if (!config) return nullptr;
  for (const char* store : contract_store::kStores) {
    if (!config->StoreExists(store)) continue;
    config->OpenStore(store, 0);
    *name = store;
    return config;
  }
  return nullptr;
}

fs::path StoreFolder() {
  std::string folder = GetSetting(Setting::ConfigDir);
  if (folder.empty()) folder = "config";  // the library's own default
  std::error_code ignored;
  fs::path absolute = fs::absolute(folder, ignored);
  return absolute.empty() ? fs::path(folder) : absolute.lexically_normal();
}

}  // namespace

std::string MissingStoreText() {
  std::string files;
  for (const char* store : contract_store::kStores) {
    files += (files.empty() ? "" : " nor ") + std::string(store) + ".toml";
  }
  return fmt::format("no {} in {} ({})", files, StoreFolder().string(),
                     GetSetting(Setting::ConfigDir).empty()
                         ? "CARVALEN_CONFIG_DIR is unset, so ./config is searched"
                         : "the folder CARVALEN_CONFIG_DIR names");
}

namespace {

// The store that gives the connection, as the library picks it.
std::optional<fs::path> FirstStoreFile() {
  for (const char* store : contract_store::kStores) {
    fs::path path = StoreFolder() / (std::string(store) + ".toml");
    std::error_code ignored;
    if (fs::is_regular_file(path, ignored)) return path;
  }
  return std::nullopt;
}

}  // namespace

std::string ContractDatabaseText() {
  const std::optional<fs::path> store = FirstStoreFile();
  if (!store) return MissingStoreText();
  try {
    const auto config = std::dynamic_pointer_cast<IConfiguration>(components::NewConfiguration());
    const std::optional<contract_store::ContractConnection> read =
        contract_store::ReadContractConnection(*config);
    if (!read) return MissingStoreText();
    const db::ParsedConnection connection = db::ParseConnectionString(read->connection_string);
    const auto key = [&](const char* name, const char* otherwise) {
      return connection.Find(name).value_or(otherwise);
    };
    if (connection.provider == db::ProviderKind::SQLite) {
      const fs::path file = key("data source", "");
      std::error_code ignored;
      return fmt::format("database file {}{} (from {})", file.string(),
                         fs::exists(file, ignored) ? "" : ", which does not exist",
                         store->string());
    }
    return fmt::format("database {} on host {} port {} (from {})", key("database", "?"),
                       key("host", "localhost"), key("port", "5432"), store->string());
  } catch (const std::exception&) {
    // The store or its connection string does not read: the message says why, this says where.
    return fmt::format("connection string of {}", store->string());
  }
}

std::optional<std::string> SchemaScript(std::string_view provider) {
  if (text::EqualsNoCase(provider, "sqlite")) {
    return model::SchemaScript(model::SchemaProvider::SQLite);
  }
  if (text::EqualsNoCase(provider, "postgresql")) {
    return model::SchemaScript(model::SchemaProvider::PostgreSQL);
  }
  return std::nullopt;
}

std::optional<std::string> UnreadyReason() {
  try {
    db::ConnectionPtr connection = frame::GetSourceConnection();
    frame::CloseConnection(connection);
    return std::nullopt;
  } catch (...) {
    const Error error = CurrentError();
    std::string reason = error.Description();
    if (!error.NativeMessage().empty() && error.NativeMessage() != reason) {
      reason += ": " + error.NativeMessage();
    }
    // Where it looked: the folder, or the database and host (never the password).
    return reason + "; " + ContractDatabaseText();
  }
}

PoolGauges PoolCounts() { return {db::OpenConnectionCount(), db::PooledConnectionCount()}; }

void DrainPool() { db::DrainPool(); }

std::optional<std::string> StoreValue(const std::string& section, const std::string& key) {
  try {
    std::string name;
    const auto config = FirstStore(&name);
    if (!config) return std::nullopt;
    std::string s = section, k = key;
    const Variant value = config->GetConfigValue(s, k);
    if (value.IsEmpty()) return std::nullopt;
    return value.ToString();
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<StoreMisspelling> FindMisspelling(const std::string& section,
                                                const std::string& key) {
  try {
    StoreMisspelling found;
    const auto config =
        std::dynamic_pointer_cast<components::Configuration>(FirstStore(&found.store));
    if (!config) return std::nullopt;
    found.spelled = config->SpelledOtherwise(section, key);
    if (found.spelled.empty()) return std::nullopt;
    return found;
  } catch (...) {
    // A store that cannot be read has nothing to point out.
    return std::nullopt;
  }
}

AbandonScope::AbandonScope(bool (*check)(void*), void* context) {
  db::SetAbandonCheck(check, context);
}

AbandonScope::~AbandonScope() { db::SetAbandonCheck(nullptr, nullptr); }

}  // namespace carvalen::api
