// The frame the operations run in: component factories and late binding by name (creation by name
// in any case is what every call through the tool and the C interface does), the formatted
// description (its exact shape, INFO line included, in the nesting and GetComponent tests) and
// what reaches the log, and opening the contract database from the configuration stores.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/interfaces.hpp"
#include "components/configuration.hpp"
#include "frame/procedures.hpp"
#include "frame/reporter.hpp"
#include "support/operation_test.hpp"
#include "value/binding.hpp"

namespace carvalen::frame {
namespace {

using test::CaptureError;

// A factory that fails gives 429, its own text kept for the log; an override gives the name back
// to what served it before.
TEST(CreateObject, WrapsAFailingFactoryAndOverridesRestoreTheEarlierOne) {
  const char* const kName = "Host.Widget";
  const struct {
    const char* name;
    ComponentFactory factory;
    const char* message;
  } cases[] = {
      {"foreign exception", []() -> ObjectPtr { throw std::runtime_error("licence expired"); },
       "licence expired"},
      {"library error", []() -> ObjectPtr { throw Error(5, "no such widget"); }, "no such widget"},
      {"nothing", [] { return ObjectPtr(); }, ""},
  };
  for (const auto& c : cases) {
    ComponentOverride failing(kName, c.factory);
    const Error e = CaptureError([&] { CreateObject(kName); });
    EXPECT_EQ(e.Info(), Error::Runtime(429).Info()) << c.name;
    EXPECT_EQ(e.NativeMessage(), c.message) << c.name;
  }
  RegisterComponent(kName, [] { return ObjectPtr(Dictionary::Create()); });
  {
    ComponentOverride outer(kName, cases[2].factory);
    { ComponentOverride inner(kName, cases[0].factory); }
    EXPECT_EQ(CaptureError([&] { CreateObject(kName); }).NativeMessage(), "");
  }
  EXPECT_EQ(CreateObject(kName)->ClassName(), "Dictionary");
  UnregisterComponent(kName);
  EXPECT_THROW(CreateObject(kName), Error);
}

// A parameter list of the wrong length is a compile-time error: the invoker converts one argument
// per member parameter and would read past a shorter list.
struct TwoParameters : Object {
  std::string ClassName() const override { return "TwoParameters"; }
  double Call(std::int32_t, std::string&) { return 0; }
};
template <class C>
concept BindsWithOneName = requires {
  binding::Bind("Call", &C::Call, {"i_lId"});
};
template <class C>
concept BindsWithTwoNames = requires {
  binding::Bind("Call", &C::Call, {"i_lId", "o_sText"});
};
template <class C>
concept BindsWithThreeNames = requires {
  binding::Bind("Call", &C::Call, {"i_lId", "o_sText", binding::Optional("i_x")});
};
static_assert(BindsWithTwoNames<TwoParameters>);
static_assert(!BindsWithOneName<TwoParameters> && !BindsWithThreeNames<TwoParameters>);

TEST(LateBinding, RejectsBadCallsBeforeTheOperationRuns) {
  test::LogRecorder log;
  const struct {
    const char* name;
    std::vector<Variant> args;
    std::int32_t number;
  } cases[] = {
      {"GetContractLineCurrency", {Variant(1), Variant(1)}, 438},  // private to the class
      {"NoSuchOperation", {}, 438},
      {"GetContractLineNumber", {Variant(1), Variant(2)}, 450},
      {"GetContractLineNumber", {}, 449},
      {"GetContractLineNumber", {Variant("twelve")}, 13},
      {"GetPrice", {Variant(1), Variant(1), Variant("x"), Variant()}, 13},
  };
  ContractLine line;
  for (const auto& c : cases) {
    std::vector<Variant> args = c.args;
    EXPECT_EQ(CaptureError([&] { line.Invoke(c.name, args); }).Number(), c.number) << c.name;
  }
  EXPECT_TRUE(log.Entries().empty());  // nothing ran, so nothing was reported
}

// Levels `depth` to `failing_depth`, each trapping; the deepest fails with `fail`.
void Level(int depth, int failing_depth, const std::function<void()>& fail) {
  Trap(
      "Level" + std::to_string(depth), false,
      [&] { depth == failing_depth ? fail() : Level(depth + 1, failing_depth, fail); },
      [] { return Variant::Missing(); });
}
void Level(int depth, int failing_depth) {
  Level(depth, failing_depth, [] { throw Error(1234, "Deep failure", "Origin"); });
}

TEST(HandleError, NestsOneHeaderAndOneLogEntryPerLevel) {
  test::LogRecorder log;
  const Error e = CaptureError([] { Level(1, 3); });
  EXPECT_EQ(e.Number(), 1234);
  EXPECT_EQ(e.Source(), "Origin");
  const std::string inner = "\r\nERROR 0x4D2\r\n METHOD: Level3\r\n DESC: Deep failure.\r\n";
  const std::string middle = "\r\nERROR 0x4D2\r\n METHOD: Level2\r\n DESC: " + inner + ".\r\n";
  const std::string outer = "\r\nERROR 0x4D2\r\n METHOD: Level1\r\n DESC: " + middle + ".\r\n";
  EXPECT_EQ(e.Description(), outer);
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "Origin");
  EXPECT_EQ(entries[0].kind, 0);
  // The entry formats the already formatted description once more.
  EXPECT_EQ(entries[0].text, FormatErrorText(inner, 1234, "Level3"));
  EXPECT_EQ(entries[2].text, FormatErrorText(outer, 1234, "Level1"));
  EXPECT_EQ(PendingError(), nullptr);
}

// No error vanishes; the description keeps the classic text, and what it leaves out reaches every
// level's log entry.
TEST(HandleError, LogsTheDiagnosticsTheDescriptionLeavesOut) {
  const struct {
    const char* name;
    std::function<void()> fail;
    std::int32_t number;
    const char* description;
    ErrorDiagnostics diagnostics;
  } cases[] = {
      {"foreign exception",
       [] { throw std::runtime_error("store service down: ECONNREFUSED"); },
       51,
       "Internal error",
       {"", "store service down: ECONNREFUSED", ""}},
      {"driver error",
       [] {
         throw Error(1, "no such table: X", "SQLite")
             .WithNative("SQLITE_ERROR", "SELECT A FROM X")
             .WithMessage("no such table: X");
       },
       1,
       "no such table: X",
       {"SQLITE_ERROR", "no such table: X", "SELECT A FROM X"}},
  };
  for (const auto& c : cases) {
    test::LogRecorder log;
    const Error e = CaptureError([&] { Level(1, 2, c.fail); });
    EXPECT_EQ(e.Number(), c.number) << c.name;
    EXPECT_EQ(e.Description(), FormatErrorText(FormatErrorText(c.description, c.number, "Level2"),
                                               c.number, "Level1"))
        << c.name;
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 2u) << c.name;
    for (const auto& entry : entries) EXPECT_EQ(entry.diagnostics, c.diagnostics) << c.name;
  }
}

