// The call path the faces share: what reaches an operation, and what comes back as a usage error.
#include <gtest/gtest.h>

#include <string>

#include "api/call.hpp"
#include "support/example_calls.hpp"

namespace carvalen::api {
namespace {

struct UsageRow {
  const char* target;
  const char* arguments;
  const char* message_part;
};

TEST(Call, MistakesComeBackAsUsageDocuments) {
  const UsageRow rows[] = {
      {"ContractLine", "{}", "expected <Class>.<Operation>"},
      {"Nope.GetPrice", "{}", "unknown class \"Nope\""},
      {"ContractLine.Nope", "{}", "has no operation \"Nope\""},
      {"ContractLine.GetPrice", "[1]", "a JSON object of NAME: value"},
      {"ContractLine.GetPrice", "{", "bad JSON"},
      {"ContractLine.GetPrice", R"({"nope": 1})", "has no parameter \"nope\""},
      {"ContractLine.GetPrice", R"({"i_lContractHeaderID": 1})", "needs a value for"},
      {"ContractLine.GetPrice", R"({"i_lContractHeaderID": {"$bogus": 1}})", "$bogus"},
  };
  for (const UsageRow& row : rows) {
    SCOPED_TRACE(std::string(row.target) + " " + row.arguments);
    const CallOutcome outcome = CallWithJson(row.target, row.arguments);
    EXPECT_EQ(outcome.status, kCallUsage);
    const std::string message =
        api::Json::parse(outcome.text)["usageError"]["message"].get<std::string>();
    EXPECT_NE(message.find(row.message_part), std::string::npos) << message;
  }
}

// Names match without regard to case, the library prefix is optional, and an operation that
// runs and fails (no configuration store here) gives the error document, not a usage error.
TEST(Call, ResolvedCallsReachTheOperation) {
  const CallOutcome outcome =
      CallWithJson("carvalen.contractline.getprice",
                   R"({"I_LCONTRACTHEADERID": 1, "i_lContractLineID": 1, "i_fQuantity": 1.0})");
  EXPECT_EQ(outcome.status, kCallFailed);
  EXPECT_TRUE(api::Json::parse(outcome.text).contains("error")) << outcome.text;
}

// The example-call table is what the fault-injection, thread, pooler, C and Python runs and the
// reference call: an operation without a row would silently miss them all.
TEST(Call, EveryOperationHasAnExampleCall) {
  EXPECT_EQ(test::OperationsWithoutExample(), std::vector<std::string>{});
  for (const test::ExampleCall& call : test::ExampleCalls()) {
    EXPECT_TRUE(Json::accept(call.arguments)) << call.target << " " << call.arguments;
  }
}

}  // namespace
}  // namespace carvalen::api
