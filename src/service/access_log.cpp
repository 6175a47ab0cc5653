#include "service/access_log.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace carvalen::service {

AccessLog::AccessLog(const std::string& path) {
  if (!path.empty()) file_.emplace(path);
  if (file_ && !file_->Good()) {
    throw std::runtime_error(fmt::format("cannot open the access log {}", path));
  }
}

void AccessLog::Write(std::string_view remote, std::string_view method, std::string_view operation,
                      int status, double seconds) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  line["time"] = text::LocalTimestamp();
  line["remote"] = remote;
  line["method"] = method;
  line["operation"] = operation;
  line["status"] = status;
  line["ms"] = static_cast<double>(static_cast<std::int64_t>(seconds * 1e6)) / 1e3;
  // A path is whatever the client sent; bytes that are not UTF-8 must not stop the line.
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  // One write a line; the lock keeps long lines whole on a pipe too (standard error).
  std::lock_guard lock(mutex_);
  (void)text::WriteWhole(file_ ? file_->Descriptor() : STDERR_FILENO, text);
}

}  // namespace carvalen::service
