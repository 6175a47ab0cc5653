// `carvalen init-demo`: builds the database in a partial file (schema, rows, then indexes), puts
// it in place (or copies its rows into PostgreSQL and drops it), then writes the configuration
// store.
#include "demo/demo.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "demo/postgres_load.hpp"
#include "demo/rows.hpp"
#include "demo/store.hpp"
#include "demo/writer.hpp"
#include "model/schema.hpp"

namespace carvalen::demo {
namespace {

namespace fs = std::filesystem;

class ProgressBar {
 public:
  explicit ProgressBar(std::int64_t total) : total_(total) {}
  ~ProgressBar() {
    if (drawn_ >= 0) std::fputc('\n', stderr);
  }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Update(std::int64_t done) {
    const int percent = static_cast<int>(done * 100 / std::max<std::int64_t>(total_, 1));
    if (percent == drawn_) return;
    drawn_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%% %lld/%lld lines", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), percent, static_cast<long long>(done),
                 static_cast<long long>(total_));
    std::fflush(stderr);
  }

 private:
  std::int64_t total_;
  int drawn_ = -1;
};

// The demo's rows in a SQLite file at `file`: schema, rows, then indexes.
void BuildDatabase(const fs::path& file, const DemoOptions& options, DemoSummary& summary) {
  Database db(file);
  // Nothing to protect while loading: a failed load is thrown away as a whole.
  db.Exec("PRAGMA journal_mode=OFF");
  db.Exec("PRAGMA synchronous=OFF");
  db.Exec("PRAGMA locking_mode=EXCLUSIVE");
  db.Exec("PRAGMA cache_size=-65536");
  db.Exec("BEGIN");
  std::vector<std::string> indexes;
  for (const std::string& statement : model::SchemaStatements(model::SchemaProvider::SQLite)) {
    if (statement.starts_with("CREATE INDEX")) {
      indexes.push_back(statement);  // after the data: much faster than keeping them up
    } else {
      db.Exec(statement);
    }
  }
  std::optional<ProgressBar> bar;
  if (options.progress) bar.emplace(options.lines);
  // Its prepared statements are finalised on return, before the indexes and the commit.
  WriteRows(
      db, options.lines,
      [&bar](std::int64_t done) {
        if (bar) bar->Update(done);
      },
      summary);
  for (const std::string& statement : indexes) db.Exec(statement);
  db.Exec("COMMIT");
  db.Exec("ANALYZE");
}

}  // namespace

DemoSummary CreateDemo(const DemoOptions& options) {
  if (options.lines < 1) throw DemoError("--size must be at least 1");
  const bool postgres = !options.connection.empty();
  if (postgres) static_cast<void>(WriterConninfo(options.connection));  // a bad one fails first
  DemoSummary summary;
  std::error_code ec;
  fs::create_directories(options.dir, ec);
  if (ec) throw DemoError(fmt::format("cannot create {}: {}", options.dir.string(), ec.message()));
  summary.dir = fs::absolute(options.dir).lexically_normal();
  if (summary.dir.has_filename() == false && summary.dir.has_parent_path()) {
    summary.dir = summary.dir.parent_path();  // no trailing separator
  }
  if (!postgres) summary.database = summary.dir / "contracts.db";
  summary.store = summary.dir / "Vendra.toml";
  if (!options.force) {
    for (const fs::path& path : {summary.database, summary.store}) {
      if (!path.empty() && fs::exists(path)) {
        throw DemoError(
            fmt::format("{} already exists (use --force to replace it)", path.string()));
      }
    }
  }

  if (!options.store_only) {
    PartialFile partial(summary.dir / ".contracts.db.partial");
    BuildDatabase(partial.Path(), options, summary);
    if (postgres) {
      LoadIntoPostgres(partial.Path(), options.connection, options.force);
    } else {
      std::error_code rename_error;
      fs::rename(partial.Path(), summary.database, rename_error);
      if (rename_error) {
        throw DemoError(
            fmt::format("cannot write {}: {}", summary.database.string(), rename_error.message()));
      }
      partial.Keep();
    }
  }

  std::ofstream store(summary.store, std::ios::binary | std::ios::trunc);
  store << (postgres ? StoreTextFor(options.connection) : StoreText(summary.database));
  store.close();
  if (!store) throw DemoError(fmt::format("cannot write {}", summary.store.string()));
  return summary;
}

}  // namespace carvalen::demo
