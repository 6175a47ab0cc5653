#include "service/metrics.hpp"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "build_info.hpp"
#include "carvalen/version.hpp"

namespace carvalen::service {
namespace {

// The build, as a constant 1 with labels, the way exporters tell which build is running.
void BuildInfo(fmt::memory_buffer& out) {
  fmt::format_to(std::back_inserter(out),
                 "# HELP carvalen_build_info The build serving: version, commit and build type.\n"
                 "# TYPE carvalen_build_info gauge\n"
                 "carvalen_build_info{{version=\"{}\",commit=\"{}\",build_type=\"{}\"}} 1\n",
                 kVersion, kBuildCommit, kBuildType);
}

// The standard process series of Prometheus clients, read from /proc at each scrape.
void ProcessSeries(fmt::memory_buffer& out) {
  auto add = std::back_inserter(out);
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
  // /proc/self/stat: the fields after the command's closing parenthesis, which may hold blanks.
  std::ifstream stat_file("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double utime = 0, stime = 0, start_ticks = 0, vsize = 0, rss_pages = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
    if (i == 22) start_ticks = std::stod(field);
    if (i == 23) vsize = std::stod(field);
    if (i == 24) rss_pages = std::stod(field);
  }
  double boot_time = 0;
  std::ifstream system_stat("/proc/stat");
  for (std::string line; std::getline(system_stat, line);) {
    if (line.rfind("btime ", 0) == 0) boot_time = std::stod(line.substr(6));
  }
  std::int64_t open_fds = -1;  // the iterator's own descriptor is counted once
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    ++open_fds;
  }
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  fmt::format_to(add,
                 "# HELP process_cpu_seconds_total Total user and system CPU time spent in "
                 "seconds.\n"
                 "# TYPE process_cpu_seconds_total counter\n"
                 "process_cpu_seconds_total {}\n"
                 "# HELP process_open_fds Number of open file descriptors.\n"
                 "# TYPE process_open_fds gauge\n"
                 "process_open_fds {}\n"
                 "# HELP process_max_fds Maximum number of open file descriptors.\n"
                 "# TYPE process_max_fds gauge\n"
                 "process_max_fds {}\n"
                 "# HELP process_virtual_memory_bytes Virtual memory size in bytes.\n"
                 "# TYPE process_virtual_memory_bytes gauge\n"
                 "process_virtual_memory_bytes {}\n"
                 "# HELP process_resident_memory_bytes Resident memory size in bytes.\n"
                 "# TYPE process_resident_memory_bytes gauge\n"
                 "process_resident_memory_bytes {}\n"
                 "# HELP process_start_time_seconds Start time of the process since unix epoch in "
                 "seconds.\n"
                 "# TYPE process_start_time_seconds gauge\n"
                 "process_start_time_seconds {}\n",
                 (utime + stime) / ticks, open_fds, static_cast<double>(limit.rlim_cur), vsize,
                 rss_pages * page, boot_time + start_ticks / ticks);
}

}  // namespace

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
  // Read before taking the lock, which every answered request also takes.
  fmt::memory_buffer process;
  BuildInfo(process);
  ProcessSeries(process);
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
  fmt::format_to(add,
                 "# HELP carvalen_service_access_log_dropped_total Access-log lines dropped "
                 "because the log's writer was behind.\n"
                 "# TYPE carvalen_service_access_log_dropped_total counter\n"
                 "carvalen_service_access_log_dropped_total {}\n"
                 "# HELP carvalen_service_buffered_bytes Request bodies held, against "
                 "--max-buffered.\n"
                 "# TYPE carvalen_service_buffered_bytes gauge\n"
                 "carvalen_service_buffered_bytes {}\n"
                 "# HELP carvalen_service_unread_bytes Answers being written, against "
                 "--max-unread.\n"
                 "# TYPE carvalen_service_unread_bytes gauge\n"
                 "carvalen_service_unread_bytes {}\n",
                 gauges.log_dropped, gauges.buffered_bytes, gauges.unread_bytes);
  out.append(process);
  return fmt::to_string(out);
}

}  // namespace carvalen::service
