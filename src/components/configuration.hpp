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
#include "db/file_watch.hpp"

namespace carvalen::contract_store {
struct ContractConnection;
}

namespace carvalen::components {

class Configuration final : public IConfiguration {
 public:
  /// A parsed store, shared with the process-wide cache (declared here only: it keeps the TOML
  /// library out of this header).
  struct Store;

  Configuration();
  ~Configuration() override;

  /// True when "<folder>/<store>.toml" is a file now.
  bool StoreExists(const std::string& store) override;
  /// Reads the store; a store that is missing or is not valid TOML fails. The stores are only
  /// ever read, so `mode` changes nothing. A store parsed before is used again without reading
  /// the file while its file watch proves nothing happened to it; otherwise the file is read,
  /// and only a changed text is parsed again.
  void OpenStore(const std::string& store, std::int32_t mode) override;
  /// Key `name` of table [ConnectionStrings]; an absent or non-text key fails, since no
  /// database can be opened without it.
  std::string GetConnectionString(const std::string& name) override;
  /// Key `key` of table [section]: Empty when absent or an empty string; otherwise String,
  /// Long (LongLong beyond 32 bits), Double or Boolean, and the TOML text of anything else.
  Variant GetConfigValue(std::string& section, std::string& key) override;
  /// "[Table] Key" as the open store spells a key that matches [section] key only without regard
  /// to case; empty when the store has it exactly or not at all. Names are matched exactly, so
  /// such a key is never read: this is for telling the operator.
  std::string SpelledOtherwise(const std::string& section, const std::string& key) const;

  /// What contract_store::ReadContractConnection reads through the interface (null when no store
  /// exists), leaving the same store open. It is kept with each parsed version of the store, so
  /// that a call only reads the store's text; a failure is not kept.
  std::shared_ptr<const contract_store::ContractConnection> ReadContractConnection();

  std::string ClassName() const override { return kConfigurationName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;

 private:
  const Store& OpenedStore(std::string_view operation) const;
  /// The store parsed from `text`, the kept one when the text is the one parsed before; kept
  /// under `key` (the absolute path) with `stamp`, taken before the text was read.
  static std::shared_ptr<const Store> Parse(const std::string& store, const std::string& path,
                                            const std::string& key, std::string text,
                                            db::WatchStamp stamp);

  std::shared_ptr<const Store> store_;  // shared with the process-wide cache of parsed stores
};

}  // namespace carvalen::components
