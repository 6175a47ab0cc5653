// Scratch space: a temporary folder, and environment variables and settings put back afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>

#include "carvalen/settings.hpp"
#include "carvalen/variant.hpp"
#include "support/client_test.hpp"

namespace carvalen {

/// Lets failed expectations show a Variant as its type and text rather than as bytes.
inline void PrintTo(const Variant& value, std::ostream* os) {
  *os << value.TypeName();
  try {
    *os << " " << value.ToString();
  } catch (...) {  // no text form (Null, arrays, objects)
  }
}

}  // namespace carvalen

namespace carvalen::testing {

namespace fs = std::filesystem;

struct TempFolder {
  fs::path path = mkdtemp((fs::temp_directory_path() / "carvalen-XXXXXX").string().data());
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path operator/(const std::string& name) const { return path / name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(path / name, std::ios::binary) << text;
  }
};

using test::CaptureError;  // the Error a call raises; a test failure when it raises none

inline std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Sets (or, with nullptr, unsets) an environment variable for the life of the scope.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* now = getenv(name)) old = now;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old ? setenv(name.c_str(), old->c_str(), 1) : unsetenv(name.c_str()); }
  std::string name;
  std::optional<std::string> old;
};

/// Sets (or, with "", unsets) a library setting for the life of the scope.
struct ScopedSetting {
  ScopedSetting(Setting setting, std::string value) : setting(setting), old(GetSetting(setting)) {
    SetSetting(setting, std::move(value));
  }
  ~ScopedSetting() { SetSetting(setting, old); }
  Setting setting;
  std::string old;
};

}  // namespace carvalen::testing
