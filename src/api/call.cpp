#include "api/call.hpp"

#include <fmt/format.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <typeinfo>

#include "api/bulk_answer.hpp"
#include "carvalen/component.hpp"
#include "carvalen/contract.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/enums.hpp"
#include "carvalen/error.hpp"
#include "carvalen/library.hpp"
#include "contract/bulk_pricing.hpp"
#include "model/classes.hpp"
#include "value/keyed_hash.hpp"
#include "value/text.hpp"

namespace carvalen::api {
namespace {

std::string ClassList() {
  std::string names;
  for (const ClassDescription& info : DescribeClasses()) {
    names += names.empty() ? "" : ", ";
    names += info.metadata->name;
  }
  return names;
}

std::string ParamList(const OperationDescription& method) {
  if (method.parameters.empty()) return "none";
  std::string names;
  for (const ParameterDescription& param : method.parameters) {
    names += names.empty() ? "" : ", ";
    names += param.name;
  }
  return names;
}

// What a by-reference parameter holds when the caller does not set it.
Variant ZeroValue(ParameterType type) {
  switch (type) {
    case ParameterType::Long:
      return Variant(std::int32_t{0});
    case ParameterType::Double:
      return Variant(0.0);
    case ParameterType::String:
      return Variant(std::string());
    case ParameterType::Boolean:
      return Variant(false);
    case ParameterType::Date:
      return Variant(Date::FromSerial(0.0));
    case ParameterType::Dictionary:
      return Variant::Nothing();
    case ParameterType::Variant:
      break;
  }
  return Variant();
}

Json ParamJson(const ParameterDescription& param) {
  Json json = Json::object();
  json["name"] = param.name;
  json["type"] = TypeName(param.type);
  json["byref"] = param.by_ref;
  json["optional"] = param.optional;
  if (param.optional && !param.default_value.IsMissing()) {
    json["default"] = ToJson(param.default_value);
  }
  json["plain"] = param.plain;
  json["summary"] = param.summary;
  return json;
}

Json AnswerJson(const ResultDescription& answer) {
  Json json = Json::object({{"shape", ShapeName(answer.shape)}, {"summary", answer.summary}});
  if (!answer.key_type.empty()) {
    json["keyType"] = answer.key_type;
    json["key"] = answer.key;
  }
  if (!answer.positions.empty()) json["positions"] = answer.positions;
  if (!answer.positions_from.empty()) json["positionsFrom"] = answer.positions_from;
  return json;
}

Json RaisesJson(const std::vector<ErrorDescription>& raises) {
  Json list = Json::array();
  for (const ErrorDescription& error : raises) {
    list.push_back(Json::object(
        {{"number", error.number}, {"code", ErrorCode(error.number)}, {"when", error.when}}));
  }
  return list;
}

Json ClassJson(const ClassDescription& info) {
  Json json = Json::object();
  json["name"] = info.metadata->name;
  json["progId"] = info.metadata->prog_id;
  json["interface"] = info.metadata->interface_name;
  Json operations = Json::array();
  for (const OperationDescription& method : info.operations) {
    Json op = Json::object();
    op["name"] = method.name;
    Json params = Json::array();
    for (const ParameterDescription& param : method.parameters) params.push_back(ParamJson(param));
    op["parameters"] = std::move(params);
    op["result"] = method.result;
    op["summary"] = method.summary;
    op["answer"] = AnswerJson(method.answer);
    op["raises"] = RaisesJson(method.raises);
    operations.push_back(std::move(op));
  }
  json["operations"] = std::move(operations);
  if (info.metadata->name == "Enums") {
    Json enumerations = Json::array();
    for (const Enumeration& enumeration : Enumerations()) {
      Json members = Json::array();
      for (const EnumMember& member : enumeration.members) {
        members.push_back(Json::object({{"name", member.name}, {"value", member.value}}));
      }
      enumerations.push_back(
          Json::object({{"name", enumeration.name}, {"members", std::move(members)}}));
    }
    json["enumerations"] = std::move(enumerations);
  }
  return json;
}

}  // namespace

void GiveBackMemory() { ::malloc_trim(0); }

const ClassDescription& ResolveClass(std::string_view name) {
  const ClassDescription* info = FindClassDescription(name);
  if (info == nullptr) {
    throw UsageError(
        fmt::format("unknown class \"{}\" (classes: {})", EchoJson(name), ClassList()));
  }
  return *info;
}

Target ResolveTarget(std::string_view text) {
  // "Carvalen.ContractLine.GetPrice" names the same operation as "ContractLine.GetPrice".
  if (std::size_t dot = text.find('.'); dot != std::string_view::npos &&
                                        text::EqualsNoCase(text.substr(0, dot), kLibraryName) &&
                                        text.find('.', dot + 1) != std::string_view::npos) {
    text.remove_prefix(dot + 1);
  }
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) {
    throw UsageError(fmt::format(
        "expected <Class>.<Operation>, e.g. ContractLine.GetPrice, not \"{}\"", EchoJson(text)));
  }
  const ClassDescription& type = ResolveClass(text.substr(0, dot));
  const std::string_view operation = text.substr(dot + 1);
  const OperationDescription* method = FindOperation(type, operation);
  if (method == nullptr) {
    throw UsageError(fmt::format("{} has no operation \"{}\" (see `carvalen ops {}`)",
                                 type.metadata->name, EchoJson(operation), type.metadata->name));
  }
  return {&type, method, &model::ClassOf(type), &model::MemberOf(type, *method)};
}

