// Bulk pricing of many supplier/product requests: the pieces its tests, its benchmark and the
// faces' streaming path need to see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "carvalen/dictionary.hpp"
#include "carvalen/interfaces.hpp"

namespace carvalen::contract {

/// Requests per line statement. One OR group per request is re-tested against every candidate
/// row, so a statement costs O(groups^2); past about a hundred groups that term shows on both
/// databases, and SQLite refuses a flat OR of about a thousand groups outright. Measured in
/// docs/bulk-pricing.md.
inline constexpr std::int32_t kPricingBatch = 100;

/// This thread's utilities instance for bulk pricing: made from the default class the first
/// time a thread asks and kept for the thread's life, never created through the registry.
IUtilities& PricingUtilities();

/// One plain request: an integer key naming the product and the item {partner, quantity}.
struct PricingAsk {
  std::int32_t product;
  std::int32_t partner;
  double quantity;
};

/// A request whose entries are all plain, in the compact form pricing reads: 16 bytes an entry
/// where the dictionary of Variants takes over 300. The codec makes one when it decodes such a
/// request for the faces; its keys are distinct.
class PricingRequest final : public Object {
 public:
  explicit PricingRequest(std::vector<PricingAsk> asks) : asks_(std::move(asks)) {}
  const std::vector<PricingAsk>& Asks() const { return asks_; }
  std::string ClassName() const override { return "Dictionary"; }

 private:
  std::vector<PricingAsk> asks_;
};

/// Where the priced lines go, each as soon as it is priced: a dictionary, or the faces' encoder.
class PricedLines {
 public:
  virtual ~PricedLines() = default;
  /// One line's figures under its product; a product met twice fails with 457.
  virtual void Add(const Variant& product, Array line) = 0;
};

/// The bulk operation over `request` (a Dictionary, a PricingRequest, or Nothing as null),
/// handing each line to `out`. On failure it reports and raises as the operation does, and
/// what `out` received is to be discarded.
void PriceInBulk(const Object* request, PricedLines& out);

}  // namespace carvalen::contract
