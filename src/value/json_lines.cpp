#include "value/json_lines.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace carvalen::text {

std::string LocalTimestamp() {
  using namespace std::chrono;
  const auto since_epoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
  const auto seconds =
      static_cast<std::time_t>(duration_cast<std::chrono::seconds>(since_epoch).count());
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[80];  // room for any int the fields could hold, as the compiler counts
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(since_epoch.count() % 1000));
  return text;
}

ssize_t WriteWhole(int fd, std::string_view line) {
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  return written;
}

AppendFile::AppendFile(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) {}

AppendFile::~AppendFile() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace carvalen::text
