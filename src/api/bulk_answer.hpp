// A bulk-pricing answer written out as its lines are priced, instead of built as a dictionary
// first: what the call path gives the streamed bulk call. Private to src/api/.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "contract/bulk_pricing.hpp"
#include "value/keyed_hash.hpp"

namespace carvalen::api {

// The whole numbers among keys, 8 bytes each in an open-addressing table at most half full,
// hashed with the dictionary's keyed hash: a bulk answer's products, where a dictionary would
// take some 180 bytes a key.
class WholeNumbers {
 public:
  /// False when `n` is there already.
  bool Insert(std::int64_t n) {
    if (2 * (count_ + 1) > slots_.size()) Grow();
    if (!Place(slots_, n)) return false;
    ++count_;
    return true;
  }

 private:
  static constexpr std::uint64_t kFree = 0;  // slots hold n + kBias; n never reaches -kBias
  static constexpr std::uint64_t kBias = std::uint64_t{1} << 63;

  static bool Place(std::vector<std::uint64_t>& slots, std::int64_t n) {
    const std::uint64_t stored = static_cast<std::uint64_t>(n) + kBias;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = value::KeyedHash(1, stored) & mask;; i = (i + 1) & mask) {
      if (slots[i] == stored) return false;
      if (slots[i] == kFree) {
        slots[i] = stored;
        return true;
      }
    }
  }
  void Grow() {
    std::vector<std::uint64_t> bigger(std::max<std::size_t>(64, 2 * slots_.size()), kFree);
    for (const std::uint64_t stored : slots_) {
      if (stored != kFree) Place(bigger, static_cast<std::int64_t>(stored - kBias));
    }
    slots_.swap(bigger);
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

// Bulk-pricing lines written out as they are priced, each product checked against those before
// it as the result dictionary would check it: whole numbers of any numeric type are one key (7,
// 7L and 7.0), anything else is left to a dictionary.
class EncodedLines final : public contract::PricedLines {
 public:
  EncodedLines(std::string& out, std::size_t limit) : out_(out), limit_(limit) {}
  void Add(const Variant& product, Array line) override {
    if (const auto whole = WholeNumber(product)) {
      if (!numbers_.Insert(*whole)) throw Error::Runtime(errnum::kDuplicateKey);
    } else {
      others_->Add(product, Variant());
    }
    if (!first_) out_ += ", ";
    first_ = false;
    AppendEntry(product, Variant(std::move(line)), out_, limit_);
  }

 private:
  static std::optional<std::int64_t> WholeNumber(const Variant& key) {
    switch (key.Type()) {
      case VarType::Integer:
      case VarType::Long:
      case VarType::LongLong:
        if (key.RawInteger() == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
        return key.RawInteger();
      case VarType::Double: {
        const double d = key.RawDouble();
        // Within +-2^62, where every whole double converts exactly.
        if (std::trunc(d) == d && std::abs(d) < 4.6e18) return static_cast<std::int64_t>(d);
        return std::nullopt;
      }
      default:
        return std::nullopt;
    }
  }

  std::string& out_;
  std::size_t limit_;
  WholeNumbers numbers_;
  DictionaryPtr others_ = Dictionary::Create();
  bool first_ = true;
};

}  // namespace carvalen::api
