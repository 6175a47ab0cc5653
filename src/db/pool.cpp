#include "db/pool.hpp"

#include <chrono>

namespace carvalen::db {

Pool& Pool::Instance() {
  static Pool pool;
  return pool;
}

std::unique_ptr<PhysicalConnection> Pool::Take(const std::string& key) {
  for (;;) {
    std::unique_ptr<PhysicalConnection> session;
    {
      std::lock_guard lock(mutex_);
      auto it = idle_.find(key);
      if (it == idle_.end() || it->second.empty()) return nullptr;
      // Last in, first out: the most recently used session is the likeliest to be alive.
      session = std::move(it->second.back());
      it->second.pop_back();
      --count_;
    }
    const Placement& placement = session->placement;
    const auto now = std::chrono::steady_clock::now();
    if (session->expires && now >= *session->expires) continue;
    // Another session found the host gone: this one would fail too.
    if (placement.Balanced() && hosts_.IsDown(placement.health_key, now)) continue;
    if (session->Healthy()) return session;
    // A broken session (server restarted, backend terminated) is closed here, never handed out.
    // An idle session breaks when its server shuts down, so a balanced one marks its host down
    // (a backend terminated alone costs that host a short back-off).
    if (placement.Balanced()) {
      hosts_.Failed(placement.health_key, placement.recheck_seconds, now);
    }
  }
}

std::unique_ptr<PhysicalConnection> Pool::Give(const std::string& key,
                                               std::unique_ptr<PhysicalConnection> session,
                                               std::int32_t max_idle) {
  if (session->expires && std::chrono::steady_clock::now() >= *session->expires) return session;
  std::lock_guard lock(mutex_);
  auto& list = idle_[key];
  if (static_cast<std::int64_t>(list.size()) >= max_idle) return session;
  list.push_back(std::move(session));
  ++count_;
  return nullptr;
}

std::int64_t Pool::IdleCount() {
  std::lock_guard lock(mutex_);
  return count_;
}

void Pool::Drain() {
  std::unordered_map<std::string, std::vector<std::unique_ptr<PhysicalConnection>>> closing;
  {
    std::lock_guard lock(mutex_);
    closing.swap(idle_);
    count_ = 0;
  }
  // `closing` goes out of scope here, outside the lock.
}

void Pool::Closing(PhysicalConnection& session) {
  const Placement& placement = session.placement;
  if (placement.Balanced() && session.Lost()) {
    hosts_.Failed(placement.health_key, placement.recheck_seconds,
                  std::chrono::steady_clock::now());
  }
}

}  // namespace carvalen::db
