#include "db/resolved_settings.hpp"

#include <filesystem>
#include <mutex>
#include <unordered_map>

namespace carvalen::db {
namespace {

constexpr std::size_t kMaxKept = 64;

struct Resolution {
  std::shared_ptr<const ResolvedSettings> resolved;
  bool keepable = true;
};

Resolution Resolve(const std::string& text, const std::string& user, const std::string& password) {
  auto resolved = std::make_shared<ResolvedSettings>();
  ConnectionSettings& settings = resolved->settings;
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

  std::shared_ptr<const ResolvedSettings> Find(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = kept_.find(key);
    return it == kept_.end() ? nullptr : it->second;
  }

  void Keep(std::string key, std::shared_ptr<const ResolvedSettings> resolved) {
    std::lock_guard lock(mutex_);
    // A host that opens ever new strings gets no benefit from keeping them all.
    if (kept_.size() >= kMaxKept) kept_.clear();
    kept_.emplace(std::move(key), std::move(resolved));
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const ResolvedSettings>> kept_;
};

}  // namespace

std::shared_ptr<const ResolvedSettings> ResolveSettings(const std::string& text,
                                                        const std::string& user,
                                                        const std::string& password) {
  std::string key;
  key.reserve(text.size() + user.size() + password.size() + 2);
  key.append(text).append(1, '\0').append(user).append(1, '\0').append(password);
  if (auto kept = ResolvedCache::Instance().Find(key)) return kept;
  Resolution resolution = Resolve(text, user, password);
  if (resolution.keepable) ResolvedCache::Instance().Keep(std::move(key), resolution.resolved);
  return std::move(resolution.resolved);
}

}  // namespace carvalen::db
