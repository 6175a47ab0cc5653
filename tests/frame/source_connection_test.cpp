// Opening the contract database from the configuration stores, and the first operation on top.
// The fixture fails a test that leaves a connection open.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;

const std::string kNoStore =
    "The Contract Connection string is not available. Neither the Sourcing nor the Procurement "
    "Configuration Store could be found. Please check if these stores are available.";
const std::string kInsertLine =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) VALUES ";

// Replaces a store of the fixture's configuration folder for one test.
void WriteStore(const std::string& dir, const std::string& store, const std::string& body) {
  std::ofstream(fs::path(dir) / (store + ".toml")) << body;
}

// Removes the folder's stores; the next call must not answer from the stores kept in memory.
void RemoveStores(const std::string& dir) {
  fs::remove(fs::path(dir) / "Vendra.toml");
  fs::remove(fs::path(dir) / "Zandril.toml");
  carvalen::ForgetConfigurationStores();
}

std::string Store(const std::string& connection_string, const std::string& command_timeout,
                  const std::string& connection_timeout) {
  return "[ConnectionStrings]\nEContract = '" + connection_string +
         "'\n[CONNECTIONS]\nEContractConnection_CommandTimeout = " + command_timeout +
         "\nEContractConnection_ConnectionTimeout = " + connection_timeout + "\n";
}

using SourceConnection = LineReadTest;

TEST_P(SourceConnection, ReadsQuotationLine) {
  db.Exec(kInsertLine + "(12, 3, 77)");
  ContractLine line;
  EXPECT_EQ(line.GetContractLineNumber(77), Variant(Array::Of({Variant(12), Variant(3)})));
  // No line: two Integer zeros.
  EXPECT_EQ(line.GetContractLineNumber(78),
            Variant(Array::Of({Variant(std::int16_t{0}), Variant(std::int16_t{0})})));
  EXPECT_TRUE(db.Log().empty());
}

// Each level a failure passes through puts its header around the description and writes one
// log entry.
TEST_P(SourceConnection, FailuresNestUnderTheOperation) {
  const std::string op = "Carvalen.ContractLine.GetContractLineNumber",
                    gsc = " > EContractUtilities.GetSourceConnection",
                    gc = " > VendraUtilies.GetComponent",
                    good = Store(db.ConnectionString(), "30", "15"),
                    no_object = "ActiveX component can't create object.\r\n INFO: CreateObject(";
  // A host's configuration that fails with number 0, which would otherwise read as no error.
  struct FailingConfiguration : IConfiguration {
    std::string ClassName() const override { return kConfigurationName; }
    bool StoreExists(const std::string&) override { throw Error(0, "store service down"); }
    void OpenStore(const std::string&, std::int32_t) override {}
    std::string GetConnectionString(const std::string&) override { return {}; }
    Variant GetConfigValue(std::string&, std::string&) override { return {}; }
  };
  const ComponentFactory missing = [] { return ObjectPtr(); };
  struct Case {
    const char* name;
    std::string vendra;        // the store; empty: none
    const char* component;     // one that the factory below replaces
    ComponentFactory factory;  // (null: none)
    std::int32_t number;       // 0: the driver's
    std::string levels;        // the METHOD of each header, outermost first
    std::string inner;         // the innermost description, when fixed
  };
  const Case cases[] = {
      {"no store", "", nullptr, nullptr, errnum::kNoConfigurationStore, op + gsc, kNoStore},
      {"time-out is not a number", Store(db.ConnectionString(), "\"soon\"", "15"), nullptr, nullptr,
       13, op + gsc, "Type mismatch"},
      {"unknown provider", Store("Provider=Oracle;Data Source=x", "1", "1"), nullptr, nullptr, 0,
       op + gsc, ""},
      {"no configuration component", good, kConfigurationName, missing, errnum::kCannotCreateObject,
       op + gsc + gc, no_object + kConfigurationName + ") failed"},
      {"no utilities component", good, kUtilitiesName, missing, errnum::kCannotCreateObject,
       op + gc, no_object + kUtilitiesName + ") failed"},
      {"configuration fails with number 0", good, kConfigurationName,
       [] { return ObjectPtr(std::make_shared<FailingConfiguration>()); }, 51, op + gsc,
       "Internal error"},
  };
  for (const Case& c : cases) {
    RemoveStores(db.ConfigDir());
    if (!c.vendra.empty()) WriteStore(db.ConfigDir(), "Vendra", c.vendra);
    std::optional<ComponentOverride> replaced;
    if (c.component) replaced.emplace(c.component, c.factory);
    db.ClearLog();
    const ErrorInfo e = RaisedBy([] { ContractLine().GetContractLineNumber(1); });
    const std::string& d = e.Description;
    if (c.number != 0) {
      EXPECT_EQ(e.Number, c.number) << c.name;
    }
    std::string levels;
    std::size_t depth = 0;
    for (auto at = d.find(" METHOD: "); at != std::string::npos; at = d.find(" METHOD: ", at + 1)) {
      levels += (depth++ == 0 ? "" : " > ") + d.substr(at + 9, d.find("\r\n", at) - at - 9);
    }
    EXPECT_EQ(levels, c.levels) << c.name << d;
    EXPECT_EQ(db.Log().size(), depth) << c.name;
    if (!c.inner.empty()) {
      EXPECT_NE(d.find("\r\n DESC: " + c.inner + ".\r\n"), std::string::npos) << c.name << d;
    }
    if (c.number == errnum::kNoConfigurationStore) {
      EXPECT_EQ(e.Source, "");
    }
  }
}

CARVALEN_ON_PROVIDERS(SourceConnection);

}  // namespace
}  // namespace carvalen::test
