// The formatted description (its exact shape, INFO line included, in the nesting and GetComponent
// tests), nesting through the trap, and what reaches the log.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>

#include "carvalen/component.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/interfaces.hpp"
#include "frame/procedures.hpp"
#include "frame/reporter.hpp"
#include "support/client_test.hpp"
#include "support/contract_db.hpp"

namespace carvalen::frame {
namespace {

// Three levels: an inner procedure, a middle one and an outer one, each trapping.
void Level(int depth, int failing_depth) {
  Trap(
      "Level" + std::to_string(depth), false,
      [&] {
        if (depth == failing_depth) throw Error(1234, "Deep failure", "Origin");
        Level(depth + 1, failing_depth);
      },
      [] { return Variant::Missing(); });
}

TEST(HandleError, NestsOneHeaderAndOneLogEntryPerLevel) {
  test::LogRecorder log;
  try {
    Level(1, 3);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 1234);
    EXPECT_EQ(e.Source(), "Origin");
    const std::string inner = "\r\nERROR 0x4D2\r\n METHOD: Level3\r\n DESC: Deep failure.\r\n";
    const std::string middle = "\r\nERROR 0x4D2\r\n METHOD: Level2\r\n DESC: " + inner + ".\r\n";
    const std::string outer = "\r\nERROR 0x4D2\r\n METHOD: Level1\r\n DESC: " + middle + ".\r\n";
    EXPECT_EQ(e.Description(), outer);
    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].source, "Origin");
    EXPECT_EQ(entries[0].kind, 0);
    // The entry formats the already formatted description once more.
    EXPECT_EQ(entries[0].text, FormatErrorText(inner, 1234, "Level3"));
    EXPECT_EQ(entries[2].text, FormatErrorText(outer, 1234, "Level1"));
  }
  EXPECT_EQ(PendingError(), nullptr);
}

// No error vanishes; the description keeps the classic text, and what it leaves out reaches every
// level's log entry.
TEST(HandleError, LogsTheDiagnosticsTheDescriptionLeavesOut) {
  struct Case {
    const char* name;
    std::function<void()> fail;
    std::int32_t number;
    const char* description;
    ErrorDiagnostics diagnostics;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    test::LogRecorder log;
    const auto inner = [&] { Trap("Inner", false, c.fail, [] { return Variant::Missing(); }); };
    const Error e =
        test::CaptureError([&] { Trap("Outer", false, inner, [] { return Variant::Missing(); }); });
    EXPECT_EQ(e.Number(), c.number) << c.name;
    EXPECT_EQ(e.Description(),
              FormatErrorText(FormatErrorText(c.description, c.number, "Inner"), c.number, "Outer"))
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
  struct Case {
    const char* name;
    ComponentFactory factory;
  };
  const Case cases[] = {
      {"log call fails", [] { return ObjectPtr(std::make_shared<FailingLog>()); }},
      {"log lacks the interface", [] { return ObjectPtr(Dictionary::Create()); }},
  };
  for (const Case& c : cases) {
    ComponentOverride log(kLogName, c.factory);
    try {
      Level(1, 2);
      FAIL() << c.name;
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), 1234) << c.name;
      EXPECT_EQ(e.Description().rfind("\r\nERROR 0x4D2\r\n METHOD: Level1\r\n DESC: ", 0), 0u)
          << c.name;
    }
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
  struct Case {
    bool in_context, pending;
    std::string description;
  };
  const Case cases[] = {
      {false, false, header + " INFO: CreateObject(No.Such) failed.\r\n"},
      {true, false,
       header + " INFO: CreateInstance(No.Such) failed.\r\nNote: Objects having "
                "'Instancing=PublicNotCreatable' may only be instantiated with 'New', not with "
                "GetComponent().\r\n"},
      {false, true, "ActiveX component can't create object"},
  };
  for (const Case& c : cases) {
    test::LogRecorder log;
    const auto context = std::make_shared<Context>();
    std::optional<ObjectContextScope> scope;
    if (c.in_context) scope.emplace(context);
    std::optional<ErrorPath> path;
    if (c.pending) path.emplace(Error(1, "pending"));
    try {
      GetComponent("No.Such");
      ADD_FAILURE() << c.description;
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), 429);
      EXPECT_EQ(e.Description(), c.description);
    }
    EXPECT_EQ(log.Entries().size(), c.pending ? 0u : 1u);
    EXPECT_EQ(context->calls, c.in_context ? 2 : 0);  // the component, then the log
  }
}

}  // namespace
}  // namespace carvalen::frame
