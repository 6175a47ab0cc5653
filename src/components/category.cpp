#include "components/category.hpp"

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "components/component_error.hpp"
#include "components/contract_store.hpp"
#include "components/defaults.hpp"
#include "db/client.hpp"
#include "value/binding.hpp"

namespace carvalen::components {

namespace {

using contract_store::kStores;

// The same stores, connection and time-outs the library itself reads the contract database with,
// through the component factory so that a host's own configuration is honoured.
contract_store::ContractConnection ContractSource() {
  const auto configuration = Variant(CreateObject(kConfigurationName)).As<IConfiguration>();
  std::optional<contract_store::ContractConnection> read =
      contract_store::ReadContractConnection(*configuration);
  if (!read) {
    throw Error(errnum::kNoConfigurationStore,
                fmt::format("The category settings cannot be read: neither the configuration "
                            "store '{}' nor '{}' exists",
                            kStores[0], kStores[1]),
                kCategoryName);
  }
  return *std::move(read);
}

// Closes whatever is still open when the query leaves early. On the normal path both are closed
// explicitly first, so that a failing close is reported there; here failures are dropped, since
// another error is already on its way out.
class CloseOnExit {
 public:
  CloseOnExit(db::ConnectionPtr connection, db::RecordsetPtr records)
      : connection_(std::move(connection)), records_(std::move(records)) {}
  ~CloseOnExit() {
    try {
      if (records_->State() == db::kStateOpen) records_->Close();
    } catch (...) {
    }
    try {
      if (connection_->State() == db::kStateOpen) connection_->Close();
    } catch (...) {
    }
  }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  db::ConnectionPtr connection_;
  db::RecordsetPtr records_;
};

// Every setting of the category, by field name; the first row wins should a name repeat.
std::unordered_map<std::string, Variant> ReadSettings(std::int32_t category_id) {
  const contract_store::ContractConnection source = ContractSource();
  auto connection = std::make_shared<db::Connection>();
  auto records = db::Recordset::Create();
  CloseOnExit guard(connection, records);

  source.ApplyTo(*connection);
  connection->Open();
  // The id is a number written by us, never text from the caller.
  records->Open("SELECT FIELDNAME,FIELDVALUE FROM CATEGORYSETTING WHERE CATEGORYID = " +
                    std::to_string(category_id),
                connection, db::CursorType::ForwardOnly, db::LockType::ReadOnly);

  std::unordered_map<std::string, Variant> found;
  for (; !records->Eof(); records->MoveNext()) {
    const Variant name = records->Field("FIELDNAME");
    if (name.IsNull()) continue;  // a row without a name answers no question
    found.try_emplace(name.ToString(), records->Field("FIELDVALUE"));
  }
  records->Close();
  connection->Close();
  return found;
}

}  // namespace

DictionaryPtr Category::GetCategoryFields(std::int32_t& category_id, const Array& fields) {
  if (fields.Dimensions() != 1) throw Error::Runtime(errnum::kTypeMismatch);
  // Names that do not convert fail before the database is touched.
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(fields.Size()));
  for (std::int32_t i = fields.LBound(); i <= fields.UBound(); ++i) {
    names.push_back(fields.At(i).ToString());
  }

  const auto settings = ReadSettings(category_id);
  auto answer = Dictionary::Create();
  for (std::string& name : names) {
    const auto found = settings.find(name);
    if (found == settings.end()) continue;
    Variant key(std::move(name));
    // A name asked twice is answered once.
    if (!answer->Exists(key)) answer->Add(std::move(key), found->second);
  }
  return answer;
}

Variant Category::Invoke(std::string_view name, std::span<Variant> args) {
  static const std::vector<binding::MethodInfo> kMethods = {
      binding::Bind("GetCategoryFields", &Category::GetCategoryFields, {"category_id", "fields"}),
  };
  return binding::InvokeByName(kMethods, *this, name, args);
}

ObjectPtr NewCategory() { return std::make_shared<Category>(); }

}  // namespace carvalen::components
