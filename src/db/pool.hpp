// The pool of physical connections, keyed by the canonical connection string. This is the
// client's one deliberate process-wide service: opening a PostgreSQL session costs about 20 ms
// and a SQLite one 10-40 times a kept one, while every operation opens and closes its own
// connection. Guarded by one mutex; health checks and closing happen outside it.
//
// Each key counts its sessions, idle and leased: a caller leases a slot (an idle session, or the
// right to open one) and holds it until it gives the session back or releases the slot. With
// "Max Pool Size" sessions out, the next caller waits for one to come back, up to its connection
// time-out, as a server under load would rather have it than a flood of new sessions.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/driver.hpp"

namespace carvalen::db {

class Pool {
 public:
  static Pool& Instance();

  /// Leases a slot of `key`: an idle, healthy session, or null when the caller is to open one
  /// (broken idle sessions found on the way are closed). Waits while `max_size` sessions of the
  /// key are out, up to `timeout_seconds` (0: no limit), then fails. The slot is the caller's
  /// until Give or Release.
  std::unique_ptr<PhysicalConnection> Lease(const std::string& key, std::int32_t max_size,
                                            std::int32_t timeout_seconds);
  /// Keeps the session of a leased slot for reuse, unless `max_idle` sessions are already idle;
  /// answers the session back when it was not kept (the caller closes it and releases the slot).
  std::unique_ptr<PhysicalConnection> Give(const std::string& key,
                                           std::unique_ptr<PhysicalConnection> session,
                                           std::int32_t max_idle);
  /// Gives up a leased slot whose session was never opened or has been closed.
  void Release(const std::string& key);
  std::int64_t IdleCount();
  /// Sessions of `key` leased right now.
  std::int64_t LeasedCount(const std::string& key);
  /// Closes every idle session.
  void Drain();

 private:
  struct Sessions {
    std::vector<std::unique_ptr<PhysicalConnection>> idle;
    std::int64_t leased = 0;
  };
  std::mutex mutex_;
  std::condition_variable returned_;  // a slot came back: waiting callers look again
  std::unordered_map<std::string, Sessions> keys_;
  std::int64_t idle_count_ = 0;
};

}  // namespace carvalen::db
