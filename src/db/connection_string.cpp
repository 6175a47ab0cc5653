#include "db/connection_string.hpp"

#include <charconv>

#include "db/errors.hpp"
#include "value/text.hpp"

namespace carvalen::db {
namespace {

using text::AsciiLower;
using text::IsBlank;
using text::TrimBlanks;

/// Lower case with runs of inner blanks made one space, so "Data  Source" is "data source".
std::string NormaliseKey(std::string_view key) {
  std::string out;
  bool blank = false;
  for (char c : TrimBlanks(key)) {
    if (IsBlank(c)) {
      blank = true;
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += text::LowerChar(c);
  }
  return out;
}

[[noreturn]] void Malformed(const std::string& detail) {
  throw LayerError(dberr::kInvalidArgument, "Invalid connection string: " + detail);
}

/// One `Key=Value` item as written.
struct Item {
  std::string key;  // normalised
  std::string value;
};

/// Splits `text` into items; `lenient` skips what does not parse instead of failing.
std::vector<Item> Split(std::string_view text, bool lenient,
                        std::vector<std::size_t>* value_spans) {
  std::vector<Item> items;
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n) {
    std::size_t end_key = pos;
    while (end_key < n && text[end_key] != '=' && text[end_key] != ';') ++end_key;
    std::string_view raw_key = text.substr(pos, end_key - pos);
    if (end_key == n || text[end_key] == ';') {
      if (!TrimBlanks(raw_key).empty() && !lenient) {
        Malformed("the item '" + std::string(TrimBlanks(raw_key)) +
                  "' is not of the form Key=Value");
      }
      pos = end_key + 1;
      continue;
    }
    std::string key = NormaliseKey(raw_key);
    if (key.empty() && !lenient) Malformed("an item has a value but no key");
    std::size_t v = end_key + 1;
    while (v < n && IsBlank(text[v])) ++v;
    std::string value;
    std::size_t value_begin = v;
    std::size_t next = v;
    if (v < n && text[v] == '"') {
      std::size_t i = v + 1;
      bool closed = false;
      while (i < n) {
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            value += '"';
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        value += text[i++];
      }
      if (!closed && !lenient) Malformed("the value of '" + key + "' lacks its closing quote");
      std::size_t value_end = i;
      while (i < n && IsBlank(text[i])) ++i;
      if (i < n && text[i] != ';' && !lenient) {
        Malformed("unexpected text after the quoted value of '" + key + "'");
      }
      while (i < n && text[i] != ';') ++i;
      if (value_spans) {
        value_spans->push_back(value_begin);
        value_spans->push_back(value_end);
      }
      next = i + 1;
    } else {
      std::size_t i = v;
      while (i < n && text[i] != ';') ++i;
      value = std::string(TrimBlanks(text.substr(v, i - v)));
      if (value_spans) {
        value_spans->push_back(value_begin);
        value_spans->push_back(value_begin + value.size());
      }
      next = i + 1;
    }
    items.push_back({std::move(key), std::move(value)});
    pos = next;
  }
  return items;
}

bool ParseBool(const std::string& value, bool& out) {
  std::string v = AsciiLower(value);
  if (v == "true" || v == "yes" || v == "1") {
    out = true;
    return true;
  }
  if (v == "false" || v == "no" || v == "0") {
    out = false;
    return true;
  }
  return false;
}

/// A generic key's whole number of 0 or more.
std::int32_t Count(const std::string& value, const char* key) {
  std::int32_t n = 0;
  const char* first = value.data();
  const char* last = first + value.size();
  auto [ptr, ec] = std::from_chars(first, last, n);
  if (ec != std::errc() || ptr != last || n < 0) {
    Malformed(std::string(key) + " must be a whole number of 0 or more, not '" + value + "'");
  }
  return n;
}

}  // namespace

std::optional<std::string> ParsedConnection::Find(std::string_view key) const {
  for (const auto& [k, v] : keys) {
    if (k == key) return v;
  }
  return std::nullopt;
}

void ParsedConnection::Set(std::string_view key, std::string value) {
  for (auto& [k, v] : keys) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  keys.emplace_back(std::string(key), std::move(value));
}

std::string ParsedConnection::Canonical() const {
  // Length-prefixed values, so no value can fake a separator.
  std::string out = provider == ProviderKind::SQLite ? "sqlite" : "postgresql";
  for (const auto& [k, v] : keys) {
    out += '\n';
    out += k;
    out += '=';
    out += std::to_string(v.size());
    out += ':';
    out += v;
  }
  // Sessions with and without prepared statements are pooled apart.
  out += "\nstatement cache size=" + std::to_string(statement_cache_size);
  return out;
}

ParsedConnection ParseConnectionString(std::string_view text) {
  ParsedConnection settings;
  std::optional<std::string> provider;
  for (Item& item : Split(text, false, nullptr)) {
    if (item.key == "provider") {
      provider = std::move(item.value);
    } else if (item.key == "pooling") {
      if (!ParseBool(item.value, settings.pooling)) {
        Malformed("Pooling must be True or False, not '" + item.value + "'");
      }
    } else if (item.key == "max pool size") {
      settings.max_pool_size = Count(item.value, "Max Pool Size");
    } else if (item.key == "connection lifetime") {
      settings.connection_lifetime = Count(item.value, "Connection Lifetime");
    } else if (item.key == "statement cache size") {
      settings.statement_cache_size = Count(item.value, "Statement Cache Size");
    } else {
      settings.Set(item.key, std::move(item.value));
    }
  }
  if (!provider || provider->empty()) {
    throw LayerError(dberr::kProviderNotFound, std::string(kTextProviderNotFound) +
                                                   " The connection string names no Provider.");
  }
  if (text::EqualsNoCase(*provider, "SQLite")) {
    settings.provider = ProviderKind::SQLite;
  } else if (text::EqualsNoCase(*provider, "PostgreSQL")) {
    settings.provider = ProviderKind::PostgreSQL;
  } else {
    throw LayerError(dberr::kProviderNotFound,
                     std::string(kTextProviderNotFound) + " Unknown Provider '" + *provider +
                         "'; the known providers are SQLite and PostgreSQL.");
  }
  return settings;
}

std::string MaskPassword(std::string_view text) {
  std::vector<std::size_t> spans;
  std::vector<Item> items = Split(text, true, &spans);
  std::string out(text);
  // Replace from the back so earlier offsets stay valid.
  for (std::size_t i = items.size(); i-- > 0;) {
    if (items[i].key == "password" || items[i].key == "pwd") {
      std::size_t begin = spans[2 * i], end = spans[2 * i + 1];
      out.replace(begin, end - begin, "***");
    }
  }
  return out;
}

}  // namespace carvalen::db
