// The typed-JSON decoder on arbitrary bytes. The one-pass reader must agree with the document
// decoder on every input: the same value or the same usage error, also when it may read a bulk
// request in its compact form; the direct writer must print what the document writer prints;
// and what is printed must read back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "api/json_codec.hpp"
#include "carvalen/dictionary.hpp"
#include "contract/bulk_pricing.hpp"

namespace {

using namespace carvalen;

// The printed value, or "!" and the usage error's message.
std::string Outcome(auto decode) {
  try {
    return api::Dump(api::ToJson(decode()));
  } catch (const api::UsageError& e) {
    return std::string("!") + e.what();
  }
}

// A failed check names its line before the fuzzer reports the input.
void Check(bool holds, int line = __builtin_LINE()) {
  if (holds) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  __builtin_trap();
}

// A compact request holds what the dictionary the document decoder made holds.
void CheckCompact(const Variant& compact, const Variant& full) {
  const auto& asks = static_cast<const contract::PricingRequest&>(*compact.GetObject()).Asks();
  const auto dictionary = full.As<Dictionary>();
  Check(dictionary->Entries().size() == asks.size());
  for (std::size_t i = 0; i < asks.size(); ++i) {
    const auto& [key, item] = dictionary->Entries()[i];
    Check(key.ToLong() == asks[i].product);
    Check(item.GetArray().At(0).ToLong() == asks[i].partner);
    Check(item.GetArray().At(1).ToDouble() == asks[i].quantity);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const api::Limits limits{64};  // small enough for inputs to cross it
  const std::string by_document =
      Outcome([&] { return api::FromJson(api::ParseJson(text, limits.max_entries)); });
  Check(Outcome([&] { return api::ParseValue(text, limits); }) == by_document);

  Variant pricing;
  try {
    pricing = api::ParseValue(text, limits, true);
  } catch (const api::UsageError& e) {
    Check(std::string("!") + e.what() == by_document);
  }
  if (pricing.Type() == VarType::Object &&
      dynamic_cast<const contract::PricingRequest*>(pricing.GetObject().get()) != nullptr) {
    CheckCompact(pricing, api::FromJson(api::ParseJson(text, limits.max_entries)));
  }
  if (by_document.starts_with('!')) return 0;

  const Variant value = api::ParseValue(text, limits);
  std::string direct;
  api::AppendJson(value, direct);
  Check(direct == by_document);
  // What the tool prints, it must read back.
  Check(Outcome([&] { return api::ParseValue(by_document); }) == by_document);
  return 0;
}
