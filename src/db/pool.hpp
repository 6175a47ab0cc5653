// The pool of physical connections, keyed by the canonical connection string. This is the
// client's one deliberate process-wide service: opening a PostgreSQL session costs about 20 ms
// and a SQLite one 10-40 times a kept one, while every operation opens and closes its own
// connection. Guarded by one mutex; health checks and closing happen outside it. Sessions whose
// host the pool chose (Load Balance Hosts=random) are checked against that host's health too.
//
// "Max Pool Size" bounds the callers (threads) that hold sessions of one key at a time: one more
// waits until a session comes back, up to its connection time-out, as a server under load would
// rather have it than a flood of new sessions. A caller that already holds a session of the key
// gets another without waiting: an operation that calls another keeps its own connection open
// meanwhile, and making it wait for its peers, which wait for it in turn, would deadlock them.
// So a key has at most Max Pool Size times the nesting depth of operations sessions, idle ones
// included; they are all kept for reuse.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/driver.hpp"
#include "db/hosts.hpp"

namespace carvalen::db {

class Pool {
 public:
  static Pool& Instance();

  /// Leases a slot of `key` for `holder`: an idle, healthy session, or null when the caller is
  /// to open one (broken and expired idle sessions found on the way, and those of a host marked
  /// down, are closed). Waits while `max_size`
  /// other threads hold sessions of the key, up to `timeout_seconds` (0: no limit), then fails
  /// with 0x80040E31. The slot is the holder's until Give or Release.
  std::unique_ptr<PhysicalConnection> Lease(const std::string& key, std::int32_t max_size,
                                            std::int32_t timeout_seconds, std::thread::id holder);
  /// Keeps the session of `holder`'s slot for reuse, unless it has outlived its Connection
  /// Lifetime (then it is closed here).
  void Give(const std::string& key, std::unique_ptr<PhysicalConnection> session,
            std::thread::id holder);
  /// Gives up `holder`'s slot whose session was never opened or has been closed.
  void Release(const std::string& key, std::thread::id holder);
  std::int64_t IdleCount();
  /// Closes every idle session.
  void Drain();
  /// Notes that `session` is being closed; a balanced one whose server is gone marks its host
  /// down.
  void Closing(PhysicalConnection& session);
  /// The health of the hosts this pool chooses among.
  HostHealth& Hosts() { return hosts_; }

 private:
  struct Sessions {
    std::vector<std::unique_ptr<PhysicalConnection>> idle;
    // The threads holding sessions of the key, with how many each holds.
    std::vector<std::pair<std::thread::id, std::int64_t>> holders;
  };
  static std::vector<std::pair<std::thread::id, std::int64_t>>::iterator Find(
      Sessions& sessions, std::thread::id holder);
  static void Drop(Sessions& sessions, std::thread::id holder);
  std::mutex mutex_;
  std::condition_variable returned_;  // a slot came back: waiting callers look again
  std::unordered_map<std::string, Sessions> keys_;
  std::int64_t idle_count_ = 0;
  HostHealth hosts_;
};

}  // namespace carvalen::db
