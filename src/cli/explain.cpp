#include "cli/explain.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "api/host.hpp"
#include "carvalen/error.hpp"
#include "value/error_text.hpp"

namespace carvalen::cli {
namespace {

// The argument a failed conversion stopped at: the first whose value does not convert to its
// declared type with the same error.
std::string Parameter(std::int32_t number, const std::vector<GivenScalar>& given) {
  for (const GivenScalar& arg : given) {
    try {
      switch (arg.param->type) {
        case ParameterType::Long:
          (void)arg.value.ToLong();
          break;
        case ParameterType::Double:
          (void)arg.value.ToDouble();
          break;
        case ParameterType::Boolean:
          (void)arg.value.ToBool();
          break;
        case ParameterType::Date:
          (void)arg.value.ToDate();
          break;
        case ParameterType::String:
          (void)arg.value.ToString();
          break;
        case ParameterType::Variant:
        case ParameterType::Dictionary:
          break;
      }
    } catch (const Error& error) {
      if (error.Number() != number) continue;
      std::string shown = arg.value.IsNull() ? "Null" : arg.value.ToString();
      if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
      return fmt::format("parameter {} ({}) was given {} \"{}\"", arg.param->name,
                         TypeName(arg.param->type), arg.value.TypeName(), shown);
    } catch (const std::exception&) {
    }
  }
  return {};
}

}  // namespace

std::vector<GivenScalar> Scalars(const api::Target& target, const std::vector<Variant>& args) {
  std::vector<GivenScalar> scalars;
  const auto& params = target.method->parameters;
  for (std::size_t i = 0; i < args.size() && i < params.size(); ++i) {
    if (args[i].IsArray() || args[i].IsObject() || args[i].IsMissing()) continue;
    scalars.push_back({&params[i], args[i]});
  }
  return scalars;
}

std::string ExplainFailure(const api::Target& target, const std::vector<GivenScalar>& given,
                           std::string_view error_document) {
  const nlohmann::json document = nlohmann::json::parse(error_document, nullptr, false);
  if (!document.is_object() || !document.contains("error")) return {};
  const nlohmann::json& error = document["error"];
  const std::int32_t number = error.value("number", 0);
  const std::string source = error.value("source", "");
  const text::DescriptionParts parts = text::SplitDescription(error.value("description", ""));
  // A number of the library's own range reads as the description writes it, in hexadecimal.
  const std::string shown = number < 0 ? fmt::format("0x{:X}", static_cast<std::uint32_t>(number))
                                       : std::to_string(number);
  std::string line =
      fmt::format("carvalen: {}.{} failed: {} (error {}", target.type->metadata->name,
                  target.method->name, parts.message, shown);
  if (parts.methods.size() > 1) line += " in " + parts.methods.back();
  line += ')';

  std::string where;
  if (number == errnum::kNoConfigurationStore) {
    where = api::MissingStoreText();
  } else if (number == errnum::kTypeMismatch || number == errnum::kOverflow ||
             number == errnum::kInvalidUseOfNull) {
    where = Parameter(number, given);
  } else if (source == "SQLite" || source == "PostgreSQL" ||
             (!parts.methods.empty() && parts.methods.back().ends_with("GetSourceConnection"))) {
    where = api::ContractDatabaseText();
  }
  return where.empty() ? line : line + "; " + where;
}

}  // namespace carvalen::cli
