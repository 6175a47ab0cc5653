// The typed-JSON decoder on arbitrary bytes: it either decodes or fails with a usage error, and
// what it decodes prints as text that decodes to the same value (printed the same again).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "api/json_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace carvalen;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string printed;
  try {
    printed = api::Dump(api::ToJson(api::ParseValue(text)));
  } catch (const api::UsageError&) {
    return 0;
  }
  // What the tool prints, it must read back; a failure here escapes and is reported.
  const std::string again = api::Dump(api::ToJson(api::ParseValue(printed)));
  if (again != printed) __builtin_trap();
  return 0;
}
