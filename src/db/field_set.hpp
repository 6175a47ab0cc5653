// The column names of a result, looked up by name without regard to ASCII case. Immutable once
// made, so a statement kept in a session's cache makes it once and shares it with every record
// set it serves: a whole-line read looks up 45 names a call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace carvalen::db {

class FieldSet {
 public:
  // NOLINTNEXTLINE(readability-identifier-naming): named as std::string::npos is
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  FieldSet() = default;
  explicit FieldSet(std::vector<std::string> names);

  const std::vector<std::string>& Names() const { return names_; }
  std::size_t Size() const { return names_.size(); }
  /// The position of the first column called `name` (ASCII case ignored), npos when none is.
  std::size_t Find(std::string_view name) const;

 private:
  std::vector<std::string> names_;
  std::vector<std::uint64_t> hashes_;  // per column
  std::vector<std::uint32_t> slots_;   // open addressing: column + 1, 0 for a free slot
};

using FieldSetPtr = std::shared_ptr<const FieldSet>;

}  // namespace carvalen::db
