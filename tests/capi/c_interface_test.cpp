// The C interface in-process: what a careless caller passes (the sanitizer builds run this too).
// That each case of the table, answers and the operations' errors on both databases, comes back
// as the tool prints it is tests/capi/capi_check.c's (a C99 host) and, from many threads at once,
// python/tests/test_calls.py's; the statuses are the call path's (tests/api/call_test.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "api/call.hpp"
#include "carvalen/carvalen.h"

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
  // An argument that does not convert fails the call before it needs a store.
  const char* null_line =
      R"({"i_lContractHeaderID": 1, "i_lContractLineID": null, "i_fQuantity": 1})";
  EXPECT_EQ(Call("ContractLine.GetPrice", null_line),
            (Answer{CARVALEN_FAILED, api::CallWithJson("ContractLine.GetPrice", null_line).text}));
  // Nowhere to put a document: nothing runs.
  EXPECT_EQ(carvalen_call("ContractLine.GetPrice", "{}", nullptr), CARVALEN_USAGE);
  EXPECT_EQ(carvalen_operations(nullptr), CARVALEN_USAGE);
  carvalen_free(nullptr);
  char* operations = nullptr;
  EXPECT_EQ(carvalen_operations(&operations), CARVALEN_OK);
  EXPECT_EQ(std::string(operations != nullptr ? operations : ""), api::Dump(api::OperationsJson()));
  carvalen_free(operations);
}

}  // namespace
}  // namespace carvalen::test
