#include "db/field_set.hpp"

#include <bit>

#include "value/text.hpp"

namespace carvalen::db {
namespace {

// Names equal without regard to ASCII case hash alike: setting bit 0x20 folds the letters (and
// maps a few other characters together, which the full comparison sorts out).
std::uint64_t FoldedHash(std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325ULL ^ name.size();
  for (char c : name) h = (h ^ (static_cast<unsigned char>(c) | 0x20U)) * 0x100000001b3ULL;
  return h ^ (h >> 29);
}

}  // namespace

FieldSet::FieldSet(std::vector<std::string> names) : names_(std::move(names)) {
  hashes_.reserve(names_.size());
  for (const std::string& name : names_) hashes_.push_back(FoldedHash(name));
  // At most half full, so that a miss ends after a probe or two.
  slots_.assign(std::bit_ceil(names_.size() * 2 + 1), 0);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    std::size_t s = hashes_[i] & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<std::uint32_t>(i + 1);
  }
}

std::size_t FieldSet::Find(std::string_view name) const {
  if (slots_.empty()) return npos;
  const std::uint64_t wanted = FoldedHash(name);
  const std::size_t mask = slots_.size() - 1;
  // Columns went in in order, so among equal names the first sits earliest on the probe path.
  for (std::size_t s = wanted & mask; slots_[s] != 0; s = (s + 1) & mask) {
    const std::size_t i = slots_[s] - 1;
    // Callers mostly spell a name as the database reports it: the exact comparison decides
    // most look-ups at memcmp speed.
    if (hashes_[i] == wanted && (names_[i] == name || text::EqualsNoCase(names_[i], name))) {
      return i;
    }
  }
  return npos;
}

}  // namespace carvalen::db