class FailingLog : public ILog {
 public:
  std::string ClassName() const override { return "Halvard.Log"; }
  Variant WriteLogEntry(std::string&, std::string&, std::int32_t&) override {
    throw Error(77, "disk full");
  }
};

TEST(HandleError, SwallowsLogFailures) {
  const std::pair<const char*, ComponentFactory> cases[] = {
      {"log call fails", [] { return ObjectPtr(std::make_shared<FailingLog>()); }},
      {"log lacks the interface", [] { return ObjectPtr(Dictionary::Create()); }},
  };
  for (const auto& [name, factory] : cases) {
    ComponentOverride log(kLogName, factory);
    const Error e = CaptureError([] { Level(1, 2); });
    EXPECT_EQ(e.Number(), 1234) << name;
    EXPECT_TRUE(e.Description().starts_with("\r\nERROR 0x4D2\r\n METHOD: Level1\r\n DESC: "))
        << name;
  }
}

// A failed creation is reported once, saying what was tried; called on an error path, it goes
// straight back, unformatted and unlogged. Inside an object context the context creates them.
TEST(GetComponent, ReportsCreationFailureWithInfo) {
  struct Context : ObjectContext {
    int calls = 0;
    ObjectPtr CreateInstance(std::string_view name) override {
      ++calls;
      return CreateObject(name);
    }
  };
  const std::string header =
      "\r\nERROR 0x1AD\r\n METHOD: VendraUtilies.GetComponent\r\n DESC: ActiveX component can't "
      "create object.\r\n";
  const struct {
    bool in_context, pending;
    std::string description;
  } cases[] = {
      {false, false, header + " INFO: CreateObject(No.Such) failed.\r\n"},
      {true, false,
       header + " INFO: CreateInstance(No.Such) failed.\r\nNote: Objects having "
                "'Instancing=PublicNotCreatable' may only be instantiated with 'New', not with "
                "GetComponent().\r\n"},
      {false, true, "ActiveX component can't create object"},
  };
  for (const auto& c : cases) {
    test::LogRecorder log;
    const auto context = std::make_shared<Context>();
    std::optional<ObjectContextScope> scope;
    if (c.in_context) scope.emplace(context);
    std::optional<ErrorPath> path;
    if (c.pending) path.emplace(Error(1, "pending"));
    const Error e = CaptureError([] { GetComponent("No.Such"); });
    EXPECT_EQ(e.Number(), 429);
    EXPECT_EQ(e.Description(), c.description);
    EXPECT_EQ(log.Entries().size(), c.pending ? 0u : 1u);
    EXPECT_EQ(context->calls, c.in_context ? 2 : 0);  // the component, then the log
  }
}

