// The result dictionary: Variant keys compared exactly (the text "1" and the number 1 are
// different keys, text is compared byte for byte), Variant items, insertion order kept, and Add
// failing with 457 on a duplicate key.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "carvalen/variant.hpp"

namespace carvalen {

class CARVALEN_API Dictionary final : public Object {
 public:
  using Entry = std::pair<Variant, Variant>;

  static std::shared_ptr<Dictionary> Create() { return std::make_shared<Dictionary>(); }

  /// Adds an entry; a key already present fails with 457.
  void Add(Variant key, Variant item);
  /// Makes room for `count` entries, so that filling a dictionary of known size does not
  /// reallocate its entries or rehash its index on the way.
  void Reserve(std::size_t count);
  /// Sets the item under `key`, adding the entry when it is new.
  void Set(const Variant& key, Variant item);
  bool Exists(const Variant& key) const;
  /// The item under `key`; Empty when there is none (nothing is added).
  const Variant& Item(const Variant& key) const;
  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }
  /// Keys and items as zero-based arrays, in insertion order.
  Array Keys() const;
  Array Items() const;
  const std::vector<Entry>& Entries() const { return entries_; }

  std::string ClassName() const override { return "Dictionary"; }
  /// Add, Item, Exists, Count, Keys, Items by name.
  Variant Invoke(std::string_view name, std::span<Variant> args) override;

 private:
  struct KeyHash {
    std::size_t operator()(const Variant& key) const;
  };
  struct KeyEqual {
    bool operator()(const Variant& a, const Variant& b) const;
  };

  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
  std::size_t Find(const Variant& key, std::size_t hash) const;
  void Rehash(std::size_t slot_count);
  void Index(std::size_t entry);

  // The keys live once, in entries_; the index holds positions. Up to a handful of entries a
  // scan of the hashes beats any table, so the table is made only beyond that.
  std::vector<Entry> entries_;
  std::vector<std::size_t> hashes_;   // of each entry's key
  std::vector<std::uint32_t> slots_;  // open addressing: entry + 1, 0 free; at most half full
};

using DictionaryPtr = std::shared_ptr<Dictionary>;

}  // namespace carvalen
