// The service's counters, exposed in the Prometheus text format: requests by status, and per
// operation the calls, the errors the operation raised and a latency histogram. Only operations
// that resolved are counted by name, so a caller cannot grow the label set with made-up names.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace carvalen::service {

/// Gauges read when the metrics are rendered.
struct Gauges {
  std::int64_t in_flight = 0;
  std::int64_t pool_in_use = 0;
  std::int64_t pool_idle = 0;
  bool draining = false;
  std::uint64_t log_dropped = 0;     // access-log lines dropped, the writer being behind
  std::uint64_t buffered_bytes = 0;  // request bodies held
  std::uint64_t unread_bytes = 0;    // answers being written
};

class Metrics {
 public:
  /// Upper bounds of the latency buckets, in seconds (+Inf is implied).
  static constexpr std::array<double, 13> kBuckets = {
      0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 10.0};

  /// One answered request; `operation` is "Class.Operation" for a call that resolved, else empty.
  void Record(std::string_view operation, int status, double seconds);
  std::string Text(const Gauges& gauges) const;

 private:
  struct Operation {
    std::uint64_t calls = 0;
    std::uint64_t errors = 0;  // the operation raised an error (422)
    std::array<std::uint64_t, kBuckets.size()> buckets{};
    double seconds = 0;
  };

  mutable std::mutex mutex_;
  std::map<int, std::uint64_t, std::less<>> requests_;  // by status
  std::map<std::string, Operation, std::less<>> operations_;
};

}  // namespace carvalen::service
