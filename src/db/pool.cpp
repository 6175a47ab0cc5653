#include "db/pool.hpp"

#include <algorithm>
#include <chrono>

#include "db/errors.hpp"

namespace carvalen::db {
Pool& Pool::Instance() {
  static Pool pool;
  return pool;
}

std::unique_ptr<PhysicalConnection> Pool::Lease(const std::string& key, std::int32_t max_size,
                                                std::int32_t timeout_seconds,
                                                std::thread::id holder) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    std::unique_ptr<PhysicalConnection> session;
    {
      std::unique_lock lock(mutex_);
      Sessions& sessions = keys_[key];  // nodes stay put while the map grows
      auto must_wait = [&] {
        return Find(sessions, holder) == sessions.holders.end() &&
               static_cast<std::int64_t>(sessions.holders.size()) >= max_size;
      };
      while (must_wait()) {
        if (timeout_seconds <= 0) {
          returned_.wait(lock);
        } else if (returned_.wait_until(lock, deadline) == std::cv_status::timeout && must_wait()) {
          throw LayerError(dberr::kPoolTimeout, kTextPoolTimeout);
        }
      }
      if (auto it = Find(sessions, holder); it != sessions.holders.end()) {
        ++it->second;
      } else {
        sessions.holders.emplace_back(holder, 1);
      }
      if (sessions.idle.empty()) return nullptr;
      // The session this thread gave back last, whose memory is still in this core's cache, and
      // which no other thread touches while each has its own. Otherwise last in, first out: the
      // most recently used session is the likeliest to be alive.
      auto mine = std::find_if(sessions.idle.rbegin(), sessions.idle.rend(),
                               [&](const auto& idle) { return idle->last_holder == holder; });
      if (mine != sessions.idle.rend()) std::iter_swap(mine, sessions.idle.rbegin());
      session = std::move(sessions.idle.back());
      sessions.idle.pop_back();
      --idle_count_;
    }
    const Placement& placement = session->placement;
    const auto now = std::chrono::steady_clock::now();
    const bool expired = session->expires && now >= *session->expires;
    // Another session found the host gone: this one would fail too.
    const bool host_down = placement.Balanced() && hosts_.IsDown(placement.health_key, now);
    bool healthy = false;
    if (!expired && !host_down) {
      try {
        healthy = session->Healthy();
      } catch (...) {
        // A session that cannot tell is treated as broken; the slot must not leak.
      }
      // An idle session breaks when its server shuts down, so a balanced one marks its host down
      // (a backend terminated alone costs that host a short back-off).
      if (!healthy && placement.Balanced()) {
        hosts_.Failed(placement.health_key, placement.recheck_seconds, now);
      }
    }
    if (healthy) return session;
    // A broken or expired session (server restarted, backend terminated) is closed here, never
    // handed out.
    session.reset();
    Release(key, holder);
  }
}

std::vector<std::pair<std::thread::id, std::int64_t>>::iterator Pool::Find(Sessions& sessions,
                                                                           std::thread::id holder) {
  return std::find_if(sessions.holders.begin(), sessions.holders.end(),
                      [&](const auto& entry) { return entry.first == holder; });
}

void Pool::Drop(Sessions& sessions, std::thread::id holder) {
  auto it = Find(sessions, holder);
  if (it != sessions.holders.end() && --it->second == 0) sessions.holders.erase(it);
}

void Pool::Give(const std::string& key, std::unique_ptr<PhysicalConnection> session,
                std::thread::id holder) {
  if (session->expires && std::chrono::steady_clock::now() >= *session->expires) {
    session.reset();  // outlived its Connection Lifetime: closed, not kept
    Release(key, holder);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    Sessions& sessions = keys_[key];
    Drop(sessions, holder);
    session->last_holder = holder;
    sessions.idle.push_back(std::move(session));
    ++idle_count_;
  }
  returned_.notify_all();
}

void Pool::Release(const std::string& key, std::thread::id holder) {
  {
    std::lock_guard lock(mutex_);
    Drop(keys_[key], holder);
  }
  returned_.notify_all();
}

std::int64_t Pool::IdleCount() {
  std::lock_guard lock(mutex_);
  return idle_count_;
}

void Pool::Drain() {
  std::vector<std::unique_ptr<PhysicalConnection>> closing;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, sessions] : keys_) {
      for (auto& session : sessions.idle) closing.push_back(std::move(session));
      sessions.idle.clear();
    }
    idle_count_ = 0;
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
