#include "cli/commands.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include <sys/stat.h>

#include "api/call.hpp"
#include "api/host.hpp"
#include "api/plain_codec.hpp"
#include "carvalen/component.hpp"
#include "carvalen/enums.hpp"
#include "carvalen/error.hpp"
#include "carvalen/operations.hpp"
#include "cli/explain.hpp"
#include "value/text.hpp"

namespace carvalen::cli {

using namespace api;

namespace {

// Where an argument's JSON text came from: the command line, a file (@PATH) or stdin (@-).
struct ArgumentText {
  std::string text;
  std::string origin;  // empty for the command line; the file name, or "standard input"
};

// The most an argument file (or standard input) may hold: ample for a bulk request of 100,000
// entries (about 5 MB), small enough that reading and parsing it cannot exhaust the machine.
constexpr std::size_t kMaxArgumentBytes = std::size_t{64} << 20;

std::string TooLarge(std::string_view origin) {
  return fmt::format("{} is larger than the {} MiB an argument may hold", origin,
                     kMaxArgumentBytes >> 20);
}

// Reads at most kMaxArgumentBytes; a pipe or a device (/dev/zero) has no size to check first, so
// the count is kept while reading too.
std::string ReadBounded(std::FILE* file, std::string_view origin, std::size_t expected = 0) {
  std::string text;
  // A file's size is known: one allocation of it, not growth by doubling to twice its size.
  text.reserve(std::min(expected, kMaxArgumentBytes));
  char buffer[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text.size() + got > kMaxArgumentBytes) throw UsageError(TooLarge(origin));
    text.append(buffer, got);
  }
  // A directory opens but does not read.
  if (std::ferror(file)) {
    throw UsageError(fmt::format("cannot read {}: {}", origin, std::strerror(errno)));
  }
  return text;
}

std::string ReadWhole(const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             &std::fclose);
  if (!file) throw UsageError(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
  // A regular file too large is refused before a byte of it is read.
  struct stat info {};
  if (::fstat(::fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uintmax_t>(info.st_size) > kMaxArgumentBytes) {
    throw UsageError(TooLarge(path));
  }
  const bool regular = S_ISREG(info.st_mode);
  return ReadBounded(file.get(), path, regular ? static_cast<std::size_t>(info.st_size) : 0);
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
    std::string text;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      const auto got = static_cast<std::size_t>(in.gcount());
      if (text.size() + got > kMaxArgumentBytes) {
        throw UsageError(fmt::format("{}: {}", param.name, TooLarge("standard input")));
      }
      text.append(buffer, got);
    }
    if (in.bad()) throw UsageError(fmt::format("{}: cannot read standard input", param.name));
    return {std::move(text), "standard input"};
  }
  try {
    return {ReadWhole(path), path};
  } catch (const UsageError& e) {
    throw UsageError(fmt::format("{}: {}", param.name, e.what()));
  }
}

