#include "cli/explain.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "carvalen/error.hpp"
#include "carvalen/settings.hpp"
#include "components/contract_settings.hpp"
#include "components/defaults.hpp"
#include "db/connection_string.hpp"
#include "value/error_text.hpp"

namespace carvalen::cli {
namespace {

namespace fs = std::filesystem;

fs::path StoreFolder() {
  std::string folder = GetSetting(Setting::ConfigDir);
  if (folder.empty()) folder = "config";  // the library's own default
  std::error_code ignored;
  fs::path absolute = fs::absolute(folder, ignored);
  return absolute.empty() ? fs::path(folder) : absolute.lexically_normal();
}

std::string NoStore() {
  std::string files;
  for (const char* store : settings::kStores) {
    files += (files.empty() ? "" : " nor ") + std::string(store) + ".toml";
  }
  return fmt::format("no {} in {} ({})", files, StoreFolder().string(),
                     GetSetting(Setting::ConfigDir).empty()
                         ? "CARVALEN_CONFIG_DIR is unset, so ./config is searched"
                         : "the folder CARVALEN_CONFIG_DIR names");
}

// The store that gives the connection, as the library picks it.
std::optional<fs::path> FirstStore() {
  for (const char* store : settings::kStores) {
    fs::path path = StoreFolder() / (std::string(store) + ".toml");
    std::error_code ignored;
    if (fs::is_regular_file(path, ignored)) return path;
  }
  return std::nullopt;
}

// The database the store names, as a person finds it: the file, or the server and database.
std::string Database() {
  const std::optional<fs::path> store = FirstStore();
  if (!store) return NoStore();
  try {
    const auto config = std::dynamic_pointer_cast<IConfiguration>(components::NewConfiguration());
    const std::optional<settings::ContractConnection> read =
        settings::ReadContractConnection(*config);
    if (!read) return NoStore();
    const db::ConnectionSettings connection = db::ParseConnectionString(read->connection_string);
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

// The argument a failed conversion stopped at: the first whose value does not convert to its
// declared type with the same error.
std::string Parameter(std::int32_t number, const std::vector<GivenScalar>& given) {
  for (const GivenScalar& arg : given) {
    const std::string& type = arg.param->type;
    try {
      if (type == "Long") {
        (void)arg.value.ToLong();
      } else if (type == "Double") {
        (void)arg.value.ToDouble();
      } else if (type == "Boolean") {
        (void)arg.value.ToBool();
      } else if (type == "Date") {
        (void)arg.value.ToDate();
      } else if (type == "String") {
        (void)arg.value.ToString();
      }
    } catch (const Error& error) {
      if (error.Number() != number) continue;
      std::string shown = arg.value.IsNull() ? "Null" : arg.value.ToString();
      if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
      return fmt::format("parameter {} ({}) was given {} \"{}\"", arg.param->name, type,
                         arg.value.TypeName(), shown);
    } catch (const std::exception&) {
    }
  }
  return {};
}

}  // namespace

std::vector<GivenScalar> Scalars(const api::Target& target, const std::vector<Variant>& args) {
  std::vector<GivenScalar> scalars;
  const auto& params = target.method->parameters;
  for (std::size_t i = 0; i < args.size() && i < params.size(); ++i) {
    if (args[i].IsArray() || args[i].IsObject() || args[i].IsMissing()) continue;
    scalars.push_back({&params[i], args[i]});
  }
  return scalars;
}

std::string ExplainFailure(const api::Target& target, const std::vector<GivenScalar>& given,
                           std::string_view error_document) {
  const nlohmann::json document = nlohmann::json::parse(error_document, nullptr, false);
  if (!document.is_object() || !document.contains("error")) return {};
  const nlohmann::json& error = document["error"];
  const std::int32_t number = error.value("number", 0);
  const std::string source = error.value("source", "");
  const text::DescriptionParts parts = text::SplitDescription(error.value("description", ""));
  // A number of the library's own range reads as the description writes it, in hexadecimal.
  const std::string shown = number < 0 ? fmt::format("0x{:X}", static_cast<std::uint32_t>(number))
                                       : std::to_string(number);
  std::string line =
      fmt::format("carvalen: {}.{} failed: {} (error {}", target.type->metadata->name,
                  target.method->name, parts.message, shown);
  if (parts.methods.size() > 1) line += " in " + parts.methods.back();
  line += ')';

  std::string where;
  if (number == errnum::kNoConfigurationStore) {
    where = NoStore();
  } else if (number == errnum::kTypeMismatch || number == errnum::kOverflow ||
             number == errnum::kInvalidUseOfNull) {
    where = Parameter(number, given);
  } else if (source == "SQLite" || source == "PostgreSQL" ||
             (!parts.methods.empty() && parts.methods.back().ends_with("GetSourceConnection"))) {
    where = Database();
  }
  return where.empty() ? line : line + "; " + where;
}

}  // namespace carvalen::cli
