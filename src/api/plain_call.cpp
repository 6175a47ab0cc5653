// The plain form of the call path: the same target resolution, argument arrangement and
// operation as the typed form, with plain arguments, a plain answer and the plain error object.
#include <fmt/format.h>

#include <algorithm>

#include "api/call.hpp"
#include "api/host.hpp"
#include "api/plain_codec.hpp"
#include "carvalen/component.hpp"
#include "carvalen/error.hpp"
#include "db/client.hpp"
#include "model/classes.hpp"
#include "value/error_text.hpp"
#include "value/text.hpp"

namespace carvalen::api {
namespace {

// The errors that say the database or its configuration cannot be reached: the service answers
// 503 for them, since the caller can do nothing but try later.
bool Unreachable(std::int32_t number) {
  if (number == errnum::kNoConfigurationStore || number == db::dberr::kPoolTimeout ||
      number == db::dberr::kProviderNotFound) {
    return true;
  }
  constexpr std::int32_t kSqliteCantOpen = 14;
  // PostgreSQL's SQLSTATE classes 08 (connection) and 57 (operator intervention) are packed six
  // bits a character, first character lowest.
  const auto state_class = static_cast<std::uint32_t>(number) & 0xFFFu;
  return (number & 0xFF) == kSqliteCantOpen || state_class == (8u << 6) ||
         state_class == (5u | (7u << 6));
}

int StatusOf(std::int32_t number) {
  if (number == errnum::kLineMissing || number == errnum::kHeaderMissing ||
      number == errnum::kBisMissing) {
    return 404;
  }
  return Unreachable(number) ? 503 : 422;
}

std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

// The argument of the parameter `name`, as text, or "?" when the call has none.
std::string Given(const Target& target, const std::vector<Variant>& args, std::string_view name) {
  const auto& params = target.method->parameters;
  for (std::size_t i = 0; i < params.size() && i < args.size(); ++i) {
    if (!text::EqualsNoCase(params[i].name, name)) continue;
    try {
      return args[i].ToString();
    } catch (const std::exception&) {
      break;
    }
  }
  return "?";
}

std::string Message(const Target& target, const std::vector<Variant>& args, const ErrorInfo& info) {
  const std::string header = Given(target, args, "i_lContractHeaderID");
  const std::string line = Given(target, args, "i_lContractLineID");
  switch (info.Number) {
    case errnum::kLineMissing:
      return fmt::format("contract line {} of contract {} not found", line, header);
    case errnum::kHeaderMissing:
      return fmt::format("contract {} not found", header);
    case errnum::kBisMissing:
      return fmt::format("back-end status record {} of contract line {} of contract {} not found",
                         Given(target, args, "i_lBISId"), line, header);
    case errnum::kNoConfigurationStore:
      return OneLine("no configuration store: " + MissingStoreText());
    default:
      break;
  }
  std::string message = text::SplitDescription(info.Description).message;
  if (message.empty()) message = std::string(ErrorCode(info.Number));
  return OneLine(std::move(message));
}

std::string ErrorText(std::string_view code, std::string_view message, std::int32_t number,
                      std::string_view operation, std::string_view parameter) {
  Json error = Json::object(
      {{"code", code}, {"message", message}, {"number", number}, {"operation", operation}});
  if (!parameter.empty()) error["parameter"] = parameter;
  return Dump(Json::object({{"error", std::move(error)}}));
}

std::string OperationName(const Target& target) {
  return fmt::format("{}.{}", target.type->metadata->name, target.method->name);
}

}  // namespace

CallOutcome PlainError(std::string_view operation, const ErrorInfo& info) {
  std::string message = text::SplitDescription(info.Description).message;
  if (message.empty()) message = std::string(ErrorCode(info.Number));
  CallOutcome outcome(kCallFailed, ErrorText(ErrorCode(info.Number), OneLine(std::move(message)),
                                             info.Number, operation, {}));
  outcome.operation = operation;
  outcome.http_status = StatusOf(info.Number);
  outcome.description = info.Description;
  return outcome;
}

CallOutcome PlainUsage(std::string_view operation, std::string_view message,
                       std::string_view parameter, std::int32_t number) {
  CallOutcome outcome(kCallUsage,
                      ErrorText(number == 0 ? "UsageError" : ErrorCode(number),
                                OneLine(std::string(message)), number, operation, parameter));
  outcome.operation = operation;
  outcome.http_status = 400;
  return outcome;
}

CallOutcome InvokePlain(const Target& target, std::vector<Variant> args, std::size_t max_answer) {
  std::string text;
  CallOutcome outcome;
  outcome.operation = OperationName(target);
  try {
    ObjectPtr object = CreateObject(target.type->metadata->prog_id);
    const Object& created = *object;
    Variant result = typeid(created) == *target.own_class->type
                         ? target.member->invoke(*object, args)
                         : object->Invoke(target.method->name, args);
    text = "{\"result\": ";
    AppendPlainAnswer(result, *target.method, args, text, max_answer);
    text += ", \"byref\": {";
    bool first = true;
    const auto& params = target.method->parameters;
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (!params[i].by_ref) continue;
      if (!first) text += ", ";
      first = false;
      AppendJson(Variant(params[i].name), text);
      text += ": ";
      AppendPlain(args[i], text, max_answer);
    }
    text += "}}";
    CheckAnswerSize(text, max_answer);
    outcome.status = kCallOk;
    outcome.text = std::move(text);
    outcome.http_status = 200;
  } catch (...) {
    std::string().swap(text);
    const ErrorInfo info = CurrentError().Info();
    outcome.status = kCallFailed;
    outcome.text = ErrorText(ErrorCode(info.Number), Message(target, args, info), info.Number,
                             outcome.operation, {});
    outcome.http_status = StatusOf(info.Number);
    outcome.description = info.Description;
  }
  return outcome;
}

CallOutcome CallWithPlainJson(std::string_view target, std::string_view arguments_json,
                              const Limits& limits) {
  std::string operation;
  CallOutcome outcome;
  try {
    const Target resolved = ResolveTarget(target);
    operation = OperationName(resolved);
    NamedArguments named;
    if (!arguments_json.empty()) {
      const Json arguments = ParseJson(arguments_json, limits.max_entries);
      if (!arguments.is_object()) {
        throw UsageError("the arguments are a JSON object of NAME: value");
      }
      for (const auto& item : arguments.items()) {
        const ParameterDescription& param = ResolveParameter(*resolved.method, item.key());
        named.emplace_back(&param, FromPlain(param, item.value()));
      }
    }
    outcome = InvokePlain(resolved, ArrangeArguments(*resolved.method, std::move(named)),
                          limits.max_answer);
  } catch (const PlainRefusal& e) {
    outcome = PlainUsage(operation, e.what(), e.Parameter(), e.Number());
  } catch (const UsageError& e) {
    outcome = PlainUsage(operation, e.what());
  }
  if (arguments_json.size() + outcome.text.size() >= kLargeCall) GiveBackMemory();
  return outcome;
}

}  // namespace carvalen::api
