#include "value/cell_budget.hpp"

#include "carvalen/error.hpp"
#include "carvalen/settings.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::cells {
namespace {

struct Budget {
  bool armed = false;
  std::int64_t left = 0;
};

thread_local Budget budget;  // this thread's running call, if any

}  // namespace

CallBudget::CallBudget() {
  if (budget.armed) return;
  budget = {true, GetMaxCells()};
  armed_here_ = true;
}

CallBudget::~CallBudget() {
  if (armed_here_) budget = {};
}

void Take(std::int64_t cells) {
  if (!budget.armed) return;
  if (cells > budget.left) throw Error::Runtime(errnum::kOutOfMemory);
  budget.left -= cells;
}

}  // namespace carvalen::cells