const ParameterDescription& ResolveParameter(const OperationDescription& method,
                                             std::string_view name) {
  auto param =
      std::find_if(method.parameters.begin(), method.parameters.end(),
                   [&](const ParameterDescription& p) { return text::EqualsNoCase(p.name, name); });
  if (param == method.parameters.end()) {
    throw UsageError(fmt::format("{} has no parameter \"{}\" (parameters: {})", method.name,
                                 EchoJson(name), ParamList(method)));
  }
  return *param;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the given values are moved out of it.
std::vector<Variant> ArrangeArguments(const OperationDescription& method, NamedArguments given) {
  std::vector<std::optional<Variant>> slots(method.parameters.size());
  for (auto& [param, value] : given) {
    std::optional<Variant>& slot =
        slots[static_cast<std::size_t>(param - method.parameters.data())];
    if (slot) throw UsageError(fmt::format("parameter {} is given twice", param->name));
    slot = std::move(value);
  }
  std::vector<Variant> args;
  std::string missing;
  for (std::size_t i = 0; i < method.parameters.size(); ++i) {
    const ParameterDescription& param = method.parameters[i];
    if (slots[i]) {
      args.push_back(std::move(*slots[i]));
    } else if (param.optional) {
      args.push_back(param.default_value);
    } else if (param.by_ref) {
      args.push_back(ZeroValue(param.type));
    } else {
      missing += missing.empty() ? "" : ", ";
      missing += param.name;
    }
  }
  if (!missing.empty()) {
    throw UsageError(fmt::format("{} needs a value for {}", method.name, missing));
  }
  return args;
}

const ParameterDescription* PricingParameter(const Target& target) {
  if (target.type->metadata->name != "Contract" ||
      target.method->name != "GetActiveContractLinesProc") {
    return nullptr;
  }
  return &target.method->parameters.front();
}

Variant ParseArgument(const Target& target, const ParameterDescription& param,
                      std::string_view text, const Limits& limits) {
  return ParseValue(text, limits, &param == PricingParameter(target));
}

NamedArguments ParseArguments(const Target& target, std::string_view text, const Limits& limits) {
  const ParameterDescription* pricing = PricingParameter(target);
  const PricingMember is_pricing = [&](std::string_view name) {
    return pricing != nullptr && text::EqualsNoCase(name, pricing->name);
  };
  const CheckMember check = [&](std::string_view name) { ResolveParameter(*target.method, name); };
  NamedArguments named;
  for (auto& [name, value] : ReadMembers(text, limits, is_pricing, check)) {
    named.emplace_back(&ResolveParameter(*target.method, name), std::move(value));
  }
  return named;
}

namespace {

void AppendByRef(const OperationDescription& method, const std::vector<Variant>& args,
                 std::string& out, std::size_t limit) {
  out += ", \"byref\": {";
  bool first = true;
  for (std::size_t i = 0; i < method.parameters.size(); ++i) {
    const ParameterDescription& param = method.parameters[i];
    if (!param.by_ref) continue;
    if (!first) out += ", ";
    first = false;
    out += Json(param.name).dump();
    out += ": ";
    AppendJson(args[i], out, limit);
  }
  out += "}}";
  CheckAnswerSize(out, limit);
}

// The request a streamed bulk call prices, when the call can take that path: a dictionary or
// its compact form given to the library's own class. Anything else goes through late binding,
// which converts (and refuses) it as it always has.
const Object* StreamedRequest(const Target& target, const std::vector<Variant>& args,
                              const ObjectPtr& object) {
  if (PricingParameter(target) == nullptr || args.size() != 1 ||
      args[0].Type() != VarType::Object || dynamic_cast<const Contract*>(object.get()) == nullptr) {
    return nullptr;
  }
  const Object* request = args[0].GetObject().get();
  if (dynamic_cast<const Dictionary*>(request) == nullptr &&
      dynamic_cast<const contract::PricingRequest*>(request) == nullptr) {
    return nullptr;
  }
  return request;
}

}  // namespace

CallOutcome Invoke(const Target& target, std::vector<Variant> args, std::size_t max_answer) {
  std::string text;
  try {
    ObjectPtr object = CreateObject(target.type->metadata->prog_id);
    if (const Object* request = StreamedRequest(target, args, object)) {
      text = "{\"result\": {\"$dict\": [";
      EncodedLines lines(text, max_answer);
      contract::PriceInBulk(request, lines);
      text += "]}";
      AppendByRef(*target.method, args, text, max_answer);
      return {kCallOk, std::move(text)};
    }
    // The member converts every argument before the operation starts, so an argument of the
    // wrong type fails here the way late binding does: the operation never runs. A class a host
    // registered in the library's place is called by name.
    const Object& created = *object;
    Variant result = typeid(created) == *target.own_class->type
                         ? target.member->invoke(*object, args)
                         : object->Invoke(target.method->name, args);
    text = "{\"result\": ";
    AppendJson(result, text, max_answer);
    AppendByRef(*target.method, args, text, max_answer);
    return {kCallOk, std::move(text)};
  } catch (...) {
    // What was written before the failure is dropped, and its memory with it.
    std::string().swap(text);
    return {kCallFailed, Dump(ErrorJson(CurrentError().Info()))};
  }
}

CallOutcome CallWithJson(std::string_view target, std::string_view arguments_json,
                         const Limits& limits) {
  CallOutcome outcome;
  std::string operation;
  try {
    const Target resolved = ResolveTarget(target);
    operation = fmt::format("{}.{}", resolved.type->metadata->name, resolved.method->name);
    NamedArguments named;
    if (!arguments_json.empty()) named = ParseArguments(resolved, arguments_json, limits);
    outcome =
        Invoke(resolved, ArrangeArguments(*resolved.method, std::move(named)), limits.max_answer);
  } catch (const UsageError& e) {
    outcome = {kCallUsage, Dump(UsageJson(e.what()))};
  }
  outcome.operation = std::move(operation);
  // A large request leaves its decoded values' memory free but held by this thread's arena;
  // give it back, so that a host's size returns to rest after the call.
  if (arguments_json.size() + outcome.text.size() >= kLargeCall) GiveBackMemory();
  return outcome;
}

Json UsageJson(std::string_view message) {
  return Json::object({{"usageError", Json::object({{"message", message}})}});
}

Json OperationsJson(std::string_view class_name) {
  Json list = Json::array();
  if (class_name.empty()) {
    for (const ClassDescription& info : DescribeClasses()) list.push_back(ClassJson(info));
  } else {
    list.push_back(ClassJson(ResolveClass(class_name)));
  }
  return Json::object({{"classes", std::move(list)}});
}

}  // namespace carvalen::api
