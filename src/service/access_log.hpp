// The access log: one JSON object a line, to a file or to standard error.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "value/json_lines.hpp"

namespace carvalen::service {

// One JSON object a line: when, from where, what was asked and how it went. Never an argument
// value or a header: a token must not end up in a log file.
class AccessLog {
 public:
  /// Standard error when `path` is empty.
  explicit AccessLog(const std::string& path);
  void Write(std::string_view remote, std::string_view method, std::string_view operation,
             int status, double seconds);

 private:
  std::optional<text::AppendFile> file_;  // none: standard error
  std::mutex mutex_;
};

}  // namespace carvalen::service
