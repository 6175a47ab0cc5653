#include "service/tokens.hpp"

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>

#include "api/host.hpp"
#include "carvalen/settings.hpp"
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

}  // namespace

std::string MisspelledTokensKey() {
  const std::optional<api::StoreMisspelling> found = api::FindMisspelling(kSection, kKey);
  if (!found) return {};
  return fmt::format(
      "configuration store {} has {}, which is not read: the service's tokens are key {} of "
      "[{}], named exactly so",
      found->store, found->spelled, kKey, kSection);
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
  const std::optional<std::string> stored = api::StoreValue(kSection, kKey);
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
