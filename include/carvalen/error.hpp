// The one error type of the library. Everything that fails raises an Error carrying the five
// fields a caller sees (number, source, description, help file, help context), plus diagnostics
// that never reach the description but go to the log: the driver's native code and message, and
// the statement that failed.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace carvalen {

/// The five fields of an error, in the order callers know them.
struct ErrorInfo {
  std::int32_t Number = 0;
  std::string Source;
  std::string Description;
  std::string HelpFile;
  std::int32_t HelpContext = 0;

  bool operator==(const ErrorInfo&) const = default;
};

/// What a description leaves out, for the log: the driver's own code (SQLSTATE, SQLite's extended
/// code), the original message (the driver's, a foreign exception's, or the text of an error that
/// came without a number), the statement that failed and, for an open that failed, the database
/// it tried to reach (never a password). Empty members are unknown.
struct ErrorDiagnostics {
  std::string code;
  std::string message;
  std::string statement;
  std::string database;

  bool operator==(const ErrorDiagnostics&) const = default;
};

/// Library name used as the source of errors raised without one.
inline constexpr const char* kLibraryName = "Carvalen";
/// Description of an error raised without one.
inline constexpr const char* kGenericDescription = "Application-defined or object-defined error";

/// Numbers of the errors the operations raise themselves.
namespace errnum {
inline constexpr std::int32_t kHeaderMissing = static_cast<std::int32_t>(0x80040402u);
inline constexpr std::int32_t kLineMissing = static_cast<std::int32_t>(0x80040404u);
inline constexpr std::int32_t kBisMissing = static_cast<std::int32_t>(0x8004040Cu);
inline constexpr std::int32_t kNoConfigurationStore = static_cast<std::int32_t>(0x8004041Du);
}  // namespace errnum

class CARVALEN_API Error : public std::exception {
 public:
  explicit Error(ErrorInfo info) : info_(std::move(info)) {}
  /// An error with a number and description; the source defaults to the library name.
  Error(std::int32_t number, std::string description, std::string source = kLibraryName);

  /// A classic runtime error (5, 6, 9, 13, 91, 94, 457, ...) with its standard text.
  static Error Runtime(std::int32_t number);
  /// An error an operation raises itself with no source or description of its own.
  static Error Raised(std::int32_t number);

  const ErrorInfo& Info() const { return info_; }
  void SetInfo(ErrorInfo info) { info_ = std::move(info); }
  std::int32_t Number() const { return info_.Number; }
  const std::string& Source() const { return info_.Source; }
  const std::string& Description() const { return info_.Description; }
  const char* what() const noexcept override { return info_.Description.c_str(); }

  /// Diagnostics: the driver's own code, the original message and the failing text.
  const ErrorDiagnostics& Diagnostics() const { return diagnostics_; }
  const std::string& NativeCode() const { return diagnostics_.code; }
  const std::string& NativeMessage() const { return diagnostics_.message; }
  const std::string& Statement() const { return diagnostics_.statement; }
  const std::string& Database() const { return diagnostics_.database; }
  Error& WithNative(std::string code, std::string statement = {}) {
    diagnostics_.code = std::move(code);
    diagnostics_.statement = std::move(statement);
    return *this;
  }
  Error& WithDatabase(std::string database) {
    diagnostics_.database = std::move(database);
    return *this;
  }
  Error& WithMessage(std::string message) {
    diagnostics_.message = std::move(message);
    return *this;
  }
  Error& WithDiagnostics(ErrorDiagnostics diagnostics) {
    diagnostics_ = std::move(diagnostics);
    return *this;
  }

 private:
  ErrorInfo info_;
  ErrorDiagnostics diagnostics_;
};

/// The standard text of a classic runtime error number ("Type mismatch" for 13, ...).
CARVALEN_API std::string RuntimeErrorText(std::int32_t number);

/// Turns whatever is being handled (an Error, a std::exception, anything) into an Error. A
/// foreign exception, or an Error numbered 0, becomes 51 "Internal error" with the original text
/// as its native message (an Error keeps its source, help file and help context). Call only
/// inside a catch block.
CARVALEN_API Error CurrentError();

}  // namespace carvalen
