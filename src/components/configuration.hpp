// "Halvard.Configuration": the application's configuration stores, one TOML file each in the
// folder of the ConfigDir setting (CARVALEN_CONFIG_DIR; "config" under the working directory when
// unset).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "carvalen/interfaces.hpp"

namespace carvalen::components {

class Configuration final : public IConfiguration {
 public:
  Configuration();
  ~Configuration() override;

  /// True when "<folder>/<store>.toml" is a file.
  bool StoreExists(const std::string& store) override;
  /// Reads the store; a store that is missing or is not valid TOML fails. The stores are only
  /// ever read, so `mode` changes nothing.
  void OpenStore(const std::string& store, std::int32_t mode) override;
  /// Key `name` of table [ConnectionStrings]; an absent or non-text key fails, since no
  /// database can be opened without it.
  std::string GetConnectionString(const std::string& name) override;
  /// Key `key` of table [section]: Empty when absent or an empty string; otherwise String,
  /// Long (LongLong beyond 32 bits), Double or Boolean, and the TOML text of anything else.
  Variant GetConfigValue(std::string& section, std::string& key) override;

  std::string ClassName() const override { return kConfigurationName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;

 private:
  struct Store;  // keeps the TOML library out of this header
  const Store& OpenedStore(std::string_view operation) const;

  std::unique_ptr<Store> store_;
};

}  // namespace carvalen::components