Variant ParseArgumentText(const Target& target, const ParameterDescription& param,
                          const ArgumentText& argument, const Limits& limits) {
  const std::string_view value = argument.text;
  try {
    return ParseArgument(target, param, value, limits);
  } catch (const UsageError& e) {
    std::string message = e.what();
    if (!argument.origin.empty()) {
      // Name the file rather than echo what may be megabytes of it.
      const std::string echoed = fmt::format("bad JSON {}", EchoJson(value));
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

std::vector<Variant> BuildArguments(const Target& target,
                                    const std::vector<std::string>& assignments,
                                    const Limits& limits, std::istream& in, bool plain = false) {
  const OperationDescription& method = *target.method;
  NamedArguments given;
  bool stdin_taken = false;
  for (const std::string& assignment : assignments) {
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError(fmt::format("expected NAME=VALUE, not \"{}\"", assignment));
    }
    const std::string_view name(assignment.data(), equals);
    const std::string_view value = std::string_view(assignment).substr(equals + 1);
    const ParameterDescription& param = ResolveParameter(method, name);
    if (plain) {
      const ArgumentText argument = ResolveArgument(param, value, in, stdin_taken);
      given.emplace_back(&param, FromPlain(param, ParseJson(argument.text, limits.max_entries)));
      continue;
    }
    // The text of a file argument lives only while it is decoded.
    given.emplace_back(
        &param,
        ParseArgumentText(target, param, ResolveArgument(param, value, in, stdin_taken), limits));
  }
  return ArrangeArguments(method, std::move(given));
}

std::string ParamText(const ParameterDescription& param) {
  std::string text =
      fmt::format("{}{} As {}", param.by_ref ? "ByRef " : "", param.name, TypeName(param.type));
  if (!param.optional) return text;
  if (!param.default_value.IsMissing()) text += " = " + Dump(ToJson(param.default_value));
  return "[" + text + "]";
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

// The answer's layout: its shape, what it is, its key and the name of each position.
void AnswerText(const ResultDescription& answer, std::ostream& out) {
  out << "Answer (" << ShapeName(answer.shape) << "): " << answer.summary << "\n";
  if (!answer.key_type.empty()) out << "  key (" << answer.key_type << "): " << answer.key << "\n";
  for (std::size_t i = 0; i < answer.positions.size(); ++i) {
    out << "  " << i << " " << answer.positions[i] << "\n";
  }
  if (!answer.positions_from.empty()) {
    out << "  positions named by the elements of " << answer.positions_from << "\n";
  }
}

// One operation: its signature, each parameter on a line of its own with what it means, then
// what it does, its answer and the errors it raises of its own.
int OneOperation(std::string_view name, bool json, std::ostream& out) {
  const Target target = ResolveTarget(name);
  const std::string class_name(target.type->metadata->name);
  const std::string operation(target.method->name);
  if (json) {
    Json listed = OperationsJson(class_name);
    for (Json& op : listed["classes"][0]["operations"]) {
      if (op["name"] == operation) {
        out << Dump(Json::object({{"class", class_name}, {"operation", op}})) << '\n';
      }
    }
    return kExitOk;
  }
  const OperationDescription& method = *target.method;
  out << class_name << "." << operation << " As " << method.result << "\n";
  for (const ParameterDescription& param : method.parameters) {
    out << "  " << ParamText(param) << "  (" << param.plain << ") " << param.summary << "\n";
  }
  if (method.parameters.empty()) out << "  (no parameters)\n";
  out << method.summary << "\n";
  AnswerText(method.answer, out);
  for (const ErrorDescription& error : method.raises) {
    out << "Raises " << fmt::format("0x{:08X}", static_cast<std::uint32_t>(error.number)) << " ("
        << error.number << ") " << ErrorCode(error.number) << ": " << error.when << "\n";
  }
  return kExitOk;
}

}  // namespace

int RunPlainCall(std::string_view target, const std::vector<std::string>& assignments,
                 const Limits& limits, std::ostream& out, std::istream& in) {
  std::string operation;
  CallOutcome outcome;
  try {
    const Target call = ResolveTarget(target);
    operation = fmt::format("{}.{}", call.type->metadata->name, call.method->name);
    outcome = InvokePlain(call, BuildArguments(call, assignments, limits, in, true));
  } catch (const api::PlainRefusal& e) {
    outcome = PlainUsage(operation, e.what(), e.Parameter(), e.Number());
  } catch (const UsageError& e) {
    outcome = PlainUsage(operation, e.what());
  }
  out << outcome.text << '\n';
  return outcome.status;
}

int RunCall(std::string_view target, const std::vector<std::string>& assignments,
            const Limits& limits, std::ostream& out, std::istream& in, std::ostream* people) {
  const Target call = ResolveTarget(target);
  std::vector<Variant> args = BuildArguments(call, assignments, limits, in);
  std::vector<GivenScalar> scalars;
  if (people != nullptr) scalars = Scalars(call, args);
  const CallOutcome outcome = Invoke(call, std::move(args));
  out << outcome.text << '\n';
  if (people != nullptr && outcome.status == kExitFailed) {
    out.flush();
    if (const std::string line = ExplainFailure(call, scalars, outcome.text); !line.empty()) {
      *people << line << '\n';
    }
  }
  return outcome.status;
}

int RunOps(std::string_view class_name, bool json, std::ostream& out) {
  if (class_name.find('.') != std::string_view::npos) return OneOperation(class_name, json, out);
  std::vector<const ClassDescription*> classes;
  if (class_name.empty()) {
    for (const ClassDescription& info : DescribeClasses()) classes.push_back(&info);
  } else {
    classes.push_back(&ResolveClass(class_name));
  }
  if (json) {
    out << Dump(OperationsJson(class_name)) << '\n';
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
  const std::optional<std::string> script = api::SchemaScript(provider);
  if (!script) {
    throw UsageError(
        fmt::format("unknown provider \"{}\" (providers: sqlite, postgresql)", provider));
  }
  out << *script;
  return kExitOk;
}

}  // namespace carvalen::cli
