// A fault-injecting driver for the reliability tests: a session and cursor that wrap real ones
// and count every step an operation's database work goes through. A plan fails the k-th
// occurrence of one step with a driver-like error, and notices a session used by a thread that
// does not hold its lease, or by two threads at once.
//
// The wrapped sessions reach the library through the pool: StockPool leases slots of the
// connection string's key as a caller would, and gives back wrapped sessions, so the next opens
// lease them. Nothing in the library knows about the wrapper.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "carvalen/error.hpp"
#include "db/connection_string.hpp"
#include "db/driver.hpp"
#include "db/pool.hpp"

namespace carvalen::test {

/// What a session goes through, in the order of a call. Connect is the lease of a pooled session
/// (a failure there is an open that fails); Close the check whether the session can be pooled.
enum class Step { Connect, Isolation, Prepare, Execute, Fetch, Field, Close };
inline constexpr std::array kSteps = {Step::Connect, Step::Isolation, Step::Prepare, Step::Execute,
                                      Step::Fetch,   Step::Field,     Step::Close};
inline const char* StepName(Step step) {
  static constexpr const char* names[] = {"connect", "isolation", "prepare", "execute",
                                          "fetch",   "field",     "close"};
  return names[static_cast<int>(step)];
}

inline constexpr std::int32_t kFaultNumber = static_cast<std::int32_t>(0x80045A01u);
inline constexpr const char* kFaultSource = "FaultDriver";

class FaultPlan {
 public:
  /// Fails the `occurrence`-th (from 1) `step` from now on; counts start again at 0. Called
  /// between calls, never during one.
  void Arm(Step step, std::int64_t occurrence) {
    for (auto& count : counts_) count.store(0);
    step_.store(step);
    occurrence_.store(occurrence);
    fired_.store(false);
  }
  void Disarm() { Arm(Step::Connect, 0); }
  std::array<std::int64_t, kSteps.size()> Counts() const {
    std::array<std::int64_t, kSteps.size()> counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = counts_[i].load();
    return counts;
  }
  bool Fired() const { return fired_.load(); }
  /// Counts `step`; throws the fault when it is the one armed. Relaxed and lock-free, so that
  /// the counting adds no ordering between threads that could hide a race from ThreadSanitizer.
  void Tick(Step step) {
    const std::int64_t n =
        counts_[static_cast<int>(step)].fetch_add(1, std::memory_order_relaxed) + 1;
    if (step != step_.load(std::memory_order_relaxed) ||
        n != occurrence_.load(std::memory_order_relaxed)) {
      return;
    }
    fired_.store(true);
    throw Error(kFaultNumber,
                std::string("injected fault at ") + StepName(step) + " #" + std::to_string(n),
                kFaultSource);
  }

  /// Uses of a session by a thread other than the one holding its lease, or by two at once.
  std::atomic<std::int64_t> misuses{0};
  /// Wrapped sessions alive.
  std::atomic<std::int64_t> live{0};

  /// Leases of wrapped sessions: the threads holding one now, and the most at once.
  void Leased(std::thread::id thread) {
    std::lock_guard lock(mutex_);
    holders_.insert(thread);
    peak_threads_ =
        std::max(peak_threads_, std::set<std::thread::id>(holders_.begin(), holders_.end()).size());
  }
  void Returned(std::thread::id thread) {
    std::lock_guard lock(mutex_);
    if (auto it = holders_.find(thread); it != holders_.end()) holders_.erase(it);
  }
  std::size_t PeakThreads() const {
    std::lock_guard lock(mutex_);
    return peak_threads_;
  }

 private:
  std::array<std::atomic<std::int64_t>, kSteps.size()> counts_{};
  std::atomic<Step> step_{Step::Connect};
  std::atomic<std::int64_t> occurrence_{0};
  std::atomic<bool> fired_{false};
  mutable std::mutex mutex_;  // for the holders
  std::multiset<std::thread::id> holders_;
  std::size_t peak_threads_ = 0;
};

class FaultySession;

/// Marks a session in use by this thread for the scope; a second user or a thread without the
/// lease is a misuse.
class SessionUse {
 public:
  SessionUse(std::atomic<int>& users, const std::atomic<std::thread::id>& owner, FaultPlan& plan,
             bool leased_only = true)
      : users_(users) {
    if (users_.fetch_add(1) != 0) ++plan.misuses;
    if (leased_only && owner.load() != std::this_thread::get_id()) ++plan.misuses;
  }
  ~SessionUse() { users_.fetch_sub(1); }
  SessionUse(const SessionUse&) = delete;
  SessionUse& operator=(const SessionUse&) = delete;

 private:
  std::atomic<int>& users_;
};

class FaultyCursor : public db::Cursor {
 public:
  FaultyCursor(std::unique_ptr<db::Cursor> inner, FaultySession& session)
      : inner_(std::move(inner)), session_(session) {}
  const db::FieldSetPtr& Fields() const override { return inner_->Fields(); }
  bool Next(db::Row& row) override;
  void Rewind() override;
  void Finish() override { inner_->Finish(); }

