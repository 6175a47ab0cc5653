// Connection strings: `Key=Value` pairs joined by ';', keys without regard to case, blanks around
// keys and values ignored, double quotes around a value that holds ';' (a doubled quote inside
// stands for one). The parser knows only the syntax and our generic keys (Provider, Pooling,
// Max Pool Size, Connection Lifetime, Statement Cache Size); each driver validates the keys that
// are left.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace carvalen::db {

enum class ProviderKind { SQLite, PostgreSQL };

/// A parsed connection string.
struct ParsedConnection {
  ProviderKind provider = ProviderKind::SQLite;
  /// The driver's keys in the order given, lower-cased with inner blanks kept ("data source");
  /// a key given twice keeps its last value at its first place.
  std::vector<std::pair<std::string, std::string>> keys;
  bool pooling = true;
  std::int32_t max_pool_size = 100;
  /// Seconds after its opening at which a physical session stops being pooled (0: no limit), so
  /// that sessions spread again over hosts that came back.
  std::int32_t connection_lifetime = 0;
  /// Prepared statements kept per session, by statement shape (0: none, every text is sent as
  /// it is).
  std::int32_t statement_cache_size = 64;

  /// The value of `key` (lower case), if given.
  std::optional<std::string> Find(std::string_view key) const;
  /// Sets or replaces `key` (lower case).
  void Set(std::string_view key, std::string value);
  /// A canonical text of the provider and keys: equal settings give equal texts.
  std::string Canonical() const;
};

/// Parses `text`; a malformed string, a missing or unknown provider and a bad value of a generic
/// key fail (3001, 3706) with a message naming the culprit.
ParsedConnection ParseConnectionString(std::string_view text);

/// `text` with the value of every Password (or Pwd) key replaced by "***"; never fails, so it
/// can describe a connection string that does not parse.
std::string MaskPassword(std::string_view text);

}  // namespace carvalen::db
