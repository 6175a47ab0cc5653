#include "components/configuration.hpp"

#include <fmt/format.h>

#include <toml++/toml.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "carvalen/settings.hpp"
#include "components/defaults.hpp"
#include "components/late_binding.hpp"

namespace carvalen::components {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultFolder = "config";
constexpr const char* kConnectionStringsTable = "ConnectionStrings";

// A store name is a file name inside the folder, never a path that leads out of it.
bool IsValidStoreName(std::string_view store) {
  return !store.empty() && store.find('/') == std::string_view::npos &&
         store.find('\0') == std::string_view::npos;
}

// The folder is looked up on every use: the store is read again on every call anyway, and a host
// may point the setting elsewhere while it runs.
fs::path StorePath(std::string_view store) {
  const std::string folder = GetSetting(Setting::ConfigDir);
  fs::path base = !folder.empty() ? fs::path(folder) : fs::path(kDefaultFolder);
  return base / (std::string(store) + ".toml");
}

Variant ToVariant(const toml::node& node) {
  if (const auto* text = node.as_string()) {
    // An empty text is how a store leaves a setting unset (an empty time-out means no limit).
    if (text->get().empty()) return Variant();
    return Variant(text->get());
  }
  if (const auto* integer = node.as_integer()) {
    const std::int64_t value = integer->get();
    if (value >= std::numeric_limits<std::int32_t>::min() &&
        value <= std::numeric_limits<std::int32_t>::max()) {
      return Variant(static_cast<std::int32_t>(value));
    }
    return Variant(value);
  }
  if (const auto* real = node.as_floating_point()) return Variant(real->get());
  if (const auto* flag = node.as_boolean()) return Variant(flag->get());
  // Dates, times, arrays and tables: their TOML text, which is at least something a caller
  // can show or parse.
  std::ostringstream text;
  text << toml::node_view<const toml::node>(node);
  return Variant(text.str());
}

}  // namespace

struct Configuration::Store {
  std::string name;
  std::string path;
  toml::table table;
};

Configuration::Configuration() = default;
Configuration::~Configuration() = default;

bool Configuration::StoreExists(const std::string& store) {
  if (!IsValidStoreName(store)) return false;
  std::error_code ec;
  return fs::is_regular_file(StorePath(store), ec);
}

void Configuration::OpenStore(const std::string& store, std::int32_t /*mode*/) {
  // A failed open leaves no store open, so that nothing is read from the one opened before.
  store_.reset();
  if (!IsValidStoreName(store)) {
    throw ComponentError(kConfigurationName,
                         fmt::format("'{}' is not a valid configuration store name", store));
  }
  const fs::path path = StorePath(store);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      throw ComponentError(kConfigurationName,
                           fmt::format("Configuration store '{}' does not exist: no file '{}'",
                                       store, path.string()));
    }
    throw ComponentError(
        kConfigurationName,
        fmt::format("Configuration store '{}' could not be opened", path.string()));
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    throw ComponentError(kConfigurationName,
                         fmt::format("Configuration store '{}' could not be read", path.string()));
  }

  auto opened = std::make_unique<Store>();
  opened->name = store;
  opened->path = path.string();
  try {
    opened->table = toml::parse(text, opened->path);
  } catch (const toml::parse_error& e) {
    throw ComponentError(
        kConfigurationName,
        fmt::format("Configuration store '{}' could not be read: {} (line {}, column {})",
                    opened->path, e.description(), e.source().begin.line, e.source().begin.column));
  }
  store_ = std::move(opened);
}

const Configuration::Store& Configuration::OpenedStore(std::string_view operation) const {
  if (!store_) {
    throw ComponentError(kConfigurationName,
                         fmt::format("{} was called before a configuration store was opened "
                                     "(call OpenStore first)",
                                     operation));
  }
  return *store_;
}

std::string Configuration::GetConnectionString(const std::string& name) {
  const Store& store = OpenedStore("GetConnectionString");
  const toml::node* node = store.table[kConnectionStringsTable][name].node();
  if (node == nullptr) {
    throw ComponentError(kConfigurationName,
                         fmt::format("Configuration store '{}' ({}) has no connection string "
                                     "'{}' (key '{}' of table [{}])",
                                     store.name, store.path, name, name, kConnectionStringsTable));
  }
  const auto* text = node->as_string();
  if (text == nullptr) {
    throw ComponentError(kConfigurationName,
                         fmt::format("Connection string '{}' in configuration store '{}' ({}) "
                                     "is not a string",
                                     name, store.name, store.path));
  }
  return text->get();
}

Variant Configuration::GetConfigValue(std::string& section, std::string& key) {
  const Store& store = OpenedStore("GetConfigValue");
  const toml::node* node = store.table[section][key].node();
  if (node == nullptr) return Variant();
  return ToVariant(*node);
}

Variant Configuration::Invoke(std::string_view name, std::span<Variant> args) {
  if (IsMember(name, "StoreExists")) {
    ExpectArguments(args, 1);
    return Variant(StoreExists(args[0].ToString()));
  }
  if (IsMember(name, "OpenStore")) {
    ExpectArguments(args, 2);
    OpenStore(args[0].ToString(), args[1].ToLong());
    return Variant();
  }
  if (IsMember(name, "GetConnectionString")) {
    ExpectArguments(args, 1);
    return Variant(GetConnectionString(args[0].ToString()));
  }
  if (IsMember(name, "GetConfigValue")) {
    ExpectArguments(args, 2);
    std::string section = args[0].ToString();
    std::string key = args[1].ToString();
    Variant value = GetConfigValue(section, key);
    args[0] = Variant(std::move(section));
    args[1] = Variant(std::move(key));
    return value;
  }
  return Object::Invoke(name, args);
}

ObjectPtr NewConfiguration() { return std::make_shared<Configuration>(); }

}  // namespace carvalen::components
