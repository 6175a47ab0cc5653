#include "api/openapi.hpp"

#include <string>

#include "carvalen/operations.hpp"
#include "carvalen/version.hpp"

namespace carvalen::api {
namespace {

Json Ref(const std::string& name) {
  return Json::object({{"$ref", "#/components/schemas/" + name}});
}

Json OneOf(std::initializer_list<Json> choices) {
  Json list = Json::array();
  for (const Json& choice : choices) list.push_back(choice);
  return Json::object({{"oneOf", std::move(list)}});
}

// An object of exactly one member `name` holding `value`: the typed JSON's tagged forms.
Json Tagged(const std::string& name, Json value, const char* description) {
  Json properties = Json::object();
  properties[name] = std::move(value);
  return Json::object({{"type", "object"},
                       {"description", description},
                       {"properties", std::move(properties)},
                       {"required", Json::array({name})},
                       {"additionalProperties", false}});
}

Json Schemas() {
  Json s = Json::object();
  s["Value"] = Json::object(
      {{"description",
        "Any value in the typed JSON: Null, Boolean, Long, Double, String or a "
        "tagged form"},
       // anyOf: a JSON integer is both a Long and a number.
       {"anyOf", Json::array({Json::object({{"type", "null"}}), Json::object({{"type", "boolean"}}),
                              Ref("Long"), Json::object({{"type", "number"}}),
                              Json::object({{"type", "string"}}), Ref("Empty"), Ref("Nothing"),
                              Ref("Missing"), Ref("Int16"), Ref("Int64"), Ref("SpecialDouble"),
                              Ref("TypedDate"), Ref("TypedArray"), Ref("TypedDictionary"),
                              Ref("TypedRecordset"), Ref("TypedObject")})}});
  s["Long"] = Json::object({{"type", "integer"},
                            {"format", "int32"},
                            {"minimum", -2147483648LL},
                            {"maximum", 2147483647LL}});
  s["Double"] = OneOf({Json::object({{"type", "number"}}), Ref("SpecialDouble")});
  s["Empty"] = Tagged("$empty", Json::object({{"const", true}}), "Empty");
  s["Nothing"] = Tagged("$nothing", Json::object({{"const", true}}), "Nothing: no object");
  s["Missing"] = Tagged("$missing", Json::object({{"const", true}}), "An omitted argument");
  s["Int16"] =
      Tagged("$int16", Json::object({{"type", "integer"}, {"minimum", -32768}, {"maximum", 32767}}),
             "A 16-bit Integer");
  s["Int64"] = Tagged("$int64", Json::object({{"type", "integer"}, {"format", "int64"}}),
                      "A 64-bit integer");
  s["SpecialDouble"] =
      Tagged("$double", Json::object({{"enum", Json::array({"NaN", "Infinity", "-Infinity"})}}),
             "A Double JSON numbers cannot write");
  s["TypedDate"] = Tagged("$date",
                          Json::object({{"type", "string"},
                                        {"pattern",
                                         "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                         "(\\.[0-9]{1,6})?$"}}),
                          "A Date, local time without a zone");
  Json rows = Json::object({{"type", "array"}, {"items", Ref("Value")}});
  Json array = Tagged("$array",
                      OneOf({Json::object({{"type", "null"}}), rows,
                             Json::object({{"type", "array"}, {"items", rows}})}),
                      "An Array of one dimension, or of two (a list of rows); null: never "
                      "allocated");
  array["properties"]["lbound"] =
      OneOf({Json::object({{"type", "integer"}}),
             Json::object({{"type", "array"}, {"items", Json::object({{"type", "integer"}})}})});
  s["TypedArray"] = std::move(array);
  s["TypedDictionary"] = Tagged(
      "$dict",
      Json::object(
          {{"type", "array"},
           {"items", Json::object({{"type", "array"},
                                   {"prefixItems", Json::array({Ref("Value"), Ref("Value")})},
                                   {"minItems", 2},
                                   {"maxItems", 2}})}}),
      "A Dictionary: [key, item] pairs in insertion order");
  s["TypedRecordset"] = Tagged(
      "$recordset",
      Json::object(
          {{"type", "object"},
           {"properties",
            Json::object({{"fields", Json::object({{"type", "array"},
                                                   {"items", Json::object({{"type", "string"}})}})},
                          {"rows", Json::object({{"type", "array"}, {"items", rows}})}})},
           {"required", Json::array({"fields", "rows"})}}),
      "A record set: its column names and every row");
  s["TypedObject"] =
      Tagged("$object", Json::object({{"type", "string"}}), "Another object, by class");
  s["TypedError"] = Json::object(
      {{"type", "object"},
       {"description", "The error the operation raised"},
       {"properties",
        Json::object(
            {{"error",
              Json::object({{"type", "object"},
                            {"properties",
                             Json::object({{"number", Json::object({{"type", "integer"}})},
                                           {"source", Json::object({{"type", "string"}})},
                                           {"description", Json::object({{"type", "string"}})},
                                           {"helpFile", Json::object({{"type", "string"}})},
                                           {"helpContext", Json::object({{"type", "integer"}})}})},
                            {"required", Json::array({"number", "source", "description"})}})}})},
       {"required", Json::array({"error"})}});
  s["UsageError"] = Json::object(
      {{"type", "object"},
       {"description", "A mistake of the caller's, or a limit of the service"},
       {"properties",
        Json::object(
            {{"usageError",
              Json::object(
                  {{"type", "object"},
                   {"properties", Json::object({{"message", Json::object({{"type", "string"}})}})},
                   {"required", Json::array({"message"})}})}})},
       {"required", Json::array({"usageError"})}});
  return s;
}

// The schema of a declared type, as a parameter or a result.
Json TypeSchema(std::string_view type) {
  if (type == "Long") return Ref("Long");
  if (type == "Double") return Ref("Double");
  if (type == "String") return Json::object({{"type", "string"}});
  if (type == "Boolean") return Json::object({{"type", "boolean"}});
  if (type == "Date") return Ref("TypedDate");
  if (type == "Dictionary") return OneOf({Ref("TypedDictionary"), Ref("Nothing")});
  if (type == "Recordset") return OneOf({Ref("TypedRecordset"), Ref("Nothing")});
  return Ref("Value");
}

Json Answer(const char* description, const char* schema) {
  return Json::object(
      {{"description", description},
       {"content", Json::object({{"application/json", Json::object({{"schema", Ref(schema)}})}})}});
}

Json Responses() {
  Json r = Json::object();
  r["UsageError"] = Answer(
      "A usage error: unknown class, operation or parameter, a required one "
      "missing, a value with no form, bad JSON, too many entries",
      "UsageError");
  r["Unauthorized"] = Answer("No valid bearer token", "UsageError");
  r["TooLarge"] = Answer("The body is over the service's --max-body", "UsageError");
  r["UnsupportedEncoding"] = Answer("A Content-Encoding other than identity", "UsageError");
  r["Unavailable"] =
      Answer("The service is stopping, or has all the connections it takes", "UsageError");
  return r;
}

Json ResponseRef(const char* name) {
  return Json::object({{"$ref", std::string("#/components/responses/") + name}});
}

Json OperationPath(const ClassDescription& type, const OperationDescription& op) {
  const std::string class_name(type.metadata->name);
  const std::string qualified = class_name + "." + op.name;
  Json properties = Json::object();
  Json byref = Json::object();
  Json required = Json::array();
  for (const ParameterDescription& param : op.parameters) {
    const std::string_view type = TypeName(param.type);
    Json schema = TypeSchema(type);
    std::string text = std::string(type) + (param.by_ref ? ", by reference" : "");
    if (param.optional) text += ", optional";
    if (param.optional && !param.default_value.IsMissing()) {
      schema["default"] = ToJson(param.default_value);
    }
    schema["description"] = text + ". " + param.summary;
    if (param.by_ref) byref[param.name] = TypeSchema(type);
    // By-reference arguments may be left out: they start at a zero of their type.
    if (!param.optional && !param.by_ref) required.push_back(param.name);
    properties[param.name] = std::move(schema);
  }
  Json body = Json::object({{"type", "object"},
                            {"description", "The arguments by parameter name (any case)"},
                            {"properties", std::move(properties)}});
  if (!required.empty()) body["required"] = std::move(required);
  Json result = Json::object(
      {{"type", "object"},
       {"properties", Json::object({{"result", TypeSchema(op.result)},
                                    {"byref", Json::object({{"type", "object"},
                                                            {"properties", std::move(byref)}})}})},
       {"required", Json::array({"result", "byref"})}});
  Json responses = Json::object();
  responses["200"] = Json::object(
      {{"description", "The result and the by-reference arguments after the call"},
       {"content",
        Json::object({{"application/json", Json::object({{"schema", std::move(result)}})}})}});
  responses["400"] = ResponseRef("UsageError");
  responses["401"] = ResponseRef("Unauthorized");
  responses["413"] = ResponseRef("TooLarge");
  responses["415"] = ResponseRef("UnsupportedEncoding");
  responses["422"] = Answer(
      "The operation raised an error (also 13, Type mismatch, for an "
      "argument that does not convert)",
      "TypedError");
  responses["503"] = ResponseRef("Unavailable");
  Json post = Json::object(
      {{"operationId", class_name + "_" + op.name},
       {"summary", qualified + " (returns " + op.result + ")"},
       {"description", op.summary + " " + op.answer.summary},
       {"tags", Json::array({class_name})},
       {"requestBody",
        Json::object({{"required", true},
                      {"content", Json::object({{"application/json",
                                                 Json::object({{"schema", std::move(body)}})}})}})},
       {"responses", std::move(responses)}});
  return Json::object({{"post", std::move(post)}});
}

Json Get(const char* id, const char* summary, Json content, bool open) {
  Json get = Json::object(
      {{"operationId", id},
       {"summary", summary},
       {"responses", Json::object({{"200", Json::object({{"description", "The answer"},
                                                         {"content", std::move(content)}})}})}});
  if (open) get["security"] = Json::array();
  return Json::object({{"get", std::move(get)}});
}

Json JsonContent() {
  return Json::object(
      {{"application/json", Json::object({{"schema", Json::object({{"type", "object"}})}})}});
}

}  // namespace

Json OpenApiDocument() {
  Json paths = Json::object();
  for (const ClassDescription& type : DescribeClasses()) {
    for (const OperationDescription& op : type.operations) {
      paths["/v1/" + std::string(type.metadata->name) + "/" + op.name] = OperationPath(type, op);
    }
  }
  paths["/v1/operations"] =
      Get("listOperations", "Classes, operations and parameters", JsonContent(), false);
  paths["/openapi.json"] = Get("openApi", "This document", JsonContent(), false);
  paths["/healthz"] = Get("health", "Alive while the process serves", JsonContent(), true);
  paths["/readyz"] =
      Get("ready", "Whether a connection to the contract database can be had (503 if not)",
          JsonContent(), true);
  paths["/metrics"] =
      Get("metrics", "Prometheus text format",
          Json::object(
              {{"text/plain", Json::object({{"schema", Json::object({{"type", "string"}})}})}}),
          false);
  Json schemas = Schemas();
  AddPlainPaths(paths, schemas);
  Json components = Json::object(
      {{"schemas", std::move(schemas)},
       {"responses", Responses()},
       {"securitySchemes",
        Json::object({{"bearer", Json::object({{"type", "http"}, {"scheme", "bearer"}})}})}});
  return Json::object(
      {{"openapi", "3.1.0"},
       {"info", Json::object({{"title", "Carvalen"},
                              {"version", kVersion},
                              {"description",
                               "Reads purchase contracts and prices them. Every operation is a "
                               "POST of its arguments by name: in plain JSON at "
                               "/v1/plain/<Class>/<Operation>, answers named by position; in the "
                               "typed JSON at /v1/<Class>/<Operation>, the answer what `carvalen "
                               "call` prints."},
                              {"license", Json::object({{"name", "Apache-2.0"},
                                                        {"identifier", "Apache-2.0"}})}})},
       {"security", Json::array({Json::object({{"bearer", Json::array()}})})},
       {"paths", std::move(paths)},
       {"components", std::move(components)}});
}

}  // namespace carvalen::api
