// The C interface given what a careless caller passes (the table's cases are capi_check.c's).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "api/call.hpp"
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
  const Answer bad_json = Call("ContractLine.GetPrice", "{\"i_fQuantity\": ");
  EXPECT_EQ(bad_json.first, CARVALEN_USAGE);
  EXPECT_THAT(bad_json.second, ::testing::StartsWith(R"({"usageError": {"message": "bad JSON)"));
  // An argument that does not convert fails the call before it needs a store.
  const char* null_line =
      R"({"i_lContractHeaderID": 1, "i_lContractLineID": null, "i_fQuantity": 1})";
  EXPECT_EQ(Call("ContractLine.GetPrice", null_line),
            (Answer{CARVALEN_FAILED, api::CallWithJson("ContractLine.GetPrice", null_line).text}));
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
