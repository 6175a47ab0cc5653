// The tool's commands, apart from argument parsing: each writes its output to `out` and returns
// the exit status; mistakes in what the user typed are thrown as UsageError (exit status 2).
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "api/call.hpp"

namespace carvalen::cli {

using api::UsageError;
inline constexpr int kExitOk = api::kCallOk;
inline constexpr int kExitFailed = api::kCallFailed;  // the operation raised an error
inline constexpr int kExitUsage = api::kCallUsage;

/// `call <Class>.<Operation> [NAME=VALUE]...`: one JSON document, the result or the error.
/// VALUE `@PATH` reads the JSON text from the file PATH, `@-` (once at most) from `in`. When
/// `people` is set, a failure is also told there in one line saying what and where.
int RunCall(std::string_view target, const std::vector<std::string>& assignments,
            const api::Limits& limits, std::ostream& out, std::istream& in,
            std::ostream* people = nullptr);

/// `call --plain <Class>.<Operation> [NAME=VALUE]...`: VALUE in plain JSON, the answer or the
/// error in the plain form; a usage error is the plain error document too (exit status 2).
int RunPlainCall(std::string_view target, const std::vector<std::string>& assignments,
                 const api::Limits& limits, std::ostream& out, std::istream& in);

/// `ops [<Class>]`: the classes' operations and parameters, as text or as JSON.
int RunOps(std::string_view class_name, bool json, std::ostream& out);

/// `schema --provider sqlite|postgresql`: the DDL of the contract tables.
int RunSchema(std::string_view provider, std::ostream& out);

}  // namespace carvalen::cli
