#include "service/tokens.hpp"

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>

#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"
#include "components/contract_settings.hpp"
#include "value/text.hpp"

namespace carvalen::service {
namespace {

constexpr const char* kSection = "Service";
constexpr const char* kKey = "Tokens";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Key Tokens of [Service] in the first store that exists, the one the contract connection comes
// from; nullopt when no store exists, it cannot be read or the key gives no text.
std::optional<std::string> StoreTokens() {
  try {
    const std::shared_ptr<IConfiguration> config =
        std::dynamic_pointer_cast<IConfiguration>(CreateObject(kConfigurationName));
    if (!config) return std::nullopt;
    for (const char* store : settings::kStores) {
      if (!config->StoreExists(store)) continue;
      config->OpenStore(store, 0);
      std::string section = kSection, key = kKey;
      const Variant value = config->GetConfigValue(section, key);
      if (value.IsEmpty()) return std::nullopt;
      return value.ToString();
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::string MisspelledTokensKey() {
  try {
    const auto config =
        std::dynamic_pointer_cast<components::Configuration>(CreateObject(kConfigurationName));
    if (!config) return {};
    for (const char* store : settings::kStores) {
      if (!config->StoreExists(store)) continue;
      config->OpenStore(store, 0);
      const std::string spelled = config->SpelledOtherwise(kSection, kKey);
      if (spelled.empty()) return {};
      return fmt::format(
          "configuration store {} has {}, which is not read: the service's tokens "
          "are key {} of [{}], named exactly so",
          store, spelled, kKey, kSection);
    }
  } catch (...) {
    // A store that cannot be read has nothing to point out.
  }
  return {};
}

std::vector<std::string> SplitTokens(std::string_view text) {
  std::vector<std::string> tokens;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view token = Trim(text.substr(0, comma));
    if (!token.empty()) tokens.emplace_back(token);
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
  }
  return tokens;
}

bool TokenMatches(std::string_view presented, const std::vector<std::string>& tokens) {
  unsigned matched = 0;
  for (const std::string& token : tokens) {
    // Every byte of `presented` is compared, against the token's bytes in turn, so the time
    // spent tells nothing of the token's length or content.
    unsigned diff = presented.size() != token.size() ? 1U : 0U;
    for (std::size_t i = 0; i < presented.size(); ++i) {
      diff |= static_cast<unsigned char>(presented[i]) ^
              static_cast<unsigned char>(token.empty() ? 0 : token[i % token.size()]);
    }
    matched |= static_cast<unsigned>(diff == 0 && !token.empty());
  }
  return !presented.empty() && matched != 0;
}

std::string_view BearerToken(std::string_view authorization) {
  authorization = Trim(authorization);
  constexpr std::string_view kScheme = "Bearer ";
  if (authorization.size() <= kScheme.size() ||
      !text::EqualsNoCase(authorization.substr(0, kScheme.size()), kScheme)) {
    return {};
  }
  return Trim(authorization.substr(kScheme.size()));
}

std::vector<std::string> TokenSource::Current() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    if (now < expires_) return tokens_;
  }
  std::vector<std::string> tokens = SplitTokens(GetSetting(Setting::ServiceTokens));
  const std::optional<std::string> stored = StoreTokens();
  std::lock_guard lock(mutex_);
  // A store being rewritten, truncated, moved or broken by an edit keeps the tokens it had:
  // losing them all would open the service to anyone who can reach it.
  if (stored) store_tokens_ = SplitTokens(*stored);
  tokens.insert(tokens.end(), store_tokens_.begin(), store_tokens_.end());
  tokens_ = tokens;
  expires_ = now + std::chrono::seconds(1);
  return tokens;
}

void TokenSource::Expire() {
  std::lock_guard lock(mutex_);
  expires_ = {};
}

}  // namespace carvalen::service
