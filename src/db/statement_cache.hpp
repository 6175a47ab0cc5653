// The statements a session keeps prepared, by statement shape (the text with its literals lifted
// out, see literal_lexer.hpp), most recently used first and at most a given number. Both drivers
// keep theirs here; what an entry holds (a prepared handle, a server-side name) is theirs.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace carvalen::db {

template <class Entry>
class StatementCache {
 public:
  /// `capacity` 0 or less: the cache keeps nothing (Enabled is false).
  explicit StatementCache(std::int32_t capacity) : capacity_(capacity) {}
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  bool Enabled() const { return capacity_ > 0; }
  bool Full() const { return static_cast<std::int32_t>(index_.size()) >= capacity_; }

  /// The entry under `key`, made the most recently used; null when there is none. Entries stay
  /// where they are in memory until taken out, so a pointer to one stays good.
  Entry* Use(std::string_view key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, it->second);
    return &it->second->entry;
  }
  /// The entry under `key`, its place unchanged; null when there is none.
  Entry* Peek(std::string_view key) {
    const auto it = index_.find(key);
    return it == index_.end() ? nullptr : &it->second->entry;
  }

  /// Keeps `entry` under `key` (not kept yet) as the most recently used.
  Entry& Insert(std::string key, Entry entry) {
    entries_.push_front(Node{std::move(key), std::move(entry)});
    index_.emplace(entries_.front().key, entries_.begin());
    return entries_.front().entry;
  }

  /// Takes the entry under `key` out of the cache.
  std::optional<Entry> Take(std::string_view key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    const auto node = it->second;
    index_.erase(it);
    std::optional<Entry> taken(std::move(node->entry));
    entries_.erase(node);
    return taken;
  }
  /// Takes out the least recently used entry that `may_go` allows; nullopt when none does.
  template <class Predicate>
  std::optional<Entry> TakeOldest(Predicate may_go) {
    for (auto it = entries_.end(); it != entries_.begin();) {
      --it;
      if (may_go(it->entry)) return Take(it->key);
    }
    return std::nullopt;
  }

  template <class Predicate>
  bool AnyOf(Predicate predicate) const {
    for (const Node& node : entries_) {
      if (predicate(node.entry)) return true;
    }
    return false;
  }

 private:
  struct Node {
    std::string key;
    Entry entry;
  };
  std::int32_t capacity_;
  std::list<Node> entries_;  // most recently used first
  std::unordered_map<std::string_view, typename std::list<Node>::iterator> index_;  // into keys
};

}  // namespace carvalen::db
