// The access log: one JSON object a line, to a file or to standard error, written by a thread of
// its own so that a slow disk or a pipe nobody reads never holds up a request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace carvalen::service {

// One JSON object a line: when, from where, what was asked and how it went. Never an argument
// value or a header: a token must not end up in a log file.
class AccessLog {
 public:
  /// Lines waiting for the writer at most; beyond, a line is dropped and counted.
  static constexpr std::size_t kQueuedLines = 4096;

  /// Standard error when `path` is empty; throws std::runtime_error when it cannot be opened.
  explicit AccessLog(const std::string& path);
  /// Writes what is queued, waiting a second at most for a writer that is stuck.
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  /// Queues the line; never waits for the writer.
  void Write(std::string_view remote, std::string_view method, std::string_view operation,
             int status, double seconds);
  /// Lines dropped because the queue was full.
  std::uint64_t Dropped() const;

 private:
  struct Queue;
  // Shared with the writer, which may outlive this object when its write never returns.
  std::shared_ptr<Queue> queue_;
  std::thread writer_;
};

}  // namespace carvalen::service
