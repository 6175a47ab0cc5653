// The one call path every face shares (the tool, the service, the C interface): a target named
// "<Class>.<Operation>", arguments by parameter name, and the typed-JSON document of the outcome.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/operations.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::model {
struct ClassInfo;
}
namespace carvalen::binding {
struct MethodInfo;
}

namespace carvalen::api {

/// Outcome of a call, as the tool's exit status.
inline constexpr int kCallOk = 0;
inline constexpr int kCallFailed = 1;  // the operation raised an error
inline constexpr int kCallUsage = 2;   // the caller named or wrote something wrong

/// An operation found once: its description, and the member that runs it when the class
/// created under its name is the library's own.
struct Target {
  const ClassDescription* type = nullptr;
  const OperationDescription* method = nullptr;
  const model::ClassInfo* own_class = nullptr;
  const binding::MethodInfo* member = nullptr;
};

/// "ContractLine.GetPrice" (or "Carvalen.ContractLine.GetPrice"), without regard to case.
Target ResolveTarget(std::string_view text);
/// A class by name; an unknown one fails with UsageError listing the classes.
const ClassDescription& ResolveClass(std::string_view name);
/// A parameter of `method` by name, without regard to case; an unknown one fails with UsageError.
const ParameterDescription& ResolveParameter(const OperationDescription& method,
                                             std::string_view name);

/// Arguments given by name, in any order; each parameter at most once.
using NamedArguments = std::vector<std::pair<const ParameterDescription*, Variant>>;

/// The argument list in declaration order: optional parameters not given take their default,
/// by-reference ones a zero of their type; a required one missing fails with UsageError.
std::vector<Variant> ArrangeArguments(const OperationDescription& method, NamedArguments given);

struct CallOutcome {
  CallOutcome() = default;
  CallOutcome(int status_in, std::string text_in) : status(status_in), text(std::move(text_in)) {}
  int status = kCallOk;
  /// The one-line document: {"result": V, "byref": {...}}, the error document, or UsageJson.
  std::string text;
  /// "Class.Operation" as the library names it, once the target was resolved; empty before.
  std::string operation;
  /// The plain form's HTTP status (200, 400, 404, 422, 503); 0 for the typed form.
  int http_status = 0;
  /// The plain form's failed operation: its error's own description, as the typed form gives it.
  std::string description;
};

/// The parameter of `target` that takes a bulk-pricing request, or null: its values are read in
/// the compact form and its answer is written as it is priced.
const ParameterDescription* PricingParameter(const Target& target);

/// The value of `param` of `target` from its typed-JSON text.
Variant ParseArgument(const Target& target, const ParameterDescription& param,
                      std::string_view text, const Limits& limits);
/// The arguments of `target` from a JSON object of NAME: value, in the order given.
NamedArguments ParseArguments(const Target& target, std::string_view text, const Limits& limits);

/// Creates the class by name and invokes the operation with every argument in place (as
/// ArrangeArguments gives them); an error it raises becomes the error document (status
/// kCallFailed). Never throws for an operation's error. An answer growing past `max_answer`
/// bytes fails the call with 7 "Out of memory" as it is written.
CallOutcome Invoke(const Target& target, std::vector<Variant> args,
                   std::size_t max_answer = kNoAnswerLimit);

/// The whole path for a JSON object of NAME: value (the service and the C interface). Mistakes
/// in the target or the arguments come back as status kCallUsage with UsageJson.
CallOutcome CallWithJson(std::string_view target, std::string_view arguments_json,
                         const Limits& limits = {});

/// The plain form of the whole path: the arguments as a plain JSON object, the answer as
/// {"result": R, "byref": {...}} in plain JSON, any failure (usage included) as the plain error
/// {"error": {"code", "message", "number", "operation"[, "parameter"]}} with its HTTP status.
/// The operation runs exactly as through CallWithJson.
CallOutcome CallWithPlainJson(std::string_view target, std::string_view arguments_json,
                              const Limits& limits = {});
/// The same for arguments already in place (the tool's NAME=VALUE list).
CallOutcome InvokePlain(const Target& target, std::vector<Variant> args,
                        std::size_t max_answer = kNoAnswerLimit);
/// The plain error document of an error `operation` raised, with its HTTP status.
CallOutcome PlainError(std::string_view operation, const ErrorInfo& info);
/// The plain error document of a usage error; `operation` may be empty.
CallOutcome PlainUsage(std::string_view operation, std::string_view message,
                       std::string_view parameter = {}, std::int32_t number = 0);

/// Calls whose request and answer together reach this many bytes give their freed memory back
/// to the system when they end.
inline constexpr std::size_t kLargeCall = std::size_t{1} << 20;
/// Returns the memory freed by a large call to the system (glibc keeps it in its arenas).
void GiveBackMemory();

/// {"usageError": {"message": M}}: the document of a usage error where no stderr exists.
Json UsageJson(std::string_view message);

/// {"classes": [...]}: classes, operations and parameters; one class when `class_name` is set.
Json OperationsJson(std::string_view class_name = {});

}  // namespace carvalen::api
