// Peak resident memory of one piece of work, taken in a child process made for it: the child
// starts as a copy of the benchmark, gives its free heap back, notes its resident size, does the
// work once and exits; the kernel's high-water mark of the child (ru_maxrss from wait4) less that
// size is what the work needed at its worst. Nothing the benchmark held before or keeps after is
// counted, and no sampling can miss a short peak.
#pragma once

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace carvalen::bench {

/// Resident bytes of this process now, read without allocating: the child calls it right before
/// the work, where an allocation of its own would blur the figure.
inline std::uint64_t ResidentBytes() {
  const int fd = ::open("/proc/self/statm", O_RDONLY);
  if (fd < 0) return 0;
  char text[128] = {};
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  unsigned long long size = 0, resident = 0;
  if (got <= 0 || std::sscanf(text, "%llu %llu", &size, &resident) != 2) return 0;
  return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

/// Sets this process's peak resident size (VmHWM, and so ru_maxrss) back to its size now.
inline bool ResetPeak() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
  if (fd < 0) return false;
  const bool done = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return done;
}

template <class Result>
struct PeakMemory {
  std::uint64_t before = 0;  // the child's resident bytes just before the work
  std::uint64_t peak = 0;    // the child's highest resident bytes
  Result result{};           // what the work returned, carried back from the child
  std::uint64_t Growth() const { return peak > before ? peak - before : 0; }
};

namespace detail {

class Pipe {
 public:
  Pipe() {
    if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int Read() const { return fds_[0]; }
  int Write() const { return fds_[1]; }
  void CloseRead() { Close(fds_[0]); }
  void CloseWrite() { Close(fds_[1]); }

 private:
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

inline bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace detail

/// Runs `work` once in a child and returns its peak; `work` returns a trivially copyable result
/// (sizes, a status) for the parent. A child that throws or dies fails with runtime_error.
template <class Work>
auto MeasurePeak(Work&& work) -> PeakMemory<std::invoke_result_t<Work&>> {
  using Result = std::invoke_result_t<Work&>;
  static_assert(std::is_trivially_copyable_v<Result>);
  struct Message {
    std::uint64_t before;
    Result result;
  };
  detail::Pipe pipe;
  std::fflush(nullptr);  // or the child's exit would print what the parent has buffered
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    pipe.CloseRead();
    // Free heap the benchmark left behind would be reused without faulting in, hiding the
    // work's real need.
    ::malloc_trim(0);
    // The child inherits the parent's high-water mark; start it again from here.
    if (!ResetPeak()) ::_exit(3);
    Message message{ResidentBytes(), Result{}};
    try {
      message.result = work();
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(detail::WriteAll(pipe.Write(), &message, sizeof message) ? 0 : 1);
  }
  pipe.CloseWrite();
  Message message{};
  const bool received = detail::ReadAll(pipe.Read(), &message, sizeof message);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("wait4 failed");
  }
  if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(WIFEXITED(status) && WEXITSTATUS(status) == 3
                                 ? "cannot reset the peak resident size (/proc/self/clear_refs)"
                                 : "the measuring child failed (status " + std::to_string(status) +
                                       ")");
  }
  // ru_maxrss is in kilobytes on Linux.
  return {message.before, static_cast<std::uint64_t>(usage.ru_maxrss) * 1024, message.result};
}

}  // namespace carvalen::bench
