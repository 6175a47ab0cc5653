#include "db/resolved_connection.hpp"

#include <array>
#include <filesystem>
#include <mutex>
#include <unordered_map>

namespace carvalen::db {
namespace {

constexpr std::size_t kMaxKept = 64;

struct Resolution {
  std::shared_ptr<const ResolvedConnection> resolved;
  bool keepable = true;
};

Resolution Resolve(const std::string& text, const std::string& user, const std::string& password) {
  auto resolved = std::make_shared<ResolvedConnection>();
  ParsedConnection& settings = resolved->settings;
  settings = ParseConnectionString(text);
  bool keepable = true;
  if (settings.provider == ProviderKind::PostgreSQL) {
    if (!user.empty()) settings.Set("user id", user);
    if (!password.empty()) settings.Set("password", password);
  } else if (auto path = settings.Find("data source");
             path && !path->empty() && *path != ":memory:") {
    // The pool must not mistake the same relative name in another working folder.
    const std::filesystem::path given(*path);
    keepable = given.is_absolute();
    settings.Set("data source", std::filesystem::absolute(given).lexically_normal().string());
  }
  resolved->pool_key = settings.Canonical();
  return {std::move(resolved), keepable};
}

class ResolvedCache {
 public:
  static ResolvedCache& Instance() {
    static ResolvedCache cache;
    return cache;
  }

  std::shared_ptr<const ResolvedConnection> Find(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = kept_.find(key);
    return it == kept_.end() ? nullptr : it->second;
  }

  void Keep(std::string key, std::shared_ptr<const ResolvedConnection> resolved) {
    std::lock_guard lock(mutex_);
    // A host that opens ever new strings gets no benefit from keeping them all.
    if (kept_.size() >= kMaxKept) kept_.clear();
    kept_.emplace(std::move(key), std::move(resolved));
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const ResolvedConnection>> kept_;
};

}  // namespace

std::shared_ptr<const ResolvedConnection> ResolveSettings(const std::string& text,
                                                          const std::string& user,
                                                          const std::string& password) {
  std::string key;
  key.reserve(text.size() + user.size() + password.size() + 2);
  key.append(text).append(1, '\0').append(user).append(1, '\0').append(password);
  // What a kept key resolves to never changes, so each thread also keeps the few it used last
  // and looks at the shared cache, behind its mutex, only for others.
  struct Recent {
    std::string key;
    std::shared_ptr<const ResolvedConnection> resolved;
  };
  thread_local std::array<Recent, 4> recent;
  thread_local std::size_t next = 0;
  for (const Recent& r : recent) {
    if (r.resolved && r.key == key) return r.resolved;
  }
  auto remember = [&](std::shared_ptr<const ResolvedConnection> resolved) {
    recent[next] = Recent{key, resolved};
    next = (next + 1) % recent.size();
    return resolved;
  };
  if (auto kept = ResolvedCache::Instance().Find(key)) return remember(std::move(kept));
  Resolution resolution = Resolve(text, user, password);
  if (!resolution.keepable) return std::move(resolution.resolved);
  ResolvedCache::Instance().Keep(key, resolution.resolved);
  return remember(std::move(resolution.resolved));
}

}  // namespace carvalen::db
