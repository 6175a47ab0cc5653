// The call path the faces share: what reaches an operation, and what comes back as a usage error.
#include <gmock/gmock.h>

#include <memory>
#include <set>
#include <string>

#include "api/call.hpp"
#include "api/plain_codec.hpp"
#include "carvalen/component.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/settings.hpp"
#include "model/notes.hpp"
#include "support/example_calls.hpp"
#include "value/cell_budget.hpp"
#include "value/text.hpp"

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
  std::string wide = R"({"$array": [1)";
  for (int i = 0; i < 100'000; ++i) wide += ", 1";
  wide += "]}";
  const std::string rows[][3] = {
      // target, arguments, part of the message
      {"ContractLine.Nope", "{}", "has no operation \"Nope\""},
      {"ContractLine.GetPrice", R"({"nope": 1})", "has no parameter \"nope\""},
      {"ContractLine.GetPrice", R"({"i_lContractHeaderID": {"$bogus": 1}})", "$bogus"},
      // Reading stops at an unknown name; the rest is still checked as JSON, never decoded.
      {"ContractLine.GetPrice", R"({"i_fQuantity": 1.0, "nope": [1], "x": })", "syntax error"},
      {"ContractLine.GetPrice", R"({"i_fQuantity": 1.0, "nope": 1, "NOPE": 2, "nope": 3})",
       "holds the key \"nope\" twice"},
      // A failing body is decoded once, the argument it fails in too: a second time would pass
      // the cell budget armed below.
      {"ContractLine.GetPrice",
       R"({"i_fQuantity": )" + wide + R"(, "i_lContractLineID": {"$bogus": 1}})", "$bogus"},
      {"ContractLine.GetPrice", R"({"i_fQuantity": {"$array": [)" + wide + R"(, {"$bogus": 1}]}})",
       "$bogus"},
  };
  const std::int64_t cells = GetMaxCells();
  SetMaxCells(150'000);
  for (const auto& row : rows) {
    const cells::CallBudget budget;
    const CallOutcome outcome = CallWithJson(row[0], row[1]);
    EXPECT_EQ(outcome.status, kCallUsage) << row[0] << row[1].substr(0, 200);
    EXPECT_THAT(Json::parse(outcome.text)["usageError"]["message"].get<std::string>(),
                ::testing::HasSubstr(row[2]));
  }
  SetMaxCells(cells);
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
  // An answer past its budget fails with 7 as it is written, in either form.
  const Limits small{kDefaultMaxEntries, 16};
  for (const CallOutcome& over : {CallWithJson("ContractLine.GetPrice", kArguments, small),
                                  CallWithPlainJson("ContractLine.GetPrice", kArguments, small)})
    EXPECT_EQ(Json::parse(over.text)["error"]["number"], 7) << over.text;
  // The example calls feed the fault-injection, thread, pooler, C and Python runs: none lacks one.
  std::set<std::string> examples;
  for (const test::ExampleCall& call : test::ExampleCalls()) {
    EXPECT_TRUE(Json::accept(call.arguments)) << call.target << " " << call.arguments;
    examples.insert(text::AsciiLower(call.target));
  }
  // Every operation, parameter and position is described; notes name nothing that is not there.
  std::vector<std::string> gaps;
  std::size_t described = 0;
  for (const ClassDescription& type : DescribeClasses()) {
    for (const OperationDescription& op : type.operations) {
      const std::string name = std::string(type.metadata->name) + "." + op.name;
      if (!examples.contains(text::AsciiLower(name))) gaps.push_back(name + " has no example");
      const ResultDescription& answer = op.answer;
      if (op.summary.empty() || answer.summary.empty()) gaps.push_back(name);
      const bool rows = answer.shape != ResultShape::Scalar;
      if (rows && answer.positions.empty() && answer.positions_from.empty()) gaps.push_back(name);
      for (const std::string& position : answer.positions)
        if (position.empty() || position.starts_with('$')) gaps.push_back(name + " position");
      for (const ParameterDescription& param : op.parameters) {
        described += param.summary.empty() ? 0 : 1;
        if (param.summary.empty() || param.plain.empty()) gaps.push_back(name + " " + param.name);
      }
    }
  }
  std::size_t noted = 0;
  for (const auto* notes : {&model::ContractNotes(), &model::ContractLineNotes()})
    for (const model::OperationNotes& note : *notes) noted += note.parameters.size();
  EXPECT_EQ(gaps, std::vector<std::string>{});
  EXPECT_EQ(described, noted) << "a note names a parameter its operation does not have";
}

// Plain arguments only in their declared type, never rounded; answers name every position.
TEST(Call, ReadsPlainArgumentsStrictlyAndNamesPlainAnswers) {
  const Target price = ResolveTarget("ContractLine.GetPrice");
  const Target lines = ResolveTarget("Contract.GetContractLineDetails");
  const Target bulk = ResolveTarget("Contract.GetActiveContractLinesProc");
  const auto& header = price.method->parameters[0];     // integer
  const auto& quantity = price.method->parameters[2];   // number
  const auto& effective = lines.method->parameters[4];  // date
  const auto& request = bulk.method->parameters[0];     // object keyed by product id
  const std::tuple<const ParameterDescription*, const char*, int> refused[] = {
      {&header, "1.5", 13},
      {&header, "\"1\"", 13},
      {&header, "true", 13},
      {&header, "2147483648", 6},
      {&quantity, "\"5\"", 13},
      {&effective, "12", 13},
      {&effective, "\"2026-06-10 08:00\"", 13},
      {&request, "{\"x\": [1, 2]}", 13},
  };
  for (const auto& [param, text, number] : refused) {
    EXPECT_THAT(([&p = param, &t = text] { (void)FromPlain(*p, Json::parse(t)); }),
                ::testing::Throws<PlainRefusal>(
                    ::testing::AllOf(::testing::Property(&PlainRefusal::Number, number),
                                     ::testing::Property(&PlainRefusal::Parameter, param->name))))
        << text;
  }
  EXPECT_EQ(FromPlain(header, Json(12)), Variant(12));
  EXPECT_EQ(FromPlain(effective, Json("2026-06-10")), Variant(Date::FromParts(2026, 6, 10)));

  auto by_product = Dictionary::Create();  // a product id of 1 still keys an object
  by_product->Add(Variant(1), Variant(Array::Of({Variant(3), Variant(4), Variant(2.5), Variant(),
                                                 Variant::Null(), Variant("EUR"), Variant(8.0),
                                                 Variant(5.0), Variant(true), Variant(false)})));
  std::string out;
  AppendPlainAnswer(Variant(ObjectPtr(by_product)), *bulk.method, {}, out);
  EXPECT_EQ(
      out,
      R"({"1": {"CONTRACTHEADERID": 3, "CONTRACTLINEID": 4, "PRICE": 2.5, )"
      R"("DISCOUNTPERCENTAGE": null, "DISCOUNTAMOUNT": null, "CURRENCYCODE": "EUR", )"
      R"("TAXPERCENTAGE": 8.0, "FREIGHTCHARGE": 5.0, "PRICEFOUND": true, "DISCOUNTFOUND": false}})");
  auto numbered = Dictionary::Create();  // ordinals as text make a list
  numbered->Add(Variant("1"),
                Variant(Array::Of({Variant(7), Variant(Date::FromParts(2026, 6, 10, 8))})));
  out.clear();
  AppendPlainAnswer(Variant(ObjectPtr(numbered)),
                    *ResolveTarget("Contract.GetContractHeader").method, {}, out);
  EXPECT_EQ(out, R"([{"CONTRACTHEADERID": 7, "BUSINESSPARTNERID": "2026-06-10T08:00:00"}])");
}

}  // namespace
}  // namespace carvalen::api
