#include "frame/reporter.hpp"

#include <fmt/format.h>

#include "carvalen/interfaces.hpp"
#include "frame/procedures.hpp"

namespace carvalen::frame {
namespace {

// The error of the innermost running error path on this thread.
thread_local Error* t_pending = nullptr;

}  // namespace

const Error* PendingError() { return t_pending; }

ErrorPath::ErrorPath(Error error) : error_(std::move(error)), previous_(t_pending) {
  t_pending = &error_;
}

ErrorPath::~ErrorPath() { t_pending = previous_; }

std::string FormatErrorText(std::string_view description, std::int32_t number,
                            std::string_view name, const Variant& info) {
  std::string text = fmt::format("\r\nERROR 0x{:X}\r\n METHOD: {}\r\n DESC: {}.\r\n",
                                 static_cast<std::uint32_t>(number), name, description);
  if (!info.IsMissing()) text += fmt::format(" INFO: {}.\r\n", info.ToString());
  return text;
}

ErrorInfo GetErrorInfo(std::string_view name, const Variant& info) {
  if (t_pending == nullptr) return {};
  ErrorInfo rec = t_pending->Info();
  rec.Description = FormatErrorText(rec.Description, rec.Number, name, info);
  return rec;
}

void WriteLog(std::int32_t kind, std::string_view name, const Variant& info) {
  const ErrorInfo& pending = t_pending->Info();
  std::string text = FormatErrorText(pending.Description, pending.Number, name, info);
  const Variant component = GetComponent(kLogName);
  std::string source = pending.Source;
  if (auto diagnostic = std::dynamic_pointer_cast<IDiagnosticLog>(component.GetObject())) {
    diagnostic->WriteDiagnosticEntry(source, text, kind, t_pending->Diagnostics());
  } else {
    component.As<ILog>()->WriteLogEntry(source, text, kind);
  }
}

void LogError(std::string_view name, const Variant& info) { WriteLog(0, name, info); }

void HandleError(std::string_view name, const Variant& info) {
  if (t_pending == nullptr) return;
  ErrorInfo rec;
  try {
    rec = GetErrorInfo(name, info);
  } catch (...) {
    // The extra information did not convert to text: report without it rather than lose the
    // error.
    rec = GetErrorInfo(name);
  }
  // The entry is written with the pending error already carrying the formatted description, so
  // the log text holds the header twice; a failing log never changes what the caller receives.
  t_pending->SetInfo(rec);
  try {
    LogError(name, info);
  } catch (...) {
  }
  throw Error(*t_pending);  // a copy keeps the driver's diagnostics
}

}  // namespace carvalen::frame
