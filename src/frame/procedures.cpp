#include "frame/procedures.hpp"

#include <memory>
#include <optional>
#include <string>

#include "carvalen/component.hpp"
#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "components/contract_store.hpp"
#include "frame/reporter.hpp"

namespace carvalen::frame {
namespace {

Variant NoInfo() { return Variant::Missing(); }

// Closes a connection or record set if it is open and empties the reference, whatever happens.
template <class Handle>
void CloseAndEmpty(const char* name, std::shared_ptr<Handle>& handle) {
  Trap(
      name, true,
      [&] {
        if (handle && handle->State() == db::kStateOpen) handle->Close();
        handle.reset();
      },
      [&] {
        handle.reset();
        return NoInfo();
      });
}

}  // namespace

Variant GetComponent(std::string_view name) {
  return Trap(
      kGetComponentName, true,
      [&] {
        std::shared_ptr<ObjectContext> context = GetObjectContext();
        return Variant(context ? context->CreateInstance(name) : CreateObject(name));
      },
      [&] {
        if (GetObjectContext()) {
          return Variant(
              "CreateInstance(" + std::string(name) +
              ") failed.\r\nNote: Objects having 'Instancing=PublicNotCreatable' may only be "
              "instantiated with 'New', not with GetComponent()");
        }
        return Variant("CreateObject(" + std::string(name) + ") failed");
      });
}

db::ConnectionPtr GetSourceConnection() {
  std::shared_ptr<IConfiguration> config;
  db::ConnectionPtr connection;
  return Trap(
      kGetSourceConnectionName, true,
      [&] {
        config = GetComponent(kConfigurationName).As<IConfiguration>();
        const std::optional<contract_store::ContractConnection> read =
            contract_store::ReadContractConnection(*config);
        if (!read) {
          throw Error(ErrorInfo{errnum::kNoConfigurationStore, "",
                                "The Contract Connection string is not available."
                                " Neither the Sourcing nor the Procurement Configuration Store "
                                "could be found."
                                " Please check if these stores are available.",
                                "", 0});
        }
        connection = std::make_shared<db::Connection>();
        read->ApplyTo(*connection);
        connection->Open("", "", "", -1);
        static const std::string kIsolation = db::kReadCommittedCommand;  // not allocated each call
        connection->Execute(kIsolation, -1);
        config.reset();
        return std::move(connection);
      },
      [&] {
        config.reset();
        connection.reset();  // closes it if it got as far as opening
        return NoInfo();
      });
}

void CloseConnection(db::ConnectionPtr& connection) {
  CloseAndEmpty(kCloseConnectionName, connection);
}

void CloseRecordset(db::RecordsetPtr& recordset) { CloseAndEmpty(kCloseRecordsetName, recordset); }

}  // namespace carvalen::frame
