// A process-wide budget of bytes (request bodies held, answers not yet taken by their clients):
// taken before the bytes are spent, given back when they are freed. Private to src/service/.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace carvalen::service {

class Budget {
 public:
  explicit Budget(std::size_t limit) : limit_(limit) {}

  /// Takes `bytes` when they fit beside what is taken already, leaving `spare` bytes free.
  bool TryTake(std::size_t bytes, std::size_t spare = 0) {
    const std::size_t room = limit_ > spare ? limit_ - spare : 0;
    std::size_t used = used_.load();
    do {
      if (bytes > room || used > room - bytes) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes));
    return true;
  }
  /// Takes `bytes` whether they fit or not (an answer already made); true while within.
  bool Take(std::size_t bytes) { return used_.fetch_add(bytes) + bytes <= limit_; }
  void Give(std::size_t bytes) { used_.fetch_sub(bytes); }
  bool Over() const { return used_.load() > limit_; }
  std::size_t Used() const { return used_.load(); }
  std::size_t Limit() const { return limit_; }

 private:
  std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

/// Bytes taken from a budget, given back when it goes or is reset.
class Taken {
 public:
  Taken() = default;
  Taken(Budget& budget, std::size_t bytes) : budget_(&budget), bytes_(bytes) {}
  ~Taken() { Reset(); }
  Taken(Taken&& other) noexcept
      : budget_(std::exchange(other.budget_, nullptr)), bytes_(other.bytes_) {}
  Taken& operator=(Taken&& other) noexcept {
    if (this != &other) {
      Reset();
      budget_ = std::exchange(other.budget_, nullptr);
      bytes_ = other.bytes_;
    }
    return *this;
  }
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;

  void Reset() {
    if (budget_ != nullptr) std::exchange(budget_, nullptr)->Give(bytes_);
  }

 private:
  Budget* budget_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace carvalen::service
