// The pool of idle physical connections, keyed by the canonical connection string. This is the
// client's one deliberate process-wide service: opening a PostgreSQL session costs about 20 ms
// and a SQLite one 10-40 times a kept one, while every operation opens and closes its own
// connection. Guarded by one mutex; health checks and closing happen outside it. Sessions whose
// host the pool chose (Load Balance Hosts=random) are checked against that host's health too.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/driver.hpp"
#include "db/hosts.hpp"

namespace carvalen::db {

class Pool {
 public:
  static Pool& Instance();

  /// An idle, healthy session for `key`, or null; broken and expired ones found on the way, and
  /// those of a host marked down, are closed.
  std::unique_ptr<PhysicalConnection> Take(const std::string& key);
  /// Keeps `session` for reuse unless `max_idle` sessions are already kept for `key` or it has
  /// outlived its Connection Lifetime; answers the session back when it was not kept (the caller
  /// closes it).
  std::unique_ptr<PhysicalConnection> Give(const std::string& key,
                                           std::unique_ptr<PhysicalConnection> session,
                                           std::int32_t max_idle);
  std::int64_t IdleCount();
  /// Closes every idle session.
  void Drain();
  /// Notes that `session` is being closed; a balanced one whose server is gone marks its host
  /// down.
  void Closing(PhysicalConnection& session);
  /// The health of the hosts this pool chooses among.
  HostHealth& Hosts() { return hosts_; }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::vector<std::unique_ptr<PhysicalConnection>>> idle_;
  std::int64_t count_ = 0;
  HostHealth hosts_;
};

}  // namespace carvalen::db
