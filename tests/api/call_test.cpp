// The call path the faces share: what reaches an operation, and what comes back as a usage error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "model/notes.hpp"
#include "support/example_calls.hpp"

namespace carvalen::api {
namespace {

// Stands in for the library's class, as a host may register it.
struct HostLine : Object {
  std::string ClassName() const override { return "HostLine"; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override {
    return Variant(std::string(name) + "/" + std::to_string(args.size()));
  }
};

// Malformed targets, argument objects and missing arguments: capi's; an unknown class: service's.
TEST(Call, AnswersMistakesAndResolvedCallsAndEveryOperationHasAnExample) {
  const char* const rows[][3] = {
      // target, arguments, part of the message
      {"ContractLine.Nope", "{}", "has no operation \"Nope\""},
      {"ContractLine.GetPrice", R"({"nope": 1})", "has no parameter \"nope\""},
      {"ContractLine.GetPrice", R"({"i_lContractHeaderID": {"$bogus": 1}})", "$bogus"},
  };
  for (const auto& row : rows) {
    const CallOutcome outcome = CallWithJson(row[0], row[1]);
    EXPECT_EQ(outcome.status, kCallUsage) << row[0] << row[1];
    EXPECT_THAT(Json::parse(outcome.text)["usageError"]["message"].get<std::string>(),
                ::testing::HasSubstr(row[2]));
  }
  // Names in any case, prefix optional, reach the operation or a host's class in its place.
  const char* const kArguments = R"({"I_LCONTRACTHEADERID": 1, "i_lContractLineID": 1,
                                     "i_fQuantity": 1.0})";
  const CallOutcome outcome = CallWithJson("carvalen.contractline.getprice", kArguments);
  EXPECT_EQ(outcome.status, kCallFailed);
  EXPECT_TRUE(api::Json::parse(outcome.text).contains("error")) << outcome.text;
  ComponentOverride host("Carvalen.ContractLine",
                         [] { return ObjectPtr(std::make_shared<HostLine>()); });
  const Json hosted = Json::parse(CallWithJson("ContractLine.GetPrice", kArguments).text);
  EXPECT_EQ(hosted["result"], "GetPrice/5") << hosted;
  // The example calls feed the fault-injection, thread, pooler, C and Python runs: none may lack
  // one.
  EXPECT_EQ(test::OperationsWithoutExample(), std::vector<std::string>{});
  for (const test::ExampleCall& call : test::ExampleCalls())
    EXPECT_TRUE(Json::accept(call.arguments)) << call.target << " " << call.arguments;
}

// Every operation, parameter and position says what it is, and the notes name nothing that is not
// there: a gap is listed by name.
TEST(Call, DescribesEveryOperationParameterAndPosition) {
  std::vector<std::string> gaps;
  std::size_t described = 0;
  for (const ClassDescription& type : DescribeClasses()) {
    for (const OperationDescription& op : type.operations) {
      const std::string name = std::string(type.metadata->name) + "." + op.name;
      const ResultDescription& answer = op.answer;
      if (op.summary.empty() || answer.summary.empty()) gaps.push_back(name);
      const bool rows = answer.shape != ResultShape::Scalar;
      if (rows && answer.positions.empty() && answer.positions_from.empty()) gaps.push_back(name);
      for (const std::string& position : answer.positions) {
        if (position.empty() || position.starts_with('$')) gaps.push_back(name + " position");
      }
      for (const ParameterDescription& param : op.parameters) {
        described += param.summary.empty() ? 0 : 1;
        if (param.summary.empty() || param.plain.empty()) gaps.push_back(name + " " + param.name);
      }
    }
  }
  std::size_t noted = 0;
  for (const auto* notes : {&model::ContractNotes(), &model::ContractLineNotes()}) {
    for (const model::OperationNotes& note : *notes) noted += note.parameters.size();
  }
  EXPECT_EQ(gaps, std::vector<std::string>{});
  EXPECT_EQ(described, noted) << "a note names a parameter its operation does not have";
}

}  // namespace
}  // namespace carvalen::api
