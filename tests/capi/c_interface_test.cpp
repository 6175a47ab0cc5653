// The C interface given what a careless caller passes (the table's cases are capi_check.c's).
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "carvalen/carvalen.h"

namespace carvalen::test {
namespace {

using Answer = std::pair<int, std::string>;  // status, document

Answer Call(const char* target, const char* arguments) {
  char* json = nullptr;
  const int status = carvalen_call(target, arguments, &json);
  Answer answer{status, json != nullptr ? json : "(null)"};
  carvalen_free(json);
  return answer;
}

TEST(CInterface, CarelessInputIsAUsageErrorDocument) {
  const char* const cases[][3] = {
      // target, arguments, message
      {nullptr, "{}", "the target is <Class>.<Operation>, not NULL"},
      {"ContractLine.GetPrice", "[1]", "the arguments are a JSON object of NAME: value"},
      {"ContractLine", nullptr,
       R"(expected <Class>.<Operation>, e.g. ContractLine.GetPrice, not \"ContractLine\")"},
      {"ContractLine.GetPrice", "",
       "GetPrice needs a value for i_lContractHeaderID, i_lContractLineID, i_fQuantity"},
  };
  for (const auto& [target, arguments, message] : cases)
    EXPECT_EQ(Call(target, arguments), (Answer{CARVALEN_USAGE, R"({"usageError": {"message": ")" +
                                                                   std::string(message) + "\"}}"}));
  // Answers and failures pass as the tool's: capi_check.c and python/tests, on the demo.
  EXPECT_EQ(carvalen_call("ContractLine.GetPrice", "{}", nullptr), CARVALEN_USAGE);
  EXPECT_EQ(carvalen_operations(nullptr), CARVALEN_USAGE);
  carvalen_free(nullptr);
}

}  // namespace
}  // namespace carvalen::test
