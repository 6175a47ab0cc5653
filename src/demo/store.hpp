// The demo's files: the configuration store that names its database, and the partial database
// file that is thrown away unless the build completes.
#pragma once

#include <filesystem>
#include <string>
#include <utility>

namespace carvalen::demo {

/// The text of a configuration store whose connection "EContract" opens `database` (SQLite), with
/// the usual time-outs.
std::string StoreText(const std::filesystem::path& database);

/// The same store for any connection string (a PostgreSQL one, as given).
std::string StoreTextFor(const std::string& connection);

/// Removes the partial database when the build fails half-way.
class PartialFile {
 public:
  explicit PartialFile(std::filesystem::path path) : path_(std::move(path)) { Remove(); }
  ~PartialFile() {
    if (!kept_) Remove();
  }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  void Keep() { kept_ = true; }
  const std::filesystem::path& Path() const { return path_; }

 private:
  void Remove();
  std::filesystem::path path_;
  bool kept_ = false;
};

}  // namespace carvalen::demo
