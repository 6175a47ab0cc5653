// The cells (array elements) one call may allocate. Operations size arrays from bounds the caller
// chose, so a request of a few bytes could otherwise ask for billions of cells; every array the
// call makes, copies included, is taken from this budget before it is allocated, and past it the
// call fails with 7 "Out of memory" like a host that ran out.
#pragma once

#include <cstdint>

namespace carvalen::cells {

/// Arms this thread's budget with GetMaxCells() cells for one call, unless a call on this thread
/// has armed it already: an operation called by another spends its caller's budget. The one that
/// armed it disarms it.
class CallBudget {
 public:
  CallBudget();
  ~CallBudget();
  CallBudget(const CallBudget&) = delete;
  CallBudget& operator=(const CallBudget&) = delete;

 private:
  bool armed_here_ = false;
};

/// Takes `cells` from this thread's budget; more than is left fails with 7 and takes nothing.
/// Outside a call nothing is counted.
void Take(std::int64_t cells);

}  // namespace carvalen::cells
