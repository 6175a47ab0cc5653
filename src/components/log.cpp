#include "components/log.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "carvalen/settings.hpp"
#include "components/component_error.hpp"
#include "components/defaults.hpp"
#include "value/binding.hpp"
#include "value/error_text.hpp"
#include "value/json_lines.hpp"

namespace carvalen::components {

namespace {

// A JSON string literal. Bytes that are not UTF-8 (a driver's message in another encoding) are
// replaced rather than failing: losing the entry would be worse than one odd character.
std::string JsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Writes the whole line at once; a short write would leave half a line for the next writer to
// continue, so it counts as a failure rather than being completed by a second write.
void WriteLine(int fd, const std::string& line, const std::string& target) {
  const ssize_t written = text::WriteWhole(fd, line);
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
  std::string line =
      fmt::format(R"({{"time": "{}", "source": {}, "kind": {}, "text": {})", text::LocalTimestamp(),
                  JsonString(source), kind, JsonString(text));
  const std::pair<const char*, const std::string*> extra[] = {{"code", &diagnostics.code},
                                                              {"message", &diagnostics.message},
                                                              {"statement", &diagnostics.statement},
                                                              {"database", &diagnostics.database}};
  for (const auto& [name, value] : extra) {
    if (!value->empty()) line += fmt::format(R"(, "{}": {})", name, JsonString(*value));
  }
  return line + "}\n";
}

// The same entry for a person at a terminal: the local time, the methods the error passed
// through and its innermost message, on one line.
std::string ReadableEntry(const std::string& source, const std::string& text,
                          const ErrorDiagnostics& diagnostics) {
  std::string line = text::LocalTimestamp().substr(11) + ' ';
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
    const text::AppendFile file(path);
    if (!file.Good()) {
      const int error = errno;
      throw ComponentError(kLogName, fmt::format("The log file '{}' could not be opened: {}", path,
                                                 std::generic_category().message(error)));
    }
    WriteLine(file.Descriptor(), line, fmt::format("file '{}'", path));
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
  static const std::vector<binding::MethodInfo> kMethods = {
      binding::Bind("WriteLogEntry", &Log::WriteLogEntry, {"source", "text", "kind"}),
  };
  return binding::InvokeByName(kMethods, *this, name, args);
}

ObjectPtr NewLog() { return std::make_shared<Log>(); }

}  // namespace carvalen::components
