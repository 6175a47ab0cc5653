// The frame operations run in: factories, late binding, error reports and the source connection.

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
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

// A parameter list of another length does not compile: the invoker would read past a short one.
struct TwoParameters : Object {
  std::string ClassName() const override { return "TwoParameters"; }
  double Call(std::int32_t, std::string&) { return 0; }
};
template <class C, std::size_t N>
concept BindsWith = requires(const binding::Param (&names)[N]) {
  binding::Bind("Call", &C::Call, names);
};
static_assert(BindsWith<TwoParameters, 2> && !BindsWith<TwoParameters, 1> &&
              !BindsWith<TwoParameters, 3>);

// A failing factory gives 429, its text kept for the log; an override ends restoring the earlier.
TEST(CreateObject, WrapsFailingFactoriesRestoresOverridesAndBindsLate) {
  const char* const kName = "Host.Widget";
  const std::tuple<const char*, ComponentFactory, const char*> cases[] = {
      {"foreign exception", []() -> ObjectPtr { throw std::runtime_error("licence expired"); },
       "licence expired"},
      {"library error", []() -> ObjectPtr { throw Error(5, "no such widget"); }, "no such widget"},
      {"nothing", [] { return ObjectPtr(); }, ""},
  };
  for (const auto& [name, factory, message] : cases) {
    ComponentOverride failing(kName, factory);
    const Error e = CaptureError([&] { CreateObject(kName); });
    EXPECT_EQ(e.Info(), Error::Runtime(429).Info()) << name;
    EXPECT_EQ(e.NativeMessage(), message) << name;
  }
  RegisterComponent(kName, [] { return ObjectPtr(Dictionary::Create()); });
  {
    ComponentOverride outer(kName, std::get<1>(cases[2]));
    { ComponentOverride inner(kName, std::get<1>(cases[0])); }
    EXPECT_EQ(CaptureError([&] { CreateObject(kName); }).NativeMessage(), "");
  }
  EXPECT_EQ(CreateObject(kName)->ClassName(), "Dictionary");
  UnregisterComponent(kName);
  EXPECT_THROW(CreateObject(kName), Error);
  // A method private to the class, arguments that do not convert (names, counts: Utilities test).
  test::LogRecorder log;
  std::vector<Variant> hidden{Variant(1), Variant(1)};
  std::vector<Variant> typed{Variant(1), Variant(1), Variant("x"), Variant()};
  ContractLine line;
  EXPECT_EQ(CaptureError([&] { line.Invoke("GetContractLineCurrency", hidden); }).Number(), 438);
  EXPECT_EQ(CaptureError([&] { line.Invoke("GetPrice", typed); }).Number(), 13);
  EXPECT_TRUE(log.Entries().empty());  // nothing ran, so nothing was reported
}

// Levels `depth` to `failing_depth`, each trapping; the deepest fails with `fail`.
void Level(int depth, int failing_depth, const std::function<void()>& fail) {
  Trap(
      "Level" + std::to_string(depth), false,
      [&] { depth == failing_depth ? fail() : Level(depth + 1, failing_depth, fail); },
      [] { return Variant::Missing(); });
}

class FailingLog : public ILog {
 public:
  std::string ClassName() const override { return "Halvard.Log"; }
  Variant WriteLogEntry(std::string&, std::string&, std::int32_t&) override {
    throw Error(77, "disk full");
  }
};

