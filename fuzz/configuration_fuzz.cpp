// Configuration-store reading on arbitrary store texts, through the real path: the text is the
// store's file, opened and read as a host's call would. Opening either succeeds or fails with the
// library's Error; every value read from an opened store converts to text or fails the same way.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "carvalen/error.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"

namespace {

namespace fs = std::filesystem;

// One folder for the whole run, removed at exit; in memory where the system offers it, since a
// file is written for every input (thirty times faster than on a disk-backed /tmp here).
struct StoreFolder {
  fs::path path;
  StoreFolder() {
    std::error_code ec;
    const fs::path base =
        fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "carvalen-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
    carvalen::SetSetting(carvalen::Setting::ConfigDir, path.string());
  }
  ~StoreFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

const StoreFolder& Folder() {
  static const StoreFolder folder;
  return folder;
}

// The names the library reads, and a few short ones a mutation can reach.
const char* const kSections[] = {"CONNECTIONS", "ConnectionStrings", "a", "b"};
const char* const kKeys[] = {"EContractConnection_CommandTimeout",
                             "EContractConnection_ConnectionTimeout", "EContract", "a", "b"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace carvalen;
  const fs::path file = Folder().path / "Fuzz.toml";
  {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    std::fclose(out);
  }
  // Parsed stores are kept for a second; each input must be read afresh.
  carvalen::ForgetConfigurationStores();
  components::Configuration configuration;
  try {
    configuration.OpenStore("Fuzz", 1);
  } catch (const Error&) {
    return 0;
  }
  for (const char* key : kKeys) {
    try {
      (void)configuration.GetConnectionString(key);
    } catch (const Error&) {
    }
    for (const char* section_name : kSections) {
      std::string section = section_name;
      std::string name = key;
      try {
        const Variant value = configuration.GetConfigValue(section, name);
        if (value.IsString() || value.IsNumber()) (void)value.ToString();
      } catch (const Error&) {
      }
    }
  }
  return 0;
}
