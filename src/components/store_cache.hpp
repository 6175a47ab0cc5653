// The parsed configuration stores of this process, shared by every Configuration. Private to
// src/components/.
#pragma once

#include <toml++/toml.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "components/configuration.hpp"
#include "components/contract_store.hpp"
#include "db/file_watch.hpp"

namespace carvalen::components {

struct Configuration::Store {
  std::string name;
  std::string path;
  toml::table table;
  // The contract connection settings read from `table`, once a call has read them without
  // failing. Guarded by the store cache's mutex: the rest of a store never changes.
  mutable std::shared_ptr<const contract_store::ContractConnection> contract;
};

/// The parsed stores of this process, keyed by absolute file path, shared by every
/// Configuration. A store is used again without reading it only while its file watch proves that
/// nothing happened to it since it was read; otherwise the call reads the file, and the cache
/// spares the parse when the text is the one parsed before. Errors are never kept: a store that
/// fails is read again by the next call, so that it fails the same way.
///
/// Every call of every thread looks here, and the entries change only when a store does: each
/// thread reads its own copy of the entries, taken again under the mutex when the version moved.
class StoreCache {
 public:
  static StoreCache& Instance();

  /// The store kept under `key` for `path`, when nothing has happened to its file since it was
  /// read.
  std::shared_ptr<const Configuration::Store> Current(const std::string& key,
                                                      const std::string& path) {
    const Copy& copy = Current();
    auto it = copy.entries.find(key);
    if (it == copy.entries.end() || it->second->store->path != path) return nullptr;
    return db::Unchanged(it->second->stamp) ? it->second->store : nullptr;
  }

  /// The store parsed from `text` at `path` before, or null.
  std::shared_ptr<const Configuration::Store> Find(const std::string& key, const std::string& path,
                                                   const std::string& text) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second->text != text || it->second->store->path != path) {
      return nullptr;
    }
    return it->second->store;
  }

  /// The contract settings kept with `store`, or null when none were read from it yet.
  std::shared_ptr<const contract_store::ContractConnection> Contract(
      const Configuration::Store& store) {
    const Copy& copy = Current();
    auto it = copy.contracts.find(&store);
    if (it != copy.contracts.end()) return it->second;
    std::lock_guard lock(mutex_);  // a store that is no longer kept
    return store.contract;
  }

  /// Keeps `contract` with `store`, which it was read from.
  void KeepContract(const Configuration::Store& store,
                    std::shared_ptr<const contract_store::ContractConnection> contract) {
    std::lock_guard lock(mutex_);
    store.contract = std::move(contract);
    version_.fetch_add(1, std::memory_order_release);
  }

  /// Keeps `store`, parsed from `text`, which was read after `stamp` was taken.
  void Keep(const std::string& key, std::string text,
            std::shared_ptr<const Configuration::Store> store, db::WatchStamp stamp) {
    auto entry =
        std::make_shared<Entry>(Entry{std::move(text), std::move(store), std::move(stamp)});
    std::lock_guard lock(mutex_);
    entries_[key] = std::move(entry);
    version_.fetch_add(1, std::memory_order_release);
  }

  void Forget() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    version_.fetch_add(1, std::memory_order_release);
  }

 private:
  struct Entry {
    std::string text;  // what `store` was parsed from
    std::shared_ptr<const Configuration::Store> store;
    db::WatchStamp stamp;  // taken before `text` was read
  };

  using Entries = std::unordered_map<std::string, std::shared_ptr<const Entry>>;
  // One thread's view of the cache at one version.
  struct Copy {
    std::uint64_t version = 0;  // before the first: a new copy is taken
    Entries entries;
    std::unordered_map<const Configuration::Store*,
                       std::shared_ptr<const contract_store::ContractConnection>>
        contracts;
  };

  const Copy& Current() {
    thread_local Copy copy;
    if (copy.version != version_.load(std::memory_order_acquire)) {
      std::lock_guard lock(mutex_);
      copy.entries = entries_;
      copy.contracts.clear();
      for (const auto& [key, entry] : entries_) {
        if (entry->store->contract) copy.contracts[entry->store.get()] = entry->store->contract;
      }
      copy.version = version_.load(std::memory_order_relaxed);
    }
    return copy;
  }

  std::mutex mutex_;
  Entries entries_;
  std::atomic<std::uint64_t> version_ = 1;
};

}  // namespace carvalen::components
