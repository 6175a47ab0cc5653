#include "db/abandon.hpp"

#include <chrono>

namespace carvalen::db {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kInterval{20};

struct Watch {
  AbandonCheck check = nullptr;
  void* context = nullptr;
  Clock::time_point next;
  bool abandoned = false;
};
thread_local Watch t_watch;

}  // namespace

void SetAbandonCheck(AbandonCheck check, void* context) { t_watch = {check, context, {}, false}; }

bool Abandoned() {
  Watch& watch = t_watch;
  if (watch.check == nullptr || watch.abandoned) return watch.abandoned;
  // A statement asks often (SQLite every thousand steps); the check is a system call.
  const auto now = Clock::now();
  if (now < watch.next) return false;
  watch.next = now + kInterval;
  watch.abandoned = watch.check(watch.context);
  return watch.abandoned;
}

}  // namespace carvalen::db
