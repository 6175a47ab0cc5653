// Opening the contract database from the configuration stores, and the first operation on top.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "carvalen/component.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "frame/procedures.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

namespace fs = std::filesystem;

const std::string kNoStore =
    "The Contract Connection string is not available. Neither the Sourcing nor the Procurement "
    "Configuration Store could be found. Please check if these stores are available.";

// Replaces the stores of the fixture's configuration folder for one test.
void WriteStore(const std::string& dir, const std::string& store, const std::string& body) {
  std::ofstream(fs::path(dir) / (store + ".toml")) << body;
}

std::string Store(const std::string& connection_string, const std::string& command_timeout,
                  const std::string& connection_timeout) {
  std::string text = "[ConnectionStrings]\nEContract = '" + connection_string + "'\n";
  text += "[CONNECTIONS]\nEContractConnection_CommandTimeout = " + command_timeout + "\n";
  text += "EContractConnection_ConnectionTimeout = " + connection_timeout + "\n";
  return text;
}

class SourceConnection : public ::testing::TestWithParam<test::Provider> {};

TEST_P(SourceConnection, ReadsQuotationLine) {
  test::ContractDb db(GetParam());
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) "
      "VALUES (12, 3, 77)");
  const std::int64_t before = db::OpenConnectionCount();
  ContractLine line;
  Variant found = line.GetContractLineNumber(77);
  EXPECT_EQ(found, Variant(Array::Of({Variant(std::int32_t{12}), Variant(std::int32_t{3})})));
  Variant none = line.GetContractLineNumber(78);
  EXPECT_EQ(none, Variant(Array::Of({Variant(std::int16_t{0}), Variant(std::int16_t{0})})));
  EXPECT_EQ(db::OpenConnectionCount(), before);
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(SourceConnection, TakesVendraBeforeZandril) {
  test::ContractDb db(GetParam());
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) "
      "VALUES (1, 1, 5)");
  const std::string good = db.ConnectionString();
  const std::string bad = "Provider=SQLite;Data Source=/nonexistent/contracts.db";
  struct Case {
    const char* name;
    const char* vendra;  // null: no such store
    const char* zandril;
    bool succeeds;
  };
  const Case cases[] = {
      {"both: Vendra wins", "good", "bad", true},
      {"only Zandril", nullptr, "good", true},
      {"Vendra bad, Zandril good: Zandril never asked", "bad", "good", false},
  };
  for (const Case& c : cases) {
    fs::remove(fs::path(db.ConfigDir()) / "Vendra.toml");
    fs::remove(fs::path(db.ConfigDir()) / "Zandril.toml");
    auto pick = [&](const char* which) { return std::string(which) == "good" ? good : bad; };
    if (c.vendra) WriteStore(db.ConfigDir(), "Vendra", Store(pick(c.vendra), "\"30\"", "\"15\""));
    if (c.zandril) WriteStore(db.ConfigDir(), "Zandril", Store(pick(c.zandril), "30", "15"));
    ContractLine line;
    if (c.succeeds) {
      EXPECT_EQ(line.GetContractLineNumber(5).GetArray().At(0), Variant(std::int32_t{1})) << c.name;
    } else {
      EXPECT_THROW(line.GetContractLineNumber(5), Error) << c.name;
    }
  }
}

TEST_P(SourceConnection, EmptyTimeoutsMeanNoLimit) {
  test::ContractDb db(GetParam());
  WriteStore(db.ConfigDir(), "Vendra", Store(db.ConnectionString(), "\"\"", "\"\""));
  ContractLine line;
  EXPECT_NO_THROW(line.GetContractLineNumber(1));
}

TEST_P(SourceConnection, FailuresNestUnderTheOperation) {
  test::ContractDb db(GetParam());
  const std::string op = "\r\n METHOD: Carvalen.ContractLine.GetContractLineNumber\r\n DESC: ";
  const std::string gsc = "\r\n METHOD: EContractUtilities.GetSourceConnection\r\n DESC: ";
  struct Case {
    const char* name;
    std::string vendra;   // empty: remove the store
    std::int32_t number;  // 0: any driver number
    std::string inner;    // the innermost description, when fixed
  };
  const Case cases[] = {
      {"no store", "", errnum::kNoConfigurationStore, kNoStore},
      {"time-out is not a number", Store(db.ConnectionString(), "\"soon\"", "15"), 13,
       "Type mismatch"},
      {"unknown provider", Store("Provider=Oracle;Data Source=x", "1", "1"), 0, ""},
      {"missing database file", Store("Provider=SQLite;Data Source=/nonexistent/x.db", "1", "1"), 0,
       ""},
      {"unreachable server",
       Store("Provider=PostgreSQL;Host=/nonexistent;Port=1;Database=x;User ID=x", "1", "2"), 0, ""},
  };
  for (const Case& c : cases) {
    fs::remove(fs::path(db.ConfigDir()) / "Vendra.toml");
    if (!c.vendra.empty()) WriteStore(db.ConfigDir(), "Vendra", c.vendra);
    db.ClearLog();
    const std::int64_t before = db::OpenConnectionCount();
    try {
      ContractLine().GetContractLineNumber(1);
      ADD_FAILURE() << c.name;
    } catch (const Error& e) {
      const std::string& d = e.Description();
      if (c.number != 0) {
        EXPECT_EQ(e.Number(), c.number) << c.name;
      }
      // The operation's header encloses GetSourceConnection's, which encloses the message.
      EXPECT_NE(d.find(op + "\r\nERROR 0x"), std::string::npos) << c.name << d;
      EXPECT_NE(d.find(gsc), std::string::npos) << c.name << d;
      EXPECT_LT(d.find(op), d.find(gsc)) << c.name;
      if (!c.inner.empty()) {
        EXPECT_NE(d.find(gsc + c.inner + ".\r\n"), std::string::npos) << d;
      }
      if (c.number == errnum::kNoConfigurationStore) {
        EXPECT_EQ(e.Source(), "") << c.name;
      }
    }
    EXPECT_EQ(db.Log().size(), 2u) << c.name;
    EXPECT_EQ(db::OpenConnectionCount(), before) << c.name;
  }
}

TEST_P(SourceConnection, UnavailableConfigurationNestsThreeLevels) {
  test::ContractDb db(GetParam());
  ComponentOverride config(kConfigurationName, [] { return ObjectPtr(); });
  try {
    ContractLine().GetContractLineNumber(1);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), errnum::kCannotCreateObject);
    const std::string& d = e.Description();
    const auto op = d.find("METHOD: Carvalen.ContractLine.GetContractLineNumber");
    const auto gsc = d.find("METHOD: EContractUtilities.GetSourceConnection");
    const auto gc = d.find("METHOD: VendraUtilies.GetComponent");
    EXPECT_LT(op, gsc);
    EXPECT_LT(gsc, gc);
    EXPECT_NE(d.find(" INFO: CreateObject(Halvard.Configuration) failed.\r\n"), std::string::npos);
  }
  EXPECT_EQ(db.Log().size(), 3u);
}

TEST_P(SourceConnection, UnavailableUtilitiesNestsTwoLevels) {
  test::ContractDb db(GetParam());
  ComponentOverride utilities(kUtilitiesName, [] { return ObjectPtr(); });
  const std::int64_t before = db::OpenConnectionCount();
  EXPECT_THROW(ContractLine().GetContractLineNumber(1), Error);
  EXPECT_EQ(db.Log().size(), 2u);
  EXPECT_EQ(db::OpenConnectionCount(), before);
}

INSTANTIATE_TEST_SUITE_P(Providers, SourceConnection,
                         ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
