// Connection-string parsing on arbitrary bytes: it either parses or fails with the library's
// Error; what it parses, written back as a connection string, parses to the same settings.
// Masking a password never fails, whatever the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "carvalen/error.hpp"
#include "db/connection_string.hpp"

namespace {

std::string Quoted(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    out += c;
    if (c == '"') out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace carvalen;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)db::MaskPassword(text);
  db::ParsedConnection settings;
  try {
    settings = db::ParseConnectionString(text);
  } catch (const Error&) {
    return 0;
  }
  std::string written =
      settings.provider == db::ProviderKind::SQLite ? "Provider=SQLite" : "Provider=PostgreSQL";
  for (const auto& [key, value] : settings.keys) written += ";" + key + "=" + Quoted(value);
  written += settings.pooling ? ";Pooling=True" : ";Pooling=False";
  written += ";Max Pool Size=" + std::to_string(settings.max_pool_size);
  written += ";Statement Cache Size=" + std::to_string(settings.statement_cache_size);
  const db::ParsedConnection again = db::ParseConnectionString(written);
  if (again.Canonical() != settings.Canonical() || again.pooling != settings.pooling ||
      again.max_pool_size != settings.max_pool_size) {
    __builtin_trap();
  }
  return 0;
}
