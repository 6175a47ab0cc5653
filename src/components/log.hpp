// "Halvard.Log": appends one JSON object a line to the file of the LogFile setting (CARVALEN_LOG;
// stderr when unset):
//   {"time": "2026-06-10T08:00:00.123", "source": "...", "kind": 0, "text": "..."}
// followed, for an entry written with diagnostics, by whichever of "code", "message" and
// "statement" are known. Each line goes out in one write() on a file opened for appending, so
// lines of concurrent writers, threads or processes, never interleave.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "carvalen/interfaces.hpp"

namespace carvalen::components {

class Log final : public IDiagnosticLog {
 public:
  /// Appends the entry with the local time; a log that cannot be opened or written fails.
  /// Returns Empty.
  Variant WriteLogEntry(std::string& source, std::string& text, std::int32_t& kind) override;
  /// The same, with the diagnostics that are known as further members of the line.
  Variant WriteDiagnosticEntry(std::string& source, std::string& text, std::int32_t& kind,
                               const ErrorDiagnostics& diagnostics) override;

  std::string ClassName() const override { return kLogName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

}  // namespace carvalen::components
