// Error reporting: the pending error of this thread, the formatted description that names where
// an error happened, the log entry written for it, and the trap that procedures and operations
// run their bodies in.
//
// A failure anywhere is a thrown carvalen::Error. Entering an error path makes it the thread's
// pending error (ErrorPath); the reporter formats it, logs it once and raises it again. A
// procedure called while an error is pending runs without a trap of its own, so clean-up on an
// error path never disturbs the error being reported.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::frame {

/// The error whose error path is running on this thread, or null.
const Error* PendingError();

/// Makes `error` the pending error for the life of an error path; the previous one (if any) is
/// pending again afterwards.
class ErrorPath {
 public:
  explicit ErrorPath(Error error);
  ~ErrorPath();
  ErrorPath(const ErrorPath&) = delete;
  ErrorPath& operator=(const ErrorPath&) = delete;

  Error& Pending() { return error_; }

 private:
  Error error_;
  Error* previous_;
};

/// The description that names where an error happened: CR LF, "ERROR 0x<hex>", CR LF,
/// " METHOD: <name>", CR LF, " DESC: <description>.", CR LF, and with `info` supplied
/// " INFO: <info>.", CR LF.
std::string FormatErrorText(std::string_view description, std::int32_t number,
                            std::string_view name, const Variant& info = Variant::Missing());

/// The pending error's fields with its description formatted for `name`.
ErrorInfo GetErrorInfo(std::string_view name, const Variant& info = Variant::Missing());

/// Writes the log entry for the pending error; failures of the log component are swallowed.
void LogError(std::string_view name, const Variant& info = Variant::Missing());
void WriteLog(std::int32_t kind, std::string_view name, const Variant& info = Variant::Missing());

/// Formats the pending error for `name`, logs it and raises it again. Returns only when no
/// error is pending; a pending error numbered 0 is raised like any other (CurrentError has
/// already made one that was caught into 51).
void HandleError(std::string_view name, const Variant& info = Variant::Missing());

/// Runs `body` inside an error trap. On failure the error becomes pending, `on_error` cleans up
/// (and returns the extra information for the report, or Missing), and HandleError reports and
/// raises it. With `armed_only_when_clear`, the trap is armed only when no error is pending at
/// entry: otherwise a failure goes straight to the caller, unreported.
template <class Body, class OnError>
auto Trap(std::string_view name, bool armed_only_when_clear, Body&& body, OnError&& on_error)
    -> decltype(body()) {
  using Result = decltype(body());
  if (armed_only_when_clear && PendingError() != nullptr) return body();
  try {
    return body();
  } catch (...) {
    ErrorPath path(CurrentError());
    Variant info = on_error();
    HandleError(name, info);
    if constexpr (!std::is_void_v<Result>) return Result{};
  }
}

}  // namespace carvalen::frame
