#include "components/contract_store.hpp"

#include <memory>
#include <typeinfo>

#include "components/configuration.hpp"

namespace carvalen::contract_store {
namespace {

// A time-out in seconds from section CONNECTIONS; Empty converts to 0, no limit.
std::int32_t ReadTimeout(IConfiguration& configuration, const char* key) {
  std::string section = kTimeoutSection;
  std::string name = key;
  return configuration.GetConfigValue(section, name).ToLong();
}

}  // namespace

void ContractConnection::ApplyTo(db::Connection& connection) const {
  connection.ConnectionString = connection_string;
  connection.CommandTimeout = command_timeout;
  connection.ConnectionTimeout = connection_timeout;
}

std::optional<ContractConnection> ReadContractConnection(IConfiguration& configuration) {
  // The class is final, so comparing the type is enough, and cheaper than a cast's search.
  if (typeid(configuration) == typeid(components::Configuration)) {
    const std::shared_ptr<const ContractConnection> kept =
        static_cast<components::Configuration&>(configuration).ReadContractConnection();
    if (!kept) return std::nullopt;
    return *kept;
  }
  const char* store = nullptr;
  for (const char* candidate : kStores) {
    if (configuration.StoreExists(candidate)) {
      store = candidate;
      break;
    }
  }
  if (store == nullptr) return std::nullopt;
  configuration.OpenStore(store, 0);
  return ReadOpenStore(configuration);
}

ContractConnection ReadOpenStore(IConfiguration& configuration) {
  ContractConnection read;
  read.connection_string = configuration.GetConnectionString(kConnectionName);
  read.command_timeout = ReadTimeout(configuration, kCommandTimeoutKey);
  read.connection_timeout = ReadTimeout(configuration, kConnectionTimeoutKey);
  return read;
}

}  // namespace carvalen::contract_store