// The fixture fails a test that leaves a connection open.
using SourceConnection = test::LineReadTest;

std::string Store(const std::string& connection_string, const std::string& command_timeout,
                  const std::string& connection_timeout) {
  return "[ConnectionStrings]\nEContract = '" + connection_string +
         "'\n[CONNECTIONS]\nEContractConnection_CommandTimeout = " + command_timeout +
         "\nEContractConnection_ConnectionTimeout = " + connection_timeout + "\n";
}

TEST_P(SourceConnection, ReadsQuotationLine) {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) VALUES "
      "(12, 3, 77)");
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
  const struct {
    const char* name;
    std::string vendra;        // the store; empty: none
    const char* component;     // one that the factory below replaces
    ComponentFactory factory;  // (null: none)
    std::int32_t number;       // 0: the driver's
    std::string levels;        // the METHOD of each header, outermost first
    std::string inner;         // the innermost description, when fixed
  } cases[] = {
      {"no store", "", nullptr, nullptr, errnum::kNoConfigurationStore, op + gsc,
       "The Contract Connection string is not available. Neither the Sourcing nor the "
       "Procurement Configuration Store could be found. Please check if these stores are "
       "available."},
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
  const std::filesystem::path dir = db.ConfigDir();
  for (const auto& c : cases) {
    // The next call must not answer from the stores kept in memory.
    std::filesystem::remove(dir / "Vendra.toml");
    std::filesystem::remove(dir / "Zandril.toml");
    carvalen::ForgetConfigurationStores();
    if (!c.vendra.empty()) std::ofstream(dir / "Vendra.toml") << c.vendra;
    std::optional<ComponentOverride> replaced;
    if (c.component) replaced.emplace(c.component, c.factory);
    db.ClearLog();
    const ErrorInfo e = test::RaisedBy([] { ContractLine().GetContractLineNumber(1); });
    const std::string& d = e.Description;
    if (c.number != 0) {
      EXPECT_EQ(e.Number, c.number) << c.name;
    }
    EXPECT_EQ(test::ReportedLevels(d), c.levels) << c.name << d;
    EXPECT_EQ(db.Log().size(), test::ReportCount(d)) << c.name;
    if (!c.inner.empty()) {
      EXPECT_NE(d.find("\r\n DESC: " + c.inner + ".\r\n"), std::string::npos) << c.name << d;
    }
    if (c.number == errnum::kNoConfigurationStore) {
      EXPECT_EQ(e.Source, "") << c.name;
    }
  }
}

CARVALEN_ON_PROVIDERS(SourceConnection);

}  // namespace
}  // namespace carvalen::frame
