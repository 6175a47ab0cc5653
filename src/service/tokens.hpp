// The bearer tokens the service accepts: those of CARVALEN_SERVICE_TOKENS and those of key
// Tokens in table [Service] of the configuration store the library reads its connection from,
// both comma-separated. The store is read again when it changes, as the library reads it; while
// it cannot be read, is gone or gives no tokens (an edit that broke it, truncated it or moved it
// away), the tokens it last gave stay in force.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace carvalen::service {

/// The fewest characters a token may have: shorter ones are guessed; the service refuses to
/// start with one.
inline constexpr std::size_t kMinTokenLength = 16;

/// A warning when the store the tokens come from spells table and key otherwise (`[service]
/// tokens`), which is never read; empty when there is nothing to say.
std::string MisspelledTokensKey();

/// "a, b,,c" -> {"a", "b", "c"}: blanks around a token and empty entries are dropped.
std::vector<std::string> SplitTokens(std::string_view text);

/// Whether `presented` equals one of `tokens`, in a time that depends on the length of
/// `presented` and the number of tokens only, never on where a difference lies.
bool TokenMatches(std::string_view presented, const std::vector<std::string>& tokens);

/// The token of an "Authorization: Bearer <token>" header value; empty when it is not one.
std::string_view BearerToken(std::string_view authorization);

class TokenSource {
 public:
  /// The tokens configured now: the environment's and the store's. Looked up at most once a
  /// second; the store's own cache decides when its file is read again.
  std::vector<std::string> Current();
  /// The next Current() reads the store again at once (a reload asked for by the operator).
  void Expire();

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point expires_{};
  std::vector<std::string> tokens_;        // the environment's and the store's
  std::vector<std::string> store_tokens_;  // as last read from the store
};

}  // namespace carvalen::service
