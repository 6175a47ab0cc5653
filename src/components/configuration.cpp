#include "components/configuration.hpp"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <toml++/toml.h>
#include <limits>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "carvalen/settings.hpp"
#include "components/component_error.hpp"
#include "components/contract_store.hpp"
#include "components/defaults.hpp"
#include "components/store_cache.hpp"
#include "value/binding.hpp"
#include "value/text.hpp"

namespace carvalen::components {

namespace {

constexpr const char* kDefaultFolder = "config";
constexpr const char* kConnectionStringsTable = "ConnectionStrings";

// A store name is a file name inside the folder, never a path that leads out of it.
bool IsValidStoreName(std::string_view store) {
  return !store.empty() && store.find('/') == std::string_view::npos &&
         store.find('\0') == std::string_view::npos;
}

// The folder is looked up on every use: a host may point the setting elsewhere while it runs.
std::string Folder() {
  std::string folder = GetSetting(Setting::ConfigDir);
  if (folder.empty()) folder = kDefaultFolder;
  return folder;
}

// Plain text rather than std::filesystem: this runs on every call, and the store name has no
// separator (IsValidStoreName), so joining is all that path arithmetic would do.
std::string StorePath(std::string_view folder, std::string_view store) {
  std::string path;
  path.reserve(folder.size() + store.size() + 6);
  path.append(folder);
  if (path.back() != '/') path += '/';
  path.append(store).append(".toml");
  return path;
}

std::string StorePath(std::string_view store) { return StorePath(Folder(), store); }

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

/// What reading a store file found.
enum class FileRead { kAbsent, kUnopenable, kUnreadable, kRead };

/// The whole file at `path`, read now. A store is small, and its content, not its times or
/// size, says whether it changed: file clocks tick too coarsely to tell two quick writes apart.
FileRead ReadWhole(const std::string& path, std::string& text) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? FileRead::kAbsent : FileRead::kUnopenable;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FileRead::kUnopenable;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? FileRead::kUnreadable : FileRead::kAbsent;
  text.reserve(static_cast<std::size_t>(st.st_size) + 1);
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return FileRead::kUnreadable;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return FileRead::kRead;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Configuration::Configuration() = default;
Configuration::~Configuration() = default;

bool Configuration::StoreExists(const std::string& store) {
  if (!IsValidStoreName(store)) return false;
  return IsRegularFile(StorePath(store));
}

void Configuration::OpenStore(const std::string& store, std::int32_t /*mode*/) {
  // A failed open leaves no store open, so that nothing is read from the one opened before.
  store_.reset();
  if (!IsValidStoreName(store)) {
    throw ComponentError(kConfigurationName,
                         fmt::format("'{}' is not a valid configuration store name", store));
  }
  const std::string path = StorePath(store);
  const std::string key = db::AbsolutePath(path);
  if (auto kept = StoreCache::Instance().Current(key, path)) {
    store_ = std::move(kept);
    return;
  }
  db::WatchStamp stamp = db::StampPath(key, /*content=*/true);
  std::string text;
  switch (ReadWhole(path, text)) {
    case FileRead::kAbsent:
      throw ComponentError(
          kConfigurationName,
          fmt::format("Configuration store '{}' does not exist: no file '{}'", store, path));
    case FileRead::kUnopenable:
      throw ComponentError(kConfigurationName,
                           fmt::format("Configuration store '{}' could not be opened", path));
    case FileRead::kUnreadable:
      throw ComponentError(kConfigurationName,
                           fmt::format("Configuration store '{}' could not be read", path));
    case FileRead::kRead:
      break;
  }
  store_ = Parse(store, path, key, std::move(text), std::move(stamp));
}

std::shared_ptr<const Configuration::Store> Configuration::Parse(const std::string& store,
                                                                 const std::string& path,
                                                                 const std::string& key,
                                                                 std::string text,
                                                                 db::WatchStamp stamp) {
  StoreCache& cache = StoreCache::Instance();
  if (auto cached = cache.Find(key, path, text)) {
    cache.Keep(key, std::move(text), cached, std::move(stamp));
    return cached;
  }
  auto opened = std::make_shared<Store>();
  opened->name = store;
  opened->path = path;
  try {
    opened->table = toml::parse(text, opened->path);
  } catch (const toml::parse_error& e) {
    throw ComponentError(
        kConfigurationName,
        fmt::format("Configuration store '{}' could not be read: {} (line {}, column {})",
                    opened->path, e.description(), e.source().begin.line, e.source().begin.column));
  }
  cache.Keep(key, std::move(text), opened, std::move(stamp));
  return opened;
}

std::shared_ptr<const contract_store::ContractConnection> Configuration::ReadContractConnection() {
  StoreCache& cache = StoreCache::Instance();
  const std::string folder = Folder();
  for (const char* name : contract_store::kStores) {
    const std::string path = StorePath(folder, name);
    if (auto kept = cache.Current(db::AbsolutePath(path), path)) {
      store_ = std::move(kept);
    } else {
      if (!IsRegularFile(path)) continue;
      // Opened the interface's way, so that a store that fails says so as OpenStore does.
      OpenStore(name, 0);
    }
    if (auto kept = cache.Contract(*store_)) return kept;
    auto read = std::make_shared<const contract_store::ContractConnection>(
        contract_store::ReadOpenStore(*this));
    cache.KeepContract(*store_, read);
    return read;
  }
  return nullptr;
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

std::string Configuration::SpelledOtherwise(const std::string& section,
                                            const std::string& key) const {
  const Store& store = OpenedStore("GetConfigValue");
  if (store.table[section][key].node() != nullptr) return {};
  for (const auto& [table_name, table_node] : store.table) {
    const toml::table* table = table_node.as_table();
    if (table == nullptr || !text::EqualsNoCase(table_name.str(), section)) continue;
    for (const auto& [key_name, ignored] : *table) {
      if (text::EqualsNoCase(key_name.str(), key)) {
        return fmt::format("[{}] {}", table_name.str(), key_name.str());
      }
    }
  }
  return {};
}

Variant Configuration::Invoke(std::string_view name, std::span<Variant> args) {
  using C = Configuration;
  static const std::vector<binding::MethodInfo> kMethods = {
      binding::Bind("StoreExists", &C::StoreExists, {"store"}),
      binding::Bind("OpenStore", &C::OpenStore, {"store", "mode"}),
      binding::Bind("GetConnectionString", &C::GetConnectionString, {"name"}),
      binding::Bind("GetConfigValue", &C::GetConfigValue, {"section", "key"}),
  };
  return binding::InvokeByName(kMethods, *this, name, args);
}

ObjectPtr NewConfiguration() { return std::make_shared<Configuration>(); }

}  // namespace carvalen::components
