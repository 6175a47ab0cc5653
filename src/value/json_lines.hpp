// What the library's three JSON-lines files share (the log, the SQL trace, the service's access
// log): the local time stamp of an entry, and appending a line in one write, so that lines of
// concurrent writers, threads or processes, never interleave.
#pragma once

#include <sys/types.h>
#include <string>
#include <string_view>

namespace carvalen::text {

/// "2026-06-10T08:00:00.123": now, in local time, to the millisecond.
std::string LocalTimestamp();

/// Writes `line` (its end included) to `fd` in one write, again after an interruption; the
/// bytes written, or -1 with errno set.
ssize_t WriteWhole(int fd, std::string_view line);

/// A file opened for appending (created when missing), closed with this object.
class AppendFile {
 public:
  /// Opens `path`; on failure Good() is false and errno says why.
  explicit AppendFile(const std::string& path);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  bool Good() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  ssize_t Append(std::string_view line) const { return WriteWhole(fd_, line); }

 private:
  int fd_;
};

}  // namespace carvalen::text
