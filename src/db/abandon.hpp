// Whether the caller of the statements running on this thread has gone: a host (the service)
// names a check, and a long statement asks it now and then and stops when it says so.
#pragma once

namespace carvalen::db {

/// True when whoever waits for this thread's call is gone.
using AbandonCheck = bool (*)(void* context);

/// Sets (or, with null, clears) this thread's check.
void SetAbandonCheck(AbandonCheck check, void* context);

/// Asks this thread's check, at most every 20 ms; false without one.
bool Abandoned();

}  // namespace carvalen::db
