// The plain paths of the OpenAPI document: per operation a request schema with a named,
// described property per parameter in its plain type, and an answer schema whose rows have a
// named property per position, so that a generated client reads every answer by name.
#include <fmt/format.h>

#include <string>

#include "api/openapi.hpp"
#include "carvalen/operations.hpp"

namespace carvalen::api {
namespace {

Json Ref(const std::string& name) {
  return Json::object({{"$ref", "#/components/schemas/" + name}});
}

Json Described(Json schema, const std::string& description) {
  schema["description"] = description;
  return schema;
}

Json PlainType(const std::string& plain) {
  if (plain == "integer") {
    return Json::object({{"type", "integer"},
                         {"format", "int32"},
                         {"minimum", -2147483648LL},
                         {"maximum", 2147483647LL}});
  }
  if (plain == "number" || plain == "string" || plain == "boolean") {
    return Json::object({{"type", plain}});
  }
  if (plain == "date") return Ref("PlainDate");
  if (plain == "integer[]") {
    return Json::object(
        {{"type", "array"}, {"items", Json::object({{"type", Json::array({"integer", "null"})}})}});
  }
  if (plain == "string[]") {
    return Json::object({{"type", "array"}, {"items", Json::object({{"type", "string"}})}});
  }
  if (plain == "object") {
    return Json::object(
        {{"type", "object"},
         {"additionalProperties",
          Json::object({{"type", "array"},
                        {"prefixItems",
                         Json::array({PlainType("integer"), Json::object({{"type", "number"}})})},
                        {"minItems", 2}})}});
  }
  return Ref("PlainCell");
}

// A row: one property per named position; positions the caller names are any further ones.
Json RowSchema(const ResultDescription& answer) {
  Json properties = Json::object();
  for (const std::string& name : answer.positions) {
    std::string unique = name;
    for (int n = 2; properties.contains(unique); ++n) unique = fmt::format("{}_{}", name, n);
    properties[unique] = Ref("PlainCell");
  }
  Json row = Json::object({{"type", "object"}, {"properties", std::move(properties)}});
  if (!answer.positions_from.empty()) row["additionalProperties"] = Ref("PlainCell");
  return row;
}

Json ResultSchema(const OperationDescription& op) {
  const ResultDescription& answer = op.answer;
  switch (answer.shape) {
    case ResultShape::Scalar:
      if (op.result == "Double") return Json::object({{"type", Json::array({"number", "null"})}});
      if (op.result == "Boolean") return Json::object({{"type", "boolean"}});
      if (op.result == "String") return Json::object({{"type", "string"}});
      return Ref("PlainCell");
    case ResultShape::Row:
      return RowSchema(answer);
    case ResultShape::Named:
      return Json::object(
          {{"anyOf", Json::array({RowSchema(answer), Json::object({{"type", "null"}})})}});
    case ResultShape::List:
      return Json::object({{"type", Json::array({"array", "null"})}, {"items", Ref("PlainCell")}});
    case ResultShape::Dictionary:
      if (!answer.numbered) {
        return Json::object({{"type", "object"}, {"additionalProperties", RowSchema(answer)}});
      }
      [[fallthrough]];
    case ResultShape::Matrix:
    case ResultShape::Recordset:
      break;
  }
  return Json::object({{"type", "array"}, {"items", RowSchema(answer)}});
}

Json Content(Json schema, const Json* example = nullptr) {
  Json media = Json::object({{"schema", std::move(schema)}});
  if (example != nullptr) media["example"] = *example;
  return Json::object({{"application/json", std::move(media)}});
}

// Each operation's example, a call on the demo and its answer ({"Class.Operation": {"arguments":
// ..., "answer": ...}}), as scripts/operations-doc.py wrote it into src/api/plain_examples.json.
const Json& PlainExamples() {
  static const Json examples = Json::parse(
#include "plain_examples.inc"
  );
  return examples;
}

Json PlainError(const char* description) {
  return Json::object({{"description", description}, {"content", Content(Ref("PlainError"))}});
}

Json PlainPath(const ClassDescription& type, const OperationDescription& op) {
  const std::string class_name(type.metadata->name);
  const Json& examples = PlainExamples();
  const auto example = examples.find(class_name + "." + op.name);
  const bool shown = example != examples.end();
  Json properties = Json::object();
  Json byref = Json::object();
  Json required = Json::array();
  for (const ParameterDescription& param : op.parameters) {
    properties[param.name] = Described(PlainType(param.plain), param.summary);
    if (param.by_ref) byref[param.name] = Described(PlainType(param.plain), param.summary);
    if (!param.optional && !param.by_ref) required.push_back(param.name);
  }
  Json body = Json::object({{"type", "object"},
                            {"description", "The arguments by parameter name (any case)"},
                            {"properties", std::move(properties)},
                            {"additionalProperties", false}});
  if (!required.empty()) body["required"] = std::move(required);
  Json result = Json::object(
      {{"type", "object"},
       {"properties", Json::object({{"result", Described(ResultSchema(op), op.answer.summary)},
                                    {"byref", Json::object({{"type", "object"},
                                                            {"properties", std::move(byref)},
                                                            {"additionalProperties", false}})}})},
       {"required", Json::array({"result", "byref"})}});
  Json responses = Json::object();
  responses["200"] =
      Json::object({{"description", op.answer.summary},
                    {"content", Content(result, shown ? &example->at("answer") : nullptr)}});
  responses["400"] = PlainError("A usage error or an argument not of its plain type");
  responses["404"] = PlainError("The contract, line or status record asked for does not exist");
  responses["422"] = PlainError("The operation raised another error");
  responses["503"] = PlainError("No configuration store, or the database cannot be reached");
  Json post = Json::object(
      {{"operationId", "plain_" + class_name + "_" + op.name},
       {"summary", class_name + "." + op.name},
       {"description", op.summary},
       {"tags", Json::array({"plain " + class_name})},
       {"requestBody",
        Json::object(
            {{"required", true},
             {"content", Content(std::move(body), shown ? &example->at("arguments") : nullptr)}})},
       {"responses", std::move(responses)}});
  return Json::object({{"post", std::move(post)}});
}

}  // namespace

void AddPlainPaths(Json& paths, Json& schemas) {
  for (const ClassDescription& type : DescribeClasses()) {
    for (const OperationDescription& op : type.operations) {
      paths["/v1/plain/" + std::string(type.metadata->name) + "/" + op.name] = PlainPath(type, op);
    }
  }
  schemas["PlainCell"] =
      Json::object({{"description", "A value: null for Empty, Null and Nothing; dates as ISO text"},
                    {"type", Json::array({"string", "number", "boolean", "null"})}});
  schemas["PlainDate"] =
      Json::object({{"type", "string"},
                    {"description", "A date or a date-time, local without a zone"},
                    {"pattern", "^[0-9]{4}-[0-9]{2}-[0-9]{2}(T[0-9]{2}:[0-9]{2}:[0-9]{2})?$"}});
  Json error = Json::object({{"code", Json::object({{"type", "string"}})},
                             {"message", Json::object({{"type", "string"}})},
                             {"number", Json::object({{"type", "integer"}})},
                             {"operation", Json::object({{"type", "string"}})},
                             {"parameter", Json::object({{"type", "string"}})}});
  schemas["PlainError"] = Json::object(
      {{"type", "object"},
       {"properties",
        Json::object({{"error", Json::object({{"type", "object"},
                                              {"properties", std::move(error)},
                                              {"required", Json::array({"code", "message", "number",
                                                                        "operation"})}})}})},
       {"required", Json::array({"error"})}});
}

}  // namespace carvalen::api
