// Bulk pricing of many supplier/product requests: the pieces its tests and benchmark need to see.
#pragma once

#include <cstdint>

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

}  // namespace carvalen::contract
