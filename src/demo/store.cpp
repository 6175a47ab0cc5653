#include "demo/store.hpp"

#include <fmt/format.h>

#include <system_error>

#include "demo/demo.hpp"

namespace carvalen::demo {
namespace {

namespace fs = std::filesystem;

std::string TomlString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      out += fmt::format("\\u{:04X}", byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string StoreText(const fs::path& database) {
  std::string path = database.string();
  if (path.find('"') != std::string::npos) {
    throw DemoError("a folder whose path holds '\"' cannot be named in a connection string");
  }
  // A value holding ';' is quoted in a connection string.
  if (path.find(';') != std::string::npos) path = "\"" + path + "\"";
  return StoreTextFor("Provider=SQLite;Data Source=" + path);
}

std::string StoreTextFor(const std::string& connection) {
  return fmt::format(
      "# Configuration store of the Carvalen demo, written by `carvalen init-demo`.\n"
      "[ConnectionStrings]\n"
      "EContract = {}\n"
      "\n"
      "[CONNECTIONS]\n"
      "EContractConnection_CommandTimeout = \"30\"\n"
      "EContractConnection_ConnectionTimeout = \"15\"\n",
      TomlString(connection));
}

void PartialFile::Remove() {
  std::error_code ignored;
  fs::remove(path_, ignored);
}

}  // namespace carvalen::demo
