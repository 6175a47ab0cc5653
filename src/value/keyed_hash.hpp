// The dictionary's key hash for other tables whose keys callers choose: SipHash-1-3 under a key
// drawn once per process from the system's random source, so that keys crowding one slot cannot
// be worked out in advance.
#pragma once

#include <cstdint>

namespace carvalen::value {

/// The keyed hash of `value`, told apart from other kinds of key by `tag`.
std::uint64_t KeyedHash(std::uint64_t tag, std::uint64_t value);

}  // namespace carvalen::value
