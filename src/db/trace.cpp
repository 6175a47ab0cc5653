#include "db/trace.hpp"

#include <atomic>
#include <charconv>
#include <nlohmann/json.hpp>

#include "carvalen/settings.hpp"

namespace carvalen::db {
namespace {

using Json = nlohmann::ordered_json;

Json Head(std::int64_t conn, const char* event) {
  Json j;
  j["conn"] = conn;
  j["event"] = event;
  return j;
}

Json RestrictionJson(const Variant& v) {
  if (v.IsNull() || v.IsEmpty() || v.IsMissing()) return nullptr;
  try {
    return v.ToString();
  } catch (...) {
    return v.TypeName();
  }
}

// A failed event's error, last on its line.
void AddError(Json& j, const Error* error) {
  if (!error) return;
  j["error"] =
      std::to_string(error->Number()) + " " + error->Source() + ": " + error->Description();
}

}  // namespace

std::shared_ptr<TraceSink> TraceSink::Configured() {
  const std::string path = GetSetting(Setting::SqlTrace);
  if (path.empty()) return nullptr;
  auto sink = std::make_shared<TraceSink>(path);
  return sink->file_.Good() ? sink : nullptr;
}

void TraceSink::WriteLine(std::string line) {
  line += '\n';
  // A short write to a regular file only happens when the disk is full, and then the trace is
  // lost anyway.
  (void)file_.Append(line);
}

void TraceSink::Open(std::int64_t conn, const std::string& connection_string, const Error* error,
                     const Placement* placement) {
  Json j = Head(conn, "open");
  j["sql"] = connection_string;
  if (placement != nullptr && !placement->host.empty()) {
    j["host"] = placement->host;
    // A number, as ports are written; text only if libpq ever reported something else.
    int port = 0;
    const std::string& text = placement->port;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec == std::errc() && ptr == text.data() + text.size()) {
      j["port"] = port;
    } else {
      j["port"] = text;
    }
  }
  AddError(j, error);
  WriteLine(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void TraceSink::Statement(std::int64_t conn, const char* event, const std::string& sql,
                          const Error* error) {
  Json j = Head(conn, event);
  j["sql"] = sql;
  AddError(j, error);
  WriteLine(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void TraceSink::Schema(std::int64_t conn, const std::string& sql, const Variant& table,
                       const Variant& column, const Error* error) {
  Json j = Head(conn, "schema");
  j["sql"] = sql;
  j["table"] = RestrictionJson(table);
  j["column"] = RestrictionJson(column);
  AddError(j, error);
  WriteLine(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void TraceSink::Close(std::int64_t conn) {
  WriteLine(Head(conn, "close").dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::int64_t NextTraceId() {
  static std::atomic<std::int64_t> counter{0};
  return ++counter;
}

}  // namespace carvalen::db
