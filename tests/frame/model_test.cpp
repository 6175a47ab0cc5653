// The public classes as callers see them: component factories, and late binding by name (creation
// by name in any case is what every call through the tool and the C interface does).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "model/dispatch.hpp"
#include "support/client_test.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

// A factory that fails gives 429, its own text kept for the log; an override gives the name back
// to what served it before.
TEST(CreateObject, WrapsAFailingFactoryAndOverridesRestoreTheEarlierOne) {
  const char* const kName = "Host.Widget";
  struct Case {
    const char* name;
    ComponentFactory factory;
    const char* message;
  };
  const Case cases[] = {
      {"foreign exception", []() -> ObjectPtr { throw std::runtime_error("licence expired"); },
       "licence expired"},
      {"library error", []() -> ObjectPtr { throw Error(5, "no such widget"); }, "no such widget"},
      {"nothing", [] { return ObjectPtr(); }, ""},
  };
  for (const Case& c : cases) {
    ComponentOverride failing(kName, c.factory);
    const Error e = test::CaptureError([&] { CreateObject(kName); });
    EXPECT_EQ(e.Info(), Error::Runtime(429).Info()) << c.name;
    EXPECT_EQ(e.NativeMessage(), c.message) << c.name;
  }
  RegisterComponent(kName, [] { return ObjectPtr(Dictionary::Create()); });
  {
    ComponentOverride outer(kName, cases[2].factory);
    { ComponentOverride inner(kName, cases[0].factory); }
    EXPECT_EQ(test::CaptureError([&] { CreateObject(kName); }).NativeMessage(), "");
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
  model::Bind("Call", &C::Call, {"i_lId"});
};
template <class C>
concept BindsWithTwoNames = requires {
  model::Bind("Call", &C::Call, {"i_lId", "o_sText"});
};
template <class C>
concept BindsWithThreeNames = requires {
  model::Bind("Call", &C::Call, {"i_lId", "o_sText", model::Optional("i_x")});
};
static_assert(BindsWithTwoNames<TwoParameters>);
static_assert(!BindsWithOneName<TwoParameters> && !BindsWithThreeNames<TwoParameters>);

TEST(LateBinding, RejectsBadCallsBeforeTheOperationRuns) {
  test::LogRecorder log;
  struct Case {
    const char* name;
    std::vector<Variant> args;
    std::int32_t number;
  };
  const Case cases[] = {
      {"GetContractLineCurrency", {Variant(1), Variant(1)}, 438},  // private to the class
      {"NoSuchOperation", {}, 438},
      {"GetContractLineNumber", {Variant(1), Variant(2)}, 450},
      {"GetContractLineNumber", {}, 449},
      {"GetContractLineNumber", {Variant("twelve")}, 13},
      {"GetPrice", {Variant(1), Variant(1), Variant("x"), Variant()}, 13},
  };
  ContractLine line;
  for (const Case& c : cases) {
    std::vector<Variant> args = c.args;
    try {
      line.Invoke(c.name, args);
      ADD_FAILURE() << c.name;
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), c.number) << c.name;
    }
  }
  EXPECT_TRUE(log.Entries().empty());  // nothing ran, so nothing was reported
}

}  // namespace
}  // namespace carvalen
