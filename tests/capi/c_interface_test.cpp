// The C interface in-process: what a careless caller passes, and answers on both databases (the
// sanitizer builds run this too). Many threads through the shared call path are threads_test's;
// that each answer equals the tool's, from several C threads, is tests/capi/capi_check.c's, a C
// host run by scripts/ci-python.sh.
#include <gtest/gtest.h>

#include <string>

#include "api/call.hpp"
#include "carvalen/carvalen.h"
#include "support/contract_db.hpp"
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

std::string Usage(const std::string& message) {
  return R"({"usageError": {"message": ")" + message + R"("}})";
}

TEST(CInterface, CarelessInputIsAUsageErrorDocument) {
  const struct {
    const char* target;
    const char* arguments;
    std::string json;
  } cases[] = {
      {nullptr, "{}", Usage("the target is <Class>.<Operation>, not NULL")},
      {"ContractLine.GetPrice", "[1]", Usage("the arguments are a JSON object of NAME: value")},
      {"ContractLine", nullptr,
       Usage(R"(expected <Class>.<Operation>, e.g. ContractLine.GetPrice, not \"ContractLine\")")},
      {"ContractLine.GetPrice", "",
       Usage("GetPrice needs a value for i_lContractHeaderID, "
             "i_lContractLineID, i_fQuantity")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Call(c.target, c.arguments), (Answer{CARVALEN_USAGE, c.json}))
        << (c.target != nullptr ? c.target : "NULL");
  }
  const Answer bad_json = Call("ContractLine.GetPrice", "{\"i_fQuantity\": ");
  EXPECT_EQ(bad_json.status, CARVALEN_USAGE);
  EXPECT_EQ(bad_json.json.rfind(R"({"usageError": {"message": "bad JSON)", 0), 0u) << bad_json.json;
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

  CInterfaceOnDatabase() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(1, 501, 10), (2, 502, 10)");
  }
};

// Status and document as the shared call path gives them: an answer, the operation's own error
// (no such line) and a usage error.
TEST_P(CInterfaceOnDatabase, AnswersAsTheCallPathDoes) {
  const std::pair<const char*, const char*> calls[] = {
      {"Contract.ContractHeaderExists", R"({"i_lContractHeaderID": 2})"},
      {"ContractLine.GetPrice",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})"},
      {"ContractLine.GetPrice", R"({"i_lNoSuch": 1})"},
  };
  for (const auto& [target, arguments] : calls) {
    const api::CallOutcome outcome = api::CallWithJson(target, arguments);
    EXPECT_EQ(Call(target, arguments), (Answer{outcome.status, outcome.text})) << target;
  }
  EXPECT_EQ(Call(calls[0].first, calls[0].second),
            (Answer{CARVALEN_OK, R"({"result": true, "byref": {}})"}));
  EXPECT_EQ(Call(calls[1].first, calls[1].second).status, CARVALEN_FAILED);
}

CARVALEN_ON_PROVIDERS(CInterfaceOnDatabase);

}  // namespace
}  // namespace carvalen::test
