#include "cli/commands.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "carvalen/component.hpp"
#include "carvalen/enums.hpp"
#include "carvalen/error.hpp"
#include "carvalen/operations.hpp"
#include "cli/json_codec.hpp"
#include "model/schema.hpp"
#include "value/text.hpp"

namespace carvalen::cli {
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

const ClassDescription& ResolveClass(std::string_view name) {
  const ClassDescription* info = FindClassDescription(name);
  if (info == nullptr) {
    throw UsageError(fmt::format("unknown class \"{}\" (classes: {})", name, ClassList()));
  }
  return *info;
}

struct Target {
  const ClassDescription* type;
  const OperationDescription* method;
};

Target ResolveTarget(std::string_view text) {
  // "Carvalen.ContractLine.GetPrice" names the same operation as "ContractLine.GetPrice".
  if (std::size_t dot = text.find('.'); dot != std::string_view::npos &&
                                        text::EqualsNoCase(text.substr(0, dot), kLibraryName) &&
                                        text.find('.', dot + 1) != std::string_view::npos) {
    text.remove_prefix(dot + 1);
  }
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) {
    throw UsageError(
        fmt::format("expected <Class>.<Operation>, e.g. ContractLine.GetPrice, not \"{}\"", text));
  }
  const ClassDescription& type = ResolveClass(text.substr(0, dot));
  const std::string_view operation = text.substr(dot + 1);
  const OperationDescription* method = FindOperation(type, operation);
  if (method == nullptr) {
    throw UsageError(fmt::format("{} has no operation \"{}\" (see `carvalen ops {}`)",
                                 type.metadata->name, operation, type.metadata->name));
  }
  return {&type, method};
}

// What a by-reference parameter holds when the caller does not set it.
Variant ZeroValue(std::string_view type) {
  if (type == "Long") return Variant(std::int32_t{0});
  if (type == "Double") return Variant(0.0);
  if (type == "String") return Variant(std::string());
  if (type == "Boolean") return Variant(false);
  if (type == "Date") return Variant(Date::FromSerial(0.0));
  if (type == "Dictionary") return Variant::Nothing();
  return Variant();
}

// Where an argument's JSON text came from: the command line, a file (@PATH) or stdin (@-).
struct ArgumentText {
  std::string text;
  std::string origin;  // empty for the command line; the file name, or "standard input"
};

