#include "db/pool.hpp"

#include <chrono>

#include "db/errors.hpp"

namespace carvalen::db {

Pool& Pool::Instance() {
  static Pool pool;
  return pool;
}

std::unique_ptr<PhysicalConnection> Pool::Lease(const std::string& key, std::int32_t max_size,
                                                std::int32_t timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    std::unique_ptr<PhysicalConnection> session;
    {
      std::unique_lock lock(mutex_);
      Sessions* sessions = &keys_[key];  // nodes stay put while the map grows
      auto full = [&] {
        return sessions->idle.empty() &&
               sessions->leased + static_cast<std::int64_t>(sessions->idle.size()) >= max_size;
      };
      while (full()) {
        if (timeout_seconds <= 0) {
          returned_.wait(lock);
        } else if (returned_.wait_until(lock, deadline) == std::cv_status::timeout && full()) {
          throw LayerError(dberr::kPoolTimeout, kTextPoolTimeout);
        }
      }
      ++sessions->leased;
      if (sessions->idle.empty()) return nullptr;
      // Last in, first out: the most recently used session is the likeliest to be alive.
      session = std::move(sessions->idle.back());
      sessions->idle.pop_back();
      --idle_count_;
    }
    if (session->Healthy()) return session;
    // A broken session (server restarted, backend terminated) is closed here, never handed out.
    session.reset();
    Release(key);
  }
}

std::unique_ptr<PhysicalConnection> Pool::Give(const std::string& key,
                                               std::unique_ptr<PhysicalConnection> session,
                                               std::int32_t max_idle) {
  {
    std::lock_guard lock(mutex_);
    Sessions& sessions = keys_[key];
    if (static_cast<std::int64_t>(sessions.idle.size()) >= max_idle) return session;
    sessions.idle.push_back(std::move(session));
    --sessions.leased;
    ++idle_count_;
  }
  returned_.notify_all();
  return nullptr;
}

void Pool::Release(const std::string& key) {
  {
    std::lock_guard lock(mutex_);
    --keys_[key].leased;
  }
  returned_.notify_all();
}

std::int64_t Pool::IdleCount() {
  std::lock_guard lock(mutex_);
  return idle_count_;
}

std::int64_t Pool::LeasedCount(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = keys_.find(key);
  return it == keys_.end() ? 0 : it->second.leased;
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
  returned_.notify_all();
  // `closing` goes out of scope here, outside the lock.
}

}  // namespace carvalen::db
