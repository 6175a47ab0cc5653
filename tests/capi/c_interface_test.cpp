// The C interface given what a careless caller passes (the table's cases are capi_check.c's).
#include <gtest/gtest.h>

#include <string>

#include "carvalen/carvalen.h"

namespace carvalen::test {
namespace {

TEST(CInterface, CarelessInputIsAUsageErrorDocument) {
  const char* const cases[][3] = {
      {nullptr, "{}", "the target is <Class>.<Operation>, not NULL"},
      {"ContractLine.GetPrice", "[1]", "the arguments are a JSON object of NAME: value"},
      {"ContractLine", nullptr,
       R"(expected <Class>.<Operation>, e.g. ContractLine.GetPrice, not \"ContractLine\")"},
      {"ContractLine.GetPrice", "",
       "GetPrice needs a value for i_lContractHeaderID, i_lContractLineID, i_fQuantity"},
  };
  for (const auto& [target, arguments, message] : cases) {
    char* json = nullptr;
    EXPECT_EQ(carvalen_call(target, arguments, &json), CARVALEN_USAGE) << message;
    EXPECT_EQ(std::string(json != nullptr ? json : "(null)"),
              R"({"usageError": {"message": ")" + std::string(message) + "\"}}");
    carvalen_free(json);
  }
  // Answers and failures pass as the tool's: capi_check.c and python/tests, on the demo.
  EXPECT_EQ(carvalen_call("ContractLine.GetPrice", "{}", nullptr), CARVALEN_USAGE);
  EXPECT_EQ(carvalen_operations(nullptr), CARVALEN_USAGE);
  carvalen_free(nullptr);
}

}  // namespace
}  // namespace carvalen::test
