// The C interface: a thin face over the shared call path. Decoding, dispatch and encoding all
// happen in src/api, so a document from here is byte for byte what `carvalen call` prints.
#include "carvalen/carvalen.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "api/call.hpp"
#include "api/json_codec.hpp"
#include "carvalen/error.hpp"
#include "carvalen/settings.hpp"
#include "carvalen/version.hpp"

namespace {

using carvalen::api::CallOutcome;

// The tool reads its environment once before anything runs; a host loading the library gets the
// same on its first call, whichever thread makes it.
// The limits come from the environment at that same moment and hold for the process's life.
const carvalen::api::Limits& InitialiseOnce() {
  static std::once_flag once;
  static carvalen::api::Limits limits;
  std::call_once(once, [] {
    carvalen::LoadSettingsFromEnvironment();
    limits = carvalen::api::LimitsFromEnvironment();
  });
  return limits;
}

// A copy the caller releases with carvalen_free: a plain malloc'd C buffer, so that what a foreign
// caller holds owns no C++ object and carvalen_free is a bare free().
char* CopyOut(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// Runs `produce` (returning a CallOutcome) and stores its document. Whatever escapes it, out of
// memory above all, is reported the way the tool reports a failure (status 1 with the error's
// number and text); only when even that document cannot be made is *out_json left NULL.
template <typename Produce>
int Deliver(char** out_json, Produce produce, char** out_description = nullptr) noexcept {
  if (out_json == nullptr) return CARVALEN_USAGE;
  *out_json = nullptr;
  if (out_description != nullptr) *out_description = nullptr;
  try {
    const CallOutcome outcome = produce(InitialiseOnce());
    *out_json = CopyOut(outcome.text);
    if (out_description != nullptr && !outcome.description.empty()) {
      try {
        *out_description = CopyOut(outcome.description);
      } catch (...) {
        std::free(std::exchange(*out_json, nullptr));
        throw;
      }
    }
    return outcome.status;
  } catch (...) {
    try {
      *out_json =
          CopyOut(carvalen::api::Dump(carvalen::api::ErrorJson(carvalen::CurrentError().Info())));
      return CARVALEN_FAILED;
    } catch (...) {
      return CARVALEN_NO_MEMORY;
    }
  }
}

}  // namespace

extern "C" {

int carvalen_call(const char* target, const char* arguments_json, char** out_json) {
  return Deliver(out_json, [&](const carvalen::api::Limits& limits) -> CallOutcome {
    if (target == nullptr) {
      return {carvalen::api::kCallUsage, carvalen::api::Dump(carvalen::api::UsageJson(
                                             "the target is <Class>.<Operation>, not NULL"))};
    }
    return carvalen::api::CallWithJson(
        target, arguments_json == nullptr ? std::string_view() : std::string_view(arguments_json),
        limits);
  });
}

int carvalen_call_plain_described(const char* target, const char* arguments_json, char** out_json,
                                  char** out_description) {
  return Deliver(
      out_json,
      [&](const carvalen::api::Limits& limits) -> CallOutcome {
        if (target == nullptr) {
          return carvalen::api::PlainUsage({}, "the target is <Class>.<Operation>, not NULL");
        }
        return carvalen::api::CallWithPlainJson(
            target,
            arguments_json == nullptr ? std::string_view() : std::string_view(arguments_json),
            limits);
      },
      out_description);
}

int carvalen_call_plain(const char* target, const char* arguments_json, char** out_json) {
  return carvalen_call_plain_described(target, arguments_json, out_json, nullptr);
}

int carvalen_operations(char** out_json) {
  return Deliver(out_json, [](const carvalen::api::Limits& /*limits*/) {
    return CallOutcome{carvalen::api::kCallOk,
                       carvalen::api::Dump(carvalen::api::OperationsJson())};
  });
}

void carvalen_free(char* json) { std::free(json); }

const char* carvalen_version(void) { return carvalen::kVersion; }

}  // extern "C"
