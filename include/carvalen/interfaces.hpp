// Interfaces of the four outside components the library creates by name. A host that registers
// its own "Halvard.Configuration" or "Halvard.Log" implements the matching interface here; the
// category component is called late-bound ("GetCategoryFields" through Object::Invoke). A log may
// also implement IDiagnosticLog to receive what an error's description leaves out.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <string>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"

namespace carvalen {

inline constexpr const char* kUtilitiesName = "Mirelib.Utilities";
inline constexpr const char* kConfigurationName = "Halvard.Configuration";
inline constexpr const char* kLogName = "Halvard.Log";
inline constexpr const char* kCategoryName = "Morrowfen.Category";

/// Turns caller values into complete SQL literals.
class CARVALEN_API IUtilities : public virtual Object {
 public:
  /// Plain decimal digits with an optional '-'.
  virtual std::string FormatSqlNumber(std::int32_t value) = 0;
  /// Shortest round-trip text ("49.5", "1e-05"); a non-finite value fails with 5.
  virtual std::string FormatSqlDouble(double value) = 0;
  /// Single-quoted, each quote doubled; a NUL character fails with 5.
  virtual std::string QuoteSqlString(const std::string& value) = 0;
  /// 'YYYY-MM-DD HH:MM:SS'.
  virtual std::string FormatSqlDate(Date value) = 0;
};

/// The application's configuration stores.
class CARVALEN_API IConfiguration : public virtual Object {
 public:
  virtual bool StoreExists(const std::string& store) = 0;
  virtual void OpenStore(const std::string& store, std::int32_t mode) = 0;
  virtual std::string GetConnectionString(const std::string& name) = 0;
  /// Empty when the key is absent (or an empty string).
  virtual Variant GetConfigValue(std::string& section, std::string& key) = 0;
};

/// The application's log.
class CARVALEN_API ILog : public virtual Object {
 public:
  /// Writes one entry; the returned value means nothing to the library.
  virtual Variant WriteLogEntry(std::string& source, std::string& text, std::int32_t& kind) = 0;
};

/// A log that also keeps an error's diagnostics (driver code and message, failing statement). The
/// reporter uses it instead of ILog::WriteLogEntry when the log component implements it; the call
/// and its outcome are otherwise the same.
class CARVALEN_API IDiagnosticLog : public ILog {
 public:
  virtual Variant WriteDiagnosticEntry(std::string& source, std::string& text, std::int32_t& kind,
                                       const ErrorDiagnostics& diagnostics) = 0;
};

}  // namespace carvalen
