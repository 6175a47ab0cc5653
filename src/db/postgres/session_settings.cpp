#include "db/postgres/session_settings.hpp"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "db/errors.hpp"
#include "value/text.hpp"

namespace carvalen::db::pg {

Pooler ParsePooler(std::string_view value) {
  if (text::EqualsNoCase(value, "None")) return Pooler::None;
  if (text::EqualsNoCase(value, "Session")) return Pooler::Session;
  if (text::EqualsNoCase(value, "Transaction")) return Pooler::Transaction;
  throw LayerError(dberr::kInvalidArgument,
                   "Invalid connection string: Pooler must be None, Session or Transaction, not '" +
                       std::string(value) + "'.");
}

std::optional<std::vector<ServerSetting>> ServerSettingsOf(std::string_view options) {
  // Split as the server splits its options: at blanks, a backslash keeping the next character.
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const char c = options[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\' && i + 1 < options.size()) {
      word += options[++i];
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));

  std::vector<ServerSetting> settings;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string_view item = words[i];
    if (item == "-c") {
      if (++i == words.size()) return std::nullopt;
      item = words[i];
    } else if (item.starts_with("--") || item.starts_with("-c")) {
      item.remove_prefix(2);
    } else {
      return std::nullopt;
    }
    const std::size_t equals = item.find('=');
    if (equals == 0 || equals == std::string_view::npos) return std::nullopt;
    std::string name(item.substr(0, equals));
    for (char& c : name) {
      if (c == '-') c = '_';
    }
    settings.emplace_back(std::move(name), std::string(item.substr(equals + 1)));
  }
  return settings;
}

bool MentionsQuotingRule(std::string_view options) {
  std::string folded;
  for (char c : options) {
    if (c == '\\') continue;
    folded += c == '-' ? '_' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return folded.find("standard_conforming_strings") != std::string::npos;
}

std::vector<ServerSetting> OurSettings(std::int64_t statement_timeout_ms, const std::string& zone) {
  // Statements are sent prepared for speed, yet each must be planned for its own values as its
  // literal text would be: a generic plan may scan in another order, and where a statement has
  // no full ORDER BY the order decides which row wins.
  return {{"standard_conforming_strings", "on"},
          {"jit", "off"},
          {"plan_cache_mode", "force_custom_plan"},
          {"DateStyle", "ISO"},
          {"extra_float_digits", "1"},
          {"statement_timeout", std::to_string(statement_timeout_ms)},
          {"TimeZone", zone}};
}

std::string LocalOffsetZone() {
  tzset();  // localtime_r need not look at TZ again
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  auto end =
      std::to_chars(text, text + sizeof text, static_cast<double>(local.tm_gmtoff) / 3600).ptr;
  return std::string(text, end);
}

std::string LocalTimeZone() {
  auto zone_of_path = [](std::string_view path) {
    const std::size_t at = path.rfind("zoneinfo/");
    if (at == std::string_view::npos) return std::string();
    path.remove_prefix(at + 9);
    for (std::string_view variant : {"posix/", "right/"}) {
      if (path.starts_with(variant)) path.remove_prefix(variant.size());
    }
    return std::string(path);
  };
  std::string name;
  if (const char* tz = std::getenv("TZ"); tz != nullptr) {
    std::string_view value(tz);
    if (value.starts_with(':')) value.remove_prefix(1);
    name = value.empty()            ? "UTC"
           : value.starts_with('/') ? zone_of_path(value)
                                    : std::string(value);
  } else {
    std::error_code ec;
    name = zone_of_path(std::filesystem::read_symlink("/etc/localtime", ec).string());
    if (name.empty()) {
      std::ifstream file("/etc/timezone");
      std::getline(file, name);
    }
  }
  // A name goes into the startup options as it is: nothing there may need escaping.
  const bool plausible =
      !name.empty() && name.front() != '/' && name.find("..") == std::string::npos &&
      name.find_first_not_of(
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/_+-") ==
          std::string::npos;
  return plausible ? name : LocalOffsetZone();
}

}  // namespace carvalen::db::pg
