// Dictionary: entries in insertion order plus a hash index from key to position.
//
// Key equality: text byte for byte; Integer, Long, LongLong and Double by numeric value across
// those types (1, 1L and 1.0 are one key); Booleans only among themselves; dates by value; Empty,
// Null and missing each equal only to themselves; objects by identity. A text never equals a
// number. Arrays cannot be keys (13).
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "carvalen/dictionary.hpp"

#include "carvalen/error.hpp"
#include "value/keyed_hash.hpp"
#include "value/text.hpp"

namespace carvalen {

namespace {

bool IsNumericKey(VarType type) {
  return type == VarType::Integer || type == VarType::Long || type == VarType::LongLong ||
         type == VarType::Double;
}

const Variant& CheckedKey(const Variant& key) {
  if (key.IsArray()) throw Error::Runtime(errnum::kTypeMismatch);
  return key;
}

// Exact comparison of an integer key with a double key (no rounding through double).
bool SameNumber(std::int64_t i, double d) {
  constexpr double kTwo63 = 9'223'372'036'854'775'808.0;
  return d >= -kTwo63 && d < kTwo63 && std::trunc(d) == d && static_cast<std::int64_t>(d) == i;
}

void RequireArguments(std::span<Variant> args, std::size_t count) {
  if (args.size() != count) throw Error::Runtime(errnum::kWrongArgumentCount);
}

constexpr std::size_t kScanned = 8;  // entries looked up by a scan, without a table

// Keys come from callers (a request's dictionary), so their hash must not be predictable: with
// a fixed hash, keys that share a slot are found offline and each insert probes past all the
// others. SipHash-1-3 under a key drawn once per process, as Rust and Python hash their maps.
struct SipKey {
  std::uint64_t k0, k1;
};

const SipKey& ProcessKey() {
  static const SipKey key = [] {
    std::random_device device;
    const auto word = [&device] { return (static_cast<std::uint64_t>(device()) << 32) ^ device(); };
    return SipKey{word(), word()};
  }();
  return key;
}

class SipHasher {
 public:
  SipHasher(const SipKey& key, std::uint64_t tag)
      : v0_(key.k0 ^ 0x736f6d6570736575ULL),
        v1_(key.k1 ^ tag ^ 0x646f72616e646f6dULL),
        v2_(key.k0 ^ 0x6c7967656e657261ULL),
        v3_(key.k1 ^ tag ^ 0x7465646279746573ULL) {}

  std::uint64_t Hash(const unsigned char* data, std::size_t size) {
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) Block(Load(data + at, 8));
    Block((static_cast<std::uint64_t>(size) << 56) | Load(data + at, size - at));
    v2_ ^= 0xff;
    Round();
    Round();
    Round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  static std::uint64_t Load(const unsigned char* p, std::size_t n) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < n; ++i) word |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return word;
  }
  void Block(std::uint64_t m) {
    v3_ ^= m;
    Round();
    v0_ ^= m;
  }
  void Round() {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13) ^ v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16) ^ v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21) ^ v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17) ^ v2_;
    v2_ = std::rotl(v2_, 32);
  }
  std::uint64_t v0_, v1_, v2_, v3_;
};

std::uint64_t KeyedHash(std::uint64_t tag, const void* data, std::size_t size) {
  return SipHasher(ProcessKey(), tag).Hash(static_cast<const unsigned char*>(data), size);
}

}  // namespace

namespace value {

std::uint64_t KeyedHash(std::uint64_t tag, std::uint64_t key) {
  return carvalen::KeyedHash(tag, &key, sizeof key);
}

}  // namespace value

namespace {

std::uint64_t KeyedHash(std::uint64_t tag, std::uint64_t value) {
  return KeyedHash(tag, &value, sizeof value);
}

}  // namespace

std::size_t Dictionary::KeyHash::operator()(const Variant& key) const {
  // The type is part of what is hashed, except for numbers: 1, 1L and 1.0 are one key.
  const std::uint64_t tag = static_cast<std::uint64_t>(key.Type()) + 1;
  switch (key.Type()) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
    case VarType::Double: {
      double d =
          key.Type() == VarType::Double ? key.RawDouble() : static_cast<double>(key.RawInteger());
      if (d == 0.0) d = 0.0;                                            // -0.0 and 0.0
      if (std::isnan(d)) d = std::numeric_limits<double>::quiet_NaN();  // every NaN is one key
      return static_cast<std::size_t>(KeyedHash(0, std::bit_cast<std::uint64_t>(d)));
    }
    case VarType::Boolean:
      return static_cast<std::size_t>(KeyedHash(tag, key.RawBool() ? 1 : 0));
    case VarType::String: {
      const std::string& text = key.RawString();
      return static_cast<std::size_t>(KeyedHash(tag, text.data(), text.size()));
    }
    case VarType::Date:
      return static_cast<std::size_t>(
          KeyedHash(tag, static_cast<std::uint64_t>(key.RawDate().Micros())));
    case VarType::Object:
      return static_cast<std::size_t>(
          KeyedHash(tag, reinterpret_cast<std::uintptr_t>(key.GetObject().get())));
    case VarType::Empty:
    case VarType::Null:
    case VarType::Missing:
    case VarType::Array:
      break;
  }
  return static_cast<std::size_t>(KeyedHash(tag, 0));
}

