// The C interface in-process: what a careless caller passes, and many threads at once (the
// sanitizer builds run this too). That each answer equals the tool's is checked by
// tests/capi/capi_check.c, a C host run by scripts/ci-python.sh.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

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

TEST_P(CInterfaceOnDatabase, ThreadsCallingAtOnceGetTheAnswersOfOne) {
  const std::vector<std::pair<const char*, const char*>> calls = {
      {"Contract.ContractHeaderExists", R"({"i_lContractHeaderID": 2})"},
      {"Contract.GetContractHeader", R"({"i_lCategoryId": 10})"},
      // No such line: the operation's error document, status 1.
      {"ContractLine.GetPrice",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})"},
      {"ContractLine.GetPrice", R"({"i_lNoSuch": 1})"},
  };
  std::vector<Answer> expected;
  for (const auto& call : calls) expected.push_back(Call(call.first, call.second));
  EXPECT_EQ(expected[0], (Answer{CARVALEN_OK, R"({"result": true, "byref": {}})"}));
  EXPECT_EQ(expected[2].status, CARVALEN_FAILED);

  constexpr int kThreads = 8;
  std::vector<int> mismatches(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 10; ++round) {
          for (std::size_t i = 0; i < calls.size(); ++i) {
            const std::size_t k = (i + static_cast<std::size_t>(t)) % calls.size();
            if (Call(calls[k].first, calls[k].second) != expected[k]) ++mismatches[t];
          }
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

CARVALEN_ON_PROVIDERS(CInterfaceOnDatabase);

}  // namespace
}  // namespace carvalen::test
