// The C interface in-process: what a careless caller passes, and answers on both databases (the
// sanitizer builds run this too). Many threads through the shared call path are threads_test's;
// that each answer equals the tool's, from several C threads, is tests/capi/capi_check.c's, a C
// host run by scripts/ci-python.sh.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "api/call.hpp"
#include "carvalen/carvalen.h"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

struct Answer {
  int status;
  std::string json;
  bool operator==(const Answer&) const = default;
};

Answer Call(const char* target, const char* arguments) {
  char* json = nullptr;
  const int status = carvalen_call(target, arguments, &json);
  Answer answer{status, json != nullptr ? json : "(null)"};
  carvalen_free(json);
  return answer;
}

TEST(CInterface, CarelessInputIsAUsageErrorDocument) {
  const struct {
    const char *target, *arguments, *message;
  } cases[] = {
      {nullptr, "{}", "the target is <Class>.<Operation>, not NULL"},
      {"ContractLine.GetPrice", "[1]", "the arguments are a JSON object of NAME: value"},
      {"ContractLine", nullptr,
       R"(expected <Class>.<Operation>, e.g. ContractLine.GetPrice, not \"ContractLine\")"},
      {"ContractLine.GetPrice", "",
       "GetPrice needs a value for i_lContractHeaderID, i_lContractLineID, i_fQuantity"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Call(c.target, c.arguments),
              (Answer{CARVALEN_USAGE,
                      R"({"usageError": {"message": ")" + std::string(c.message) + "\"}}"}));
  }
  const Answer bad_json = Call("ContractLine.GetPrice", "{\"i_fQuantity\": ");
  EXPECT_EQ(bad_json.status, CARVALEN_USAGE);
  EXPECT_THAT(bad_json.json, ::testing::StartsWith(R"({"usageError": {"message": "bad JSON)"));
  // Nowhere to put a document: nothing runs.
  EXPECT_EQ(carvalen_call("ContractLine.GetPrice", "{}", nullptr), CARVALEN_USAGE);
  EXPECT_EQ(carvalen_operations(nullptr), CARVALEN_USAGE);
  carvalen_free(nullptr);
  char* operations = nullptr;
  EXPECT_EQ(carvalen_operations(&operations), CARVALEN_OK);
  EXPECT_EQ(std::string(operations != nullptr ? operations : ""), api::Dump(api::OperationsJson()));
  carvalen_free(operations);
}

class CInterfaceOnDatabase : public LineReadTest {
 protected:
  // The first C call loads the settings from the environment; make it before the fixture points
  // the configuration folder at its own store.
  static void SetUpTestSuite() { Call("ContractLine.GetPrice", nullptr); }
};

// Status and document as the shared call path gives them: an answer, the operation's own error
// (no such line) and a usage error.
TEST_P(CInterfaceOnDatabase, AnswersAsTheCallPathDoes) {
  db.Exec(
      "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
      "(1, 501, 10), (2, 502, 10)");
  const std::pair<const char*, const char*> calls[] = {
      {"Contract.ContractHeaderExists", R"({"i_lContractHeaderID": 2})"},
      {"ContractLine.GetPrice",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})"},
      {"ContractLine.GetPrice", R"({"i_lNoSuch": 1})"},
  };
  const int statuses[] = {CARVALEN_OK, CARVALEN_FAILED, CARVALEN_USAGE};
  for (int i = 0; i < 3; ++i) {
    const api::CallOutcome outcome = api::CallWithJson(calls[i].first, calls[i].second);
    EXPECT_EQ(Call(calls[i].first, calls[i].second), (Answer{statuses[i], outcome.text})) << i;
    EXPECT_EQ(outcome.status, statuses[i]) << i;
  }
  EXPECT_EQ(Call(calls[0].first, calls[0].second).json, R"({"result": true, "byref": {}})");
}

CARVALEN_ON_PROVIDERS(CInterfaceOnDatabase);

}  // namespace
}  // namespace carvalen::test
