// Scratch space for the component tests: a temporary folder removed afterwards, and environment
// variables put back when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"

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
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "carvalen-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path operator/(const std::string& name) const { return path / name; }
  /// Writes `text` to `name` (relative to the folder), creating folders on the way.
  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories((path / name).parent_path());
    std::ofstream(path / name, std::ios::binary) << text;
  }

  fs::path path;
};

/// The Error that `call` raises; an Error numbered 0 when it raises none.
template <class Call>
Error ErrorOf(Call call) {
  try {
    call();
  } catch (const Error& e) {
    return e;
  }
  return Error(0, "no error raised");
}

inline std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Sets (or, with nullptr, unsets) an environment variable for the life of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace carvalen::testing
