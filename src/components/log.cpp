#include "components/log.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "carvalen/settings.hpp"
#include "components/defaults.hpp"
#include "components/late_binding.hpp"
#include "value/error_text.hpp"

namespace carvalen::components {

namespace {

// Owns a file descriptor for the life of one entry.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// "2026-06-10T08:00:00.123" in local time.
std::string LocalTimestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto since_epoch = duration_cast<milliseconds>(now.time_since_epoch());
  const std::time_t seconds =
      static_cast<std::time_t>(duration_cast<std::chrono::seconds>(since_epoch).count());
  const auto millis = since_epoch.count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     millis);
}

// A JSON string literal. Bytes that are not UTF-8 (a driver's message in another encoding) are
// replaced rather than failing: losing the entry would be worse than one odd character.
std::string JsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Writes the whole line at once; a short write would leave half a line for the next writer to
// continue, so it counts as a failure rather than being completed by a second write.
void WriteLine(int fd, const std::string& line, const std::string& target) {
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    const int error = errno;
    throw ComponentError(kLogName, fmt::format("The log {} could not be written: {}", target,
                                               std::generic_category().message(error)));
  }
  if (static_cast<std::size_t>(written) != line.size()) {
    throw ComponentError(kLogName,
                         fmt::format("The log {} could not be written: only {} of {} bytes", target,
                                     written, line.size()));
  }
}

// One line, diagnostics after the fixed members and only those that are known.
std::string Entry(const std::string& source, const std::string& text, std::int32_t kind,
                  const ErrorDiagnostics& diagnostics) {
  std::string line = fmt::format(R"({{"time": "{}", "source": {}, "kind": {}, "text": {})",
                                 LocalTimestamp(), JsonString(source), kind, JsonString(text));
  const std::pair<const char*, const std::string*> extra[] = {
      {"code", &diagnostics.code},
      {"message", &diagnostics.message},
      {"statement", &diagnostics.statement}};
  for (const auto& [name, value] : extra) {
    if (!value->empty()) line += fmt::format(R"(, "{}": {})", name, JsonString(*value));
  }
  return line + "}\n";
}

// The same entry for a person at a terminal: the local time, the methods the error passed
// through and its innermost message, on one line.
std::string ReadableEntry(const std::string& source, const std::string& text,
                          const ErrorDiagnostics& diagnostics) {
  std::string line = LocalTimestamp().substr(11) + ' ';
  if (!source.empty()) line += source + ": ";
  line += text::ReadableDescription(text);
  if (!diagnostics.code.empty()) line += " [" + diagnostics.code + ']';
  return line + '\n';
}

// The caller of an operation never hears of a log that fails (its error is what it gets), so
// the first failure of the process is said once on stderr: the person running it learns that
// entries are being lost, and a log that keeps failing does not flood the terminal.
void TellOnce(const Error& failure) {
  static std::atomic<bool> told{false};
  if (told.exchange(true)) return;
  const std::string line = "carvalen: " + failure.Description() + "; log entries are lost\n";
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

// Appends the entry to the log the LogFile setting names: a JSON line, but a readable one when
// the log is standard error and that is a terminal.
void Append(const std::string& source, const std::string& text, std::int32_t kind,
            const ErrorDiagnostics& diagnostics) {
  const std::string path = GetSetting(Setting::LogFile);
  try {
    if (path.empty()) {
      WriteLine(STDERR_FILENO,
                ::isatty(STDERR_FILENO) == 1 ? ReadableEntry(source, text, diagnostics)
                                             : Entry(source, text, kind, diagnostics),
                "stream stderr");
      return;
    }
    const std::string line = Entry(source, text, kind, diagnostics);
    // Opened for each entry: entries are rare (one per error) and the file may be rotated away
    // between them.
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file.get() < 0) {
      const int error = errno;
      throw ComponentError(kLogName, fmt::format("The log file '{}' could not be opened: {}", path,
                                                 std::generic_category().message(error)));
    }
    WriteLine(file.get(), line, fmt::format("file '{}'", path));
  } catch (const Error& failure) {
    if (!path.empty()) TellOnce(failure);  // stderr itself failing has nowhere else to go
    throw;
  }
}

}  // namespace

Variant Log::WriteLogEntry(std::string& source, std::string& text, std::int32_t& kind) {
  Append(source, text, kind, {});
  return Variant();
}

Variant Log::WriteDiagnosticEntry(std::string& source, std::string& text, std::int32_t& kind,
                                  const ErrorDiagnostics& diagnostics) {
  Append(source, text, kind, diagnostics);
  return Variant();
}

Variant Log::Invoke(std::string_view name, std::span<Variant> args) {
  if (IsMember(name, "WriteLogEntry")) {
    ExpectArguments(args, 3);
    std::string source = args[0].ToString();
    std::string text = args[1].ToString();
    std::int32_t kind = args[2].ToLong();
    Variant result = WriteLogEntry(source, text, kind);
    args[0] = Variant(std::move(source));
    args[1] = Variant(std::move(text));
    args[2] = Variant(kind);
    return result;
  }
  return Object::Invoke(name, args);
}

ObjectPtr NewLog() { return std::make_shared<Log>(); }

}  // namespace carvalen::components
