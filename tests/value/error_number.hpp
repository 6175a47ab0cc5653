// Helper for the value tests: the number of the carvalen::Error a call raises.
#pragma once

#include <cstdint>

#include "carvalen/error.hpp"

namespace carvalen::testing {

/// The number of the Error that `call` throws, or 0 when it throws none.
template <class F>
std::int32_t ErrorNumberOf(F&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.Number();
  }
  return 0;
}

}  // namespace carvalen::testing
