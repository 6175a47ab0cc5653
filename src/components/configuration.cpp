#include "components/configuration.hpp"

#include <fmt/format.h>

#include <sys/stat.h>

#include <toml++/toml.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "carvalen/settings.hpp"
#include "components/contract_settings.hpp"
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

/// What identifies one version of a file: a write changes its size or times, a replacement its
/// inode.
struct FileId {
  bool regular = false;  // false: absent, or not a file
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileId& o) const {
    return regular == o.regular && device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

FileId Identify(const std::string& path) {
  struct stat st {};
  FileId id;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return id;
  id.regular = true;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modified = st.st_mtim;
  id.changed = st.st_ctim;
  return id;
}

}  // namespace

struct Configuration::Store {
  std::string name;
  std::string path;
  toml::table table;
  // The contract connection settings read from `table`, once a call has read them without
  // failing. Guarded by the store cache's mutex: the rest of a store never changes.
  mutable std::shared_ptr<const settings::ContractConnection> contract;
};

namespace {

using Clock = std::chrono::steady_clock;

/// How long a store file's state is trusted before it is looked at again: a store edited while
/// the host runs is seen by the calls that start at most this long after the edit.
constexpr auto kRecheckWindow = std::chrono::milliseconds(1000);

/// File times tick coarsely (a few ms): a file changed this close to when it was read could
/// change again unseen by size and times, so such a read is not trusted beyond one window.
constexpr auto kRacyMargin = std::chrono::seconds(2);

/// The parsed stores of this process, keyed by file path, shared by every Configuration. Each
/// call used to open, read and parse its store; now a call looks at the file at most once per
/// window and parses it again only when it changed. Errors are never kept: a store that fails
/// is read again by the next call, so that it fails the same way.
class StoreCache {
 public:
  static StoreCache& Instance() {
    static StoreCache cache;
    return cache;
  }

  /// Whether `path` is a regular file, as of at most one window ago.
  bool Exists(const std::string& path) {
    std::lock_guard lock(mutex_);
    return Current(path).id.regular;
  }

  /// The parsed store, or null when it must be read (never read, changed, or read too soon after
  /// a change).
  std::shared_ptr<const Configuration::Store> Find(const std::string& path) {
    std::lock_guard lock(mutex_);
    Entry& entry = Current(path);
    if (entry.store && entry.id.regular && entry.store_id == entry.id) return entry.store;
    return nullptr;
  }

  /// What Exists and then Find tell, in one look.
  struct Look {
    bool exists = false;
    std::shared_ptr<const Configuration::Store> store;             // null: must be read
    std::shared_ptr<const settings::ContractConnection> contract;  // null: not read yet
  };
  Look LookUp(const std::string& path) {
    std::lock_guard lock(mutex_);
    Entry& entry = Current(path);
    Look look;
    look.exists = entry.id.regular;
    if (entry.store && entry.id.regular && entry.store_id == entry.id) {
      look.store = entry.store;
      look.contract = entry.store->contract;
    }
    return look;
  }

  /// Keeps `contract` with `store`, which it was read from.
  void KeepContract(const Configuration::Store& store,
                    std::shared_ptr<const settings::ContractConnection> contract) {
    std::lock_guard lock(mutex_);
    store.contract = std::move(contract);
  }

  /// Keeps `store`, parsed from the file as `id` identified it before it was read.
  void Keep(const std::string& path, const FileId& id,
            std::shared_ptr<const Configuration::Store> store) {
    const auto modified =
        std::chrono::seconds(id.modified.tv_sec) + std::chrono::nanoseconds(id.modified.tv_nsec);
    const bool racy = std::chrono::system_clock::now().time_since_epoch() - modified < kRacyMargin;
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[path];
    entry.id = id;
    entry.checked = Clock::now();
    entry.store_id = id;
    entry.store = std::move(store);
    entry.racy = racy;
  }

  void Forget() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  struct Entry {
    FileId id;  // the file as last looked at
    Clock::time_point checked{};
    FileId store_id;  // the version `store` was parsed from
    std::shared_ptr<const Configuration::Store> store;
    bool racy = false;  // `store` is trusted until the next look only
  };

  Entry& Current(const std::string& path) {
    const auto now = Clock::now();
    auto [it, added] = entries_.try_emplace(path);
    Entry& entry = it->second;
    if (added || now - entry.checked >= kRecheckWindow) {
      entry.id = Identify(path);
      entry.checked = now;
      if (entry.racy) entry.store.reset();
    }
    return entry;
  }

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace

void ForgetConfigurationStores() { StoreCache::Instance().Forget(); }

Configuration::Configuration() = default;
Configuration::~Configuration() = default;

bool Configuration::StoreExists(const std::string& store) {
  if (!IsValidStoreName(store)) return false;
  return StoreCache::Instance().Exists(StorePath(store));
}

void Configuration::OpenStore(const std::string& store, std::int32_t /*mode*/) {
  // A failed open leaves no store open, so that nothing is read from the one opened before.
  store_.reset();
  if (!IsValidStoreName(store)) {
    throw ComponentError(kConfigurationName,
                         fmt::format("'{}' is not a valid configuration store name", store));
  }
  const std::string path = StorePath(store);
  if (auto cached = StoreCache::Instance().Find(path)) {
    store_ = std::move(cached);
    return;
  }
  // Identified before reading: a change during the read makes the next look read it again.
  const FileId id = Identify(path);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      throw ComponentError(
          kConfigurationName,
          fmt::format("Configuration store '{}' does not exist: no file '{}'", store, path));
    }
    throw ComponentError(kConfigurationName,
                         fmt::format("Configuration store '{}' could not be opened", path));
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    throw ComponentError(kConfigurationName,
                         fmt::format("Configuration store '{}' could not be read", path));
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
  StoreCache::Instance().Keep(path, id, opened);
  store_ = std::move(opened);
}

std::shared_ptr<const settings::ContractConnection> Configuration::ReadContractConnection() {
  StoreCache& cache = StoreCache::Instance();
  const std::string folder = Folder();
  for (const char* name : settings::kStores) {
    StoreCache::Look look = cache.LookUp(StorePath(folder, name));
    if (!look.exists) continue;
    if (look.contract) {
      store_ = std::move(look.store);
      return std::move(look.contract);
    }
    // Not read from this version yet: the interface's way, kept only when it succeeds.
    OpenStore(name, 0);
    auto read =
        std::make_shared<const settings::ContractConnection>(settings::ReadOpenStore(*this));
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