std::string ReadWhole(const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             &std::fclose);
  if (!file) throw UsageError(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
  std::string text;
  char buffer[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
  // A directory opens but does not read.
  if (std::ferror(file.get())) {
    throw UsageError(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
  }
  return text;
}

// `@PATH` and `@-` let an argument of any size (a bulk request of 100,000 entries) bypass the
// command line; a JSON text never begins with '@', so the form is unambiguous.
ArgumentText ResolveArgument(const ParameterDescription& param, std::string_view value,
                             std::istream& in, bool& stdin_taken) {
  if (!value.starts_with('@')) return {std::string(value), {}};
  const std::string path(value.substr(1));
  if (path == "-") {
    if (stdin_taken) {
      throw UsageError(
          fmt::format("{}: only one argument may be read from standard input (@-)", param.name));
    }
    stdin_taken = true;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw UsageError(fmt::format("{}: cannot read standard input", param.name));
    return {text.str(), "standard input"};
  }
  try {
    return {ReadWhole(path), path};
  } catch (const UsageError& e) {
    throw UsageError(fmt::format("{}: {}", param.name, e.what()));
  }
}

Variant ParseArgument(const ParameterDescription& param, const ArgumentText& argument) {
  const std::string_view value = argument.text;
  try {
    return ParseValue(value);
  } catch (const UsageError& e) {
    std::string message = e.what();
    if (!argument.origin.empty()) {
      // Name the file rather than echo what may be megabytes of it.
      const std::string echoed = fmt::format("bad JSON {}", value);
      if (message.starts_with(echoed)) {
        message = fmt::format("bad JSON in {}{}", argument.origin, message.substr(echoed.size()));
      }
      throw UsageError(fmt::format("{}: {}", param.name, message));
    }
    std::string hint;
    // Bare text is the commonest slip: the shell ate the quotes.
    if (!value.empty() &&
        std::string_view("\"{[-0123456789tfn").find(value.front()) == std::string_view::npos) {
      hint = fmt::format(" (a text is written in JSON quotes: {}='\"{}\"')", param.name, value);
    }
    throw UsageError(fmt::format("{}: {}{}", param.name, message, hint));
  }
}

std::vector<Variant> BuildArguments(const OperationDescription& method,
                                    const std::vector<std::string>& assignments, std::istream& in) {
  std::vector<std::optional<Variant>> given(method.parameters.size());
  bool stdin_taken = false;
  for (const std::string& assignment : assignments) {
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError(fmt::format("expected NAME=VALUE, not \"{}\"", assignment));
    }
    const std::string_view name(assignment.data(), equals);
    const std::string_view value = std::string_view(assignment).substr(equals + 1);
    auto param = std::find_if(
        method.parameters.begin(), method.parameters.end(),
        [&](const ParameterDescription& p) { return text::EqualsNoCase(p.name, name); });
    if (param == method.parameters.end()) {
      throw UsageError(fmt::format("{} has no parameter \"{}\" (parameters: {})", method.name, name,
                                   ParamList(method)));
    }
    std::optional<Variant>& slot =
        given[static_cast<std::size_t>(param - method.parameters.begin())];
    if (slot) throw UsageError(fmt::format("parameter {} is given twice", param->name));
    slot = ParseArgument(*param, ResolveArgument(*param, value, in, stdin_taken));
  }

  std::vector<Variant> args;
  std::string missing;
  for (std::size_t i = 0; i < method.parameters.size(); ++i) {
    const ParameterDescription& param = method.parameters[i];
    if (given[i]) {
      args.push_back(std::move(*given[i]));
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

std::string ParamText(const ParameterDescription& param) {
  std::string text =
      fmt::format("{}{} As {}", param.by_ref ? "ByRef " : "", param.name, param.type);
  if (!param.optional) return text;
  if (!param.default_value.IsMissing()) text += " = " + Dump(ToJson(param.default_value));
  return "[" + text + "]";
}

Json ParamJson(const ParameterDescription& param) {
  Json json = Json::object();
  json["name"] = param.name;
  json["type"] = param.type;
  json["byref"] = param.by_ref;
  json["optional"] = param.optional;
  if (param.optional && !param.default_value.IsMissing()) {
    json["default"] = ToJson(param.default_value);
  }
  return json;
}

bool IsEnumsClass(const ClassDescription& info) { return info.metadata->name == "Enums"; }

void OpsText(const ClassDescription& info, std::ostream& out) {
  out << info.metadata->name << " (" << info.metadata->prog_id << ", interface "
      << info.metadata->interface_name << ")\n";
  for (const OperationDescription& method : info.operations) {
    std::string params;
    for (const ParameterDescription& param : method.parameters) {
      params += params.empty() ? "" : ", ";
      params += ParamText(param);
    }
    out << "  " << method.name << "(" << params << ") As " << method.result << "\n";
  }
  if (info.operations.empty()) out << "  (no operations)\n";
  if (!IsEnumsClass(info)) return;
  for (const Enumeration& enumeration : Enumerations()) {
    out << "  Enum " << enumeration.name << ":";
    const char* separator = " ";
    for (const EnumMember& member : enumeration.members) {
      out << separator << member.name << " = " << member.value;
      separator = ", ";
    }
    out << "\n";
  }
}

Json OpsJson(const ClassDescription& info) {
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
    operations.push_back(std::move(op));
  }
  json["operations"] = std::move(operations);
  if (IsEnumsClass(info)) {
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

int RunCall(std::string_view target, const std::vector<std::string>& assignments, std::ostream& out,
            std::istream& in) {
  const Target call = ResolveTarget(target);
  std::vector<Variant> args = BuildArguments(*call.method, assignments, in);

  Json document = Json::object();
  try {
    ObjectPtr object = CreateObject(call.type->metadata->prog_id);
    // The dispatcher converts every argument before the operation starts, so an argument of the
    // wrong type fails here the way late binding does: the operation never runs.
    Variant result = object->Invoke(call.method->name, args);
    Json byref = Json::object();
    for (std::size_t i = 0; i < call.method->parameters.size(); ++i) {
      if (call.method->parameters[i].by_ref)
        byref[call.method->parameters[i].name] = ToJson(args[i]);
    }
    document["result"] = ToJson(result);
    document["byref"] = std::move(byref);
  } catch (...) {
    out << Dump(ErrorJson(CurrentError().Info())) << '\n';
    return kExitFailed;
  }
  out << Dump(document) << '\n';
  return kExitOk;
}

int RunOps(std::string_view class_name, bool json, std::ostream& out) {
  std::vector<const ClassDescription*> classes;
  if (class_name.empty()) {
    for (const ClassDescription& info : DescribeClasses()) classes.push_back(&info);
  } else {
    classes.push_back(&ResolveClass(class_name));
  }
  if (json) {
    Json list = Json::array();
    for (const ClassDescription* info : classes) list.push_back(OpsJson(*info));
    out << Dump(Json::object({{"classes", std::move(list)}})) << '\n';
    return kExitOk;
  }
  bool first = true;
  for (const ClassDescription* info : classes) {
    if (!first) out << '\n';
    first = false;
    OpsText(*info, out);
  }
  return kExitOk;
}

int RunSchema(std::string_view provider, std::ostream& out) {
  if (text::EqualsNoCase(provider, "sqlite")) {
    out << model::SchemaScript(model::SchemaProvider::SQLite);
  } else if (text::EqualsNoCase(provider, "postgresql")) {
    out << model::SchemaScript(model::SchemaProvider::PostgreSQL);
  } else {
    throw UsageError(
        fmt::format("unknown provider \"{}\" (providers: sqlite, postgresql)", provider));
  }
  return kExitOk;
}

}  // namespace carvalen::cli