 private:
  std::unique_ptr<db::Cursor> inner_;
  FaultySession& session_;
};

class FaultySession : public db::PhysicalConnection {
 public:
  FaultySession(std::unique_ptr<db::PhysicalConnection> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {
    ++plan_->live;
  }
  ~FaultySession() override {
    if (owner_.load() != std::thread::id()) plan_->Returned(owner_.load());  // lease failed
    --plan_->live;
  }

  void Execute(const std::string& sql, std::int32_t timeout) override {
    SessionUse use = Use();
    plan_->Tick(Step::Prepare);
    inner_->Execute(sql, timeout);
    plan_->Tick(Step::Execute);
  }
  void SetIsolation(const std::string& level) override {
    SessionUse use = Use();
    plan_->Tick(Step::Isolation);
    inner_->SetIsolation(level);
  }
  std::unique_ptr<db::Cursor> Query(const std::string& sql, std::int32_t timeout,
                                    bool whole) override {
    SessionUse use = Use();
    plan_->Tick(Step::Prepare);
    auto cursor = std::make_unique<FaultyCursor>(inner_->Query(sql, timeout, whole), *this);
    plan_->Tick(Step::Execute);  // the statement ran; its cursor is finalised on the way out
    return cursor;
  }
  std::vector<std::vector<Variant>> Columns(const Variant& table, const Variant& column,
                                            std::int32_t timeout, std::string& sql) override {
    SessionUse use = Use();
    plan_->Tick(Step::Prepare);
    auto rows = inner_->Columns(table, column, timeout, sql);
    plan_->Tick(Step::Execute);
    return rows;
  }
  void SetConnectionTimeout(std::int32_t seconds) override {
    // Called on every lease from the pool, by the thread that now holds the session.
    owner_.store(std::this_thread::get_id());
    plan_->Leased(std::this_thread::get_id());
    SessionUse use = Use();
    plan_->Tick(Step::Connect);
    inner_->SetConnectionTimeout(seconds);
  }
  bool Healthy() override {
    SessionUse use(users_, owner_, *plan_, false);
    return inner_->Healthy();
  }
  bool Reusable() override {
    // Called once, on close: the lease ends here whatever the answer.
    struct EndLease {
      FaultySession& s;
      ~EndLease() {
        s.plan_->Returned(s.owner_.load());
        s.owner_.store(std::thread::id());
      }
    } end{*this};
    SessionUse use = Use();
    plan_->Tick(Step::Close);
    return inner_->Reusable();
  }

 private:
  friend class FaultyCursor;
  SessionUse Use() { return SessionUse(users_, owner_, *plan_); }

  std::unique_ptr<db::PhysicalConnection> inner_;
  std::shared_ptr<FaultPlan> plan_;
  std::atomic<int> users_{0};
  std::atomic<std::thread::id> owner_{};
};

inline bool FaultyCursor::Next(db::Row& row) {
  SessionUse use = session_.Use();
  session_.plan_->Tick(Step::Fetch);
  if (!inner_->Next(row)) return false;
  // Each value of the row counts as one field read, as a driver converting it would fail.
  for (std::size_t i = 0; i < row.Size(); ++i) session_.plan_->Tick(Step::Field);
  return true;
}

inline void FaultyCursor::Rewind() {
  SessionUse use = session_.Use();
  session_.plan_->Tick(Step::Execute);
  inner_->Rewind();
}

/// The pool key of `connection_string`, as a caller-level connection computes it.
inline std::string PoolKey(const std::string& connection_string) {
  db::ConnectionSettings settings = db::ParseConnectionString(connection_string);
  if (settings.provider == db::ProviderKind::SQLite) {
    settings.Set(
        "data source",
        std::filesystem::absolute(*settings.Find("data source")).lexically_normal().string());
  }
  return settings.Canonical();
}

/// Empties the pool and fills it with `count` wrapped sessions of `connection_string`, so that
/// the next opens (up to `count` at once) lease them.
inline void StockPool(const std::string& connection_string, int count,
                      const std::shared_ptr<FaultPlan>& plan) {
  db::Pool& pool = db::Pool::Instance();
  pool.Drain();
  const db::ConnectionSettings settings = db::ParseConnectionString(connection_string);
  const std::string key = PoolKey(connection_string);
  const std::thread::id me = std::this_thread::get_id();
  std::vector<std::unique_ptr<db::PhysicalConnection>> sessions;
  for (int i = 0; i < count; ++i) {
    if (pool.Lease(key, count, 0, me) != nullptr) throw std::logic_error("pool not drained");
    sessions.push_back(std::make_unique<FaultySession>(settings.provider == db::ProviderKind::SQLite
                                                           ? db::OpenSqlite(settings, 15)
                                                           : db::OpenPostgres(settings, 15, 30),
                                                       plan));
  }
  for (auto& session : sessions) pool.Give(key, std::move(session), me);
}

}  // namespace carvalen::test