TEST(HandleError, NestsKeepsDiagnosticsSwallowsLogFailuresAndReportsFailedCreation) {
  test::LogRecorder log;
  const std::string inner = "\r\nERROR 0x4D2\r\n METHOD: Level3\r\n DESC: Deep failure.\r\n";
  const std::string middle = "\r\nERROR 0x4D2\r\n METHOD: Level2\r\n DESC: " + inner + ".\r\n";
  const std::string outer = "\r\nERROR 0x4D2\r\n METHOD: Level1\r\n DESC: " + middle + ".\r\n";
  const std::function<void()> deep = [] { throw Error(1234, "Deep failure", "Origin"); };
  EXPECT_EQ(CaptureError([&] { Level(1, 3, deep); }).Info(),
            (ErrorInfo{1234, "Origin", outer, "", 0}));
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[0].source == "Origin" && entries[0].kind == 0);
  // The entry formats the already formatted description once more.
  EXPECT_EQ(entries[0].text, FormatErrorText(inner, 1234, "Level3"));
  EXPECT_EQ(entries[2].text, FormatErrorText(outer, 1234, "Level1"));
  EXPECT_EQ(PendingError(), nullptr);
  // The description keeps the classic text, the rest reaches each log entry; a log that fails or
  // lacks the interface changes nothing.
  const Error driver = Error(1, "no such table: X", "SQLite")
                           .WithNative("SQLITE_ERROR", "SELECT A FROM X")
                           .WithMessage("no such table: X");
  const char* const down = "store service down: ECONNREFUSED";
  const std::tuple<const char*, std::function<void()>, std::int32_t, const char*, ErrorDiagnostics,
                   ComponentFactory>
      diagnosed[] = {
          {"foreign exception", [&] { throw std::runtime_error(down); }, 51, "Internal error",
           ErrorDiagnostics{"", down, "", ""}, nullptr},
          {"driver error", [&] { throw driver; }, 1, "no such table: X",
           ErrorDiagnostics{"SQLITE_ERROR", "no such table: X", "SELECT A FROM X", ""}, nullptr},
          {"log call fails", deep, 1234, "Deep failure", ErrorDiagnostics(),
           [] { return ObjectPtr(std::make_shared<FailingLog>()); }},
          {"log lacks the interface", deep, 1234, "Deep failure", ErrorDiagnostics(),
           [] { return ObjectPtr(Dictionary::Create()); }},
      };
  for (const auto& [name, fail, number, description, diagnostics, other_log] : diagnosed) {
    test::LogRecorder log;
    std::optional<ComponentOverride> replaced;
    if (other_log) replaced.emplace(kLogName, other_log);
    const Error e = CaptureError([&f = fail] { Level(1, 2, f); });
    EXPECT_EQ(e.Number(), number) << name;
    EXPECT_EQ(e.Description(),
              FormatErrorText(FormatErrorText(description, number, "Level2"), number, "Level1"))
        << name;
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), other_log ? 0u : 2u) << name;
    for (const auto& entry : entries) EXPECT_EQ(entry.diagnostics, diagnostics) << name;
  }
  // A failed creation is reported once saying what was tried, raw on an error path, in any context.
  struct Context : ObjectContext {
    int calls = 0;
    ObjectPtr CreateInstance(std::string_view name) override {
      ++calls;
      return CreateObject(name);
    }
  };
  const std::string header =
      test::Reported(429, "VendraUtilies.GetComponent", "ActiveX component can't create object");
  const std::tuple<bool, bool, std::string> contexts[] = {
      {false, false, header + " INFO: CreateObject(No.Such) failed.\r\n"},
      {true, false,
       header + " INFO: CreateInstance(No.Such) failed.\r\nNote: Objects having "
                "'Instancing=PublicNotCreatable' may only be instantiated with 'New', not with "
                "GetComponent().\r\n"},
      {false, true, "ActiveX component can't create object"},
  };
  for (const auto& [in_context, pending, description] : contexts) {
    test::LogRecorder log;
    const auto context = std::make_shared<Context>();
    std::optional<ObjectContextScope> scope;
    if (in_context) scope.emplace(context);
    std::optional<ErrorPath> path;
    if (pending) path.emplace(Error(1, "pending"));
    const Error e = CaptureError([] { GetComponent("No.Such"); });
    EXPECT_TRUE(e.Number() == 429 && e.Description() == description) << e.Description();
    EXPECT_EQ(log.Entries().size(), pending ? 0u : 1u);
    EXPECT_EQ(context->calls, in_context ? 2 : 0);  // the component, then the log
  }
}

// The fixture fails a test that leaves a connection open.
using SourceConnection = test::LineReadTest;

TEST_P(SourceConnection, ReadsQuotationLineAndFailuresNestUnderTheOperation) {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID) VALUES "
      "(12, 3, 77)");
  ContractLine line;
  EXPECT_EQ(line.GetContractLineNumber(77), Variant(Array::Of({Variant(12), Variant(3)})));
  EXPECT_EQ(line.GetContractLineNumber(78),
            Variant(Array::Of({Variant(std::int16_t{0}), Variant(std::int16_t{0})})));
  EXPECT_TRUE(db.Log().empty());
  // Each level a failure passes puts its header around the description and writes one log entry.
  const std::string op = "Carvalen.ContractLine.GetContractLineNumber",
                    gsc = " > EContractUtilities.GetSourceConnection",
                    gc = " > VendraUtilies.GetComponent",
                    good = "[ConnectionStrings]\nEContract = '" + db.ConnectionString() + "'\n",
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
  // Each case: its name, the store (empty: none), a component (or none) and the factory put in its
  // place, the number, each header's METHOD outermost first, the innermost text.
  const std::tuple<const char*, std::string, const char*, ComponentFactory, std::int32_t,
                   std::string, std::string>
      cases[] = {
          {"no store", "", nullptr, nullptr, errnum::kNoConfigurationStore, op + gsc,
           "The Contract Connection string is not available. Neither the Sourcing nor the "
           "Procurement Configuration Store could be found. Please check if these stores are "
           "available."},
          {"no configuration component", good, kConfigurationName, missing,
           errnum::kCannotCreateObject, op + gsc + gc, no_object + kConfigurationName + ") failed"},
          {"no utilities component", good, kUtilitiesName, missing, errnum::kCannotCreateObject,
           op + gc, no_object + kUtilitiesName + ") failed"},
          {"configuration fails with number 0", good, kConfigurationName,
           [] { return ObjectPtr(std::make_shared<FailingConfiguration>()); }, 51, op + gsc,
           "Internal error"},
      };
  const std::filesystem::path dir = db.ConfigDir();
  for (const auto& [name, vendra, component, factory, number, levels, inner] : cases) {
    // The next call must not answer from the stores kept in memory.
    for (const char* store : {"Vendra.toml", "Zandril.toml"}) std::filesystem::remove(dir / store);
    carvalen::ForgetConfigurationStores();
    if (!vendra.empty()) std::ofstream(dir / "Vendra.toml") << vendra;
    std::optional<ComponentOverride> replaced;
    if (component) replaced.emplace(component, factory);
    db.ClearLog();
    const ErrorInfo e = test::RaisedBy([] { ContractLine().GetContractLineNumber(1); });
    const std::string& d = e.Description;
    EXPECT_EQ(e.Number, number) << name;
    EXPECT_EQ(test::ReportedLevels(d), levels) << name << d;
    EXPECT_EQ(db.Log().size(), test::ReportCount(d)) << name;
    EXPECT_NE(d.find("\r\n DESC: " + inner + ".\r\n"), std::string::npos) << name << d;
    EXPECT_TRUE(number != errnum::kNoConfigurationStore || e.Source.empty()) << name;
  }
}

CARVALEN_ON_PROVIDERS(SourceConnection);

}  // namespace
}  // namespace carvalen::frame
