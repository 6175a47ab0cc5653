#include "service/metrics.hpp"

#include <fmt/format.h>

#include <iterator>

namespace carvalen::service {

void Metrics::Record(std::string_view operation, int status, double seconds) {
  std::lock_guard lock(mutex_);
  ++requests_[status];
  if (operation.empty()) return;
  auto it = operations_.find(operation);
  if (it == operations_.end()) it = operations_.emplace(std::string(operation), Operation{}).first;
  Operation& op = it->second;
  ++op.calls;
  if (status == 422) ++op.errors;
  op.seconds += seconds;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++op.buckets[i];
  }
}

std::string Metrics::Text(const Gauges& gauges) const {
  fmt::memory_buffer out;
  auto add = std::back_inserter(out);
  std::lock_guard lock(mutex_);
  fmt::format_to(add,
                 "# HELP carvalen_service_requests_total Requests answered, by HTTP status.\n"
                 "# TYPE carvalen_service_requests_total counter\n");
  for (const auto& [status, count] : requests_) {
    fmt::format_to(add, "carvalen_service_requests_total{{status=\"{}\"}} {}\n", status, count);
  }
  fmt::format_to(add,
                 "# HELP carvalen_service_calls_total Operation calls, whatever their outcome.\n"
                 "# TYPE carvalen_service_calls_total counter\n");
  for (const auto& [name, op] : operations_) {
    fmt::format_to(add, "carvalen_service_calls_total{{operation=\"{}\"}} {}\n", name, op.calls);
  }
  fmt::format_to(add,
                 "# HELP carvalen_service_call_errors_total Calls in which the operation raised "
                 "an error.\n"
                 "# TYPE carvalen_service_call_errors_total counter\n");
  for (const auto& [name, op] : operations_) {
    fmt::format_to(add, "carvalen_service_call_errors_total{{operation=\"{}\"}} {}\n", name,
                   op.errors);
  }
  fmt::format_to(add,
                 "# HELP carvalen_service_call_seconds Time from a call's request to its answer.\n"
                 "# TYPE carvalen_service_call_seconds histogram\n");
  for (const auto& [name, op] : operations_) {
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      fmt::format_to(add, "carvalen_service_call_seconds_bucket{{operation=\"{}\",le=\"{}\"}} {}\n",
                     name, kBuckets[i], op.buckets[i]);
    }
    fmt::format_to(add,
                   "carvalen_service_call_seconds_bucket{{operation=\"{0}\",le=\"+Inf\"}} {1}\n"
                   "carvalen_service_call_seconds_sum{{operation=\"{0}\"}} {2}\n"
                   "carvalen_service_call_seconds_count{{operation=\"{0}\"}} {1}\n",
                   name, op.calls, op.seconds);
  }
  fmt::format_to(add,
                 "# HELP carvalen_service_in_flight Requests being served now.\n"
                 "# TYPE carvalen_service_in_flight gauge\n"
                 "carvalen_service_in_flight {}\n"
                 "# HELP carvalen_service_draining 1 once the service has been told to stop.\n"
                 "# TYPE carvalen_service_draining gauge\n"
                 "carvalen_service_draining {}\n"
                 "# HELP carvalen_pool_connections Database connections: open in a call, or "
                 "kept idle in the pool.\n"
                 "# TYPE carvalen_pool_connections gauge\n"
                 "carvalen_pool_connections{{state=\"in_use\"}} {}\n"
                 "carvalen_pool_connections{{state=\"idle\"}} {}\n",
                 gauges.in_flight, gauges.draining ? 1 : 0, gauges.pool_in_use, gauges.pool_idle);
  return fmt::to_string(out);
}

}  // namespace carvalen::service