bool Dictionary::KeyEqual::operator()(const Variant& a, const Variant& b) const {
  const bool a_number = IsNumericKey(a.Type());
  const bool b_number = IsNumericKey(b.Type());
  if (a_number && b_number) {
    const bool a_double = a.Type() == VarType::Double;
    const bool b_double = b.Type() == VarType::Double;
    if (!a_double && !b_double) return a.RawInteger() == b.RawInteger();
    if (a_double && b_double) {
      return a.RawDouble() == b.RawDouble() ||
             (std::isnan(a.RawDouble()) && std::isnan(b.RawDouble()));
    }
    return a_double ? SameNumber(b.RawInteger(), a.RawDouble())
                    : SameNumber(a.RawInteger(), b.RawDouble());
  }
  return a == b;  // same type and value; objects by identity
}

std::size_t Dictionary::Find(const Variant& key, std::size_t hash) const {
  const KeyEqual equal;
  if (slots_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (hashes_[i] == hash && equal(entries_[i].first, key)) return i;
    }
    return kNotFound;
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = hash & mask; slots_[s] != 0; s = (s + 1) & mask) {
    const std::size_t i = slots_[s] - 1;
    if (hashes_[i] == hash && equal(entries_[i].first, key)) return i;
  }
  return kNotFound;
}

void Dictionary::Index(std::size_t entry) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = hashes_[entry] & mask;
  while (slots_[s] != 0) s = (s + 1) & mask;
  slots_[s] = static_cast<std::uint32_t>(entry + 1);
}

void Dictionary::Rehash(std::size_t slot_count) {
  std::vector<std::uint32_t> slots(slot_count, 0);
  slots_.swap(slots);
  for (std::size_t i = 0; i < entries_.size(); ++i) Index(i);
}

void Dictionary::Reserve(std::size_t count) {
  entries_.reserve(count);
  hashes_.reserve(count);
  if (count > kScanned && slots_.size() < 2 * count) Rehash(std::bit_ceil(2 * count));
}

void Dictionary::Add(Variant key, Variant item) {
  const std::size_t hash = KeyHash{}(CheckedKey(key));
  if (Find(key, hash) != kNotFound) throw Error::Runtime(errnum::kDuplicateKey);
  const std::size_t count = entries_.size() + 1;
  if (count > kScanned && slots_.size() < 2 * count) Rehash(std::bit_ceil(4 * count));
  hashes_.push_back(hash);
  try {
    entries_.emplace_back(std::move(key), std::move(item));
  } catch (...) {
    hashes_.pop_back();
    throw;
  }
  if (!slots_.empty()) Index(entries_.size() - 1);
}

void Dictionary::Set(const Variant& key, Variant item) {
  const std::size_t found = Find(CheckedKey(key), KeyHash{}(key));
  if (found == kNotFound) {
    Add(key, std::move(item));
  } else {
    entries_[found].second = std::move(item);
  }
}

bool Dictionary::Exists(const Variant& key) const {
  return Find(CheckedKey(key), KeyHash{}(key)) != kNotFound;
}

const Variant& Dictionary::Item(const Variant& key) const {
  static const Variant kNone;
  const std::size_t found = Find(CheckedKey(key), KeyHash{}(key));
  return found == kNotFound ? kNone : entries_[found].second;
}

Array Dictionary::Keys() const {
  std::vector<Variant> keys;
  keys.reserve(entries_.size());
  for (const Entry& entry : entries_) keys.push_back(entry.first);
  return Array::Of(std::move(keys));
}

Array Dictionary::Items() const {
  std::vector<Variant> items;
  items.reserve(entries_.size());
  for (const Entry& entry : entries_) items.push_back(entry.second);
  return Array::Of(std::move(items));
}

Variant Dictionary::Invoke(std::string_view name, std::span<Variant> args) {
  using text::EqualsNoCase;
  if (EqualsNoCase(name, "Add")) {
    RequireArguments(args, 2);
    Add(args[0], args[1]);
    return Variant();
  }
  if (EqualsNoCase(name, "Item")) {
    RequireArguments(args, 1);
    return Item(args[0]);
  }
  if (EqualsNoCase(name, "Exists")) {
    RequireArguments(args, 1);
    return Variant(Exists(args[0]));
  }
  if (EqualsNoCase(name, "Count")) {
    RequireArguments(args, 0);
    return Variant(Count());
  }
  if (EqualsNoCase(name, "Keys")) {
    RequireArguments(args, 0);
    return Variant(Keys());
  }
  if (EqualsNoCase(name, "Items")) {
    RequireArguments(args, 0);
    return Variant(Items());
  }
  return Object::Invoke(name, args);
}

}  // namespace carvalen
