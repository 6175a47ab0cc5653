// Helper for the value tests: the number of the carvalen::Error a call raises, or 0 for none.
#pragma once

#include <cstdint>

#include "carvalen/error.hpp"

namespace carvalen::testing {

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
