// What a caller pays per request through each face, on each database: the same GetPrice call
//
//   InProcess/<db>  api::CallWithJson in the caller's process: decoding, the call, encoding.
//   Service/<db>    a POST to `carvalen serve` (in this process, on loopback) from keep-alive
//                   clients, 1 and 4 of them: the above plus HTTP.
//   Tool/<db>       `carvalen call` started for each request: the above plus a process, reading
//                   the configuration and opening a connection with no pool to keep it.
//
// Each row reports requests per second (items_per_second) and the median and 99th percentile
// of one request's time in microseconds (p50_us, p99_us).
//
//   carvalen_service_bench [--lines=1000]              SQLite; the demo database is made in
//                                                      /tmp/carvalen-ops-bench-<lines> when absent
//   CARVALEN_BENCH_PG='host=/tmp/pg port=54329 dbname=x user=y' carvalen_service_bench
//                                                      also PostgreSQL (libpq keywords), in the
//                                                      schema the operations bench fills
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/call.hpp"
#include "bench_data.hpp"
#include "carvalen/settings.hpp"
#include "db/client.hpp"
#include "loopback_service.hpp"
#include "service/server.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kTarget = "ContractLine.GetPrice";
constexpr const char* kPath = "/v1/ContractLine/GetPrice";
constexpr const char* kArguments =
    R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})";

// A configuration store naming one database.
struct Backend {
  std::string name;
  fs::path store;
  // The library's setting for the in-process rows, the environment for the tool's processes.
  void Select() const {
    carvalen::SetSetting(carvalen::Setting::ConfigDir, store.string());
    setenv("CARVALEN_CONFIG_DIR", store.c_str(), 1);
  }
};

fs::path PostgresStore(const std::string& conninfo, const fs::path& sqlite_file,
                       std::int64_t lines) {
  const std::string schema = "carvalen_ops_bench_" + std::to_string(lines);
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("cannot reach PostgreSQL: ") + PQerrorMessage(conn.get()));
  }
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  if (carvalen::bench::PgLineCount(conn.get(), schema) != lines) {
    carvalen::bench::CopyToPostgres(conn.get(), schema, sqlite_file);
  }
  const fs::path store =
      fs::temp_directory_path() / ("carvalen-service-bench-pg-" + std::to_string(::getpid()));
  fs::create_directories(store);
  std::ofstream(store / "Vendra.toml")
      << "[ConnectionStrings]\nEContract = 'Provider=PostgreSQL;Host=" << PQhost(conn.get())
      << ";Port=" << PQport(conn.get()) << ";Database=" << PQdb(conn.get())
      << ";User ID=" << PQuser(conn.get()) << ";options=-csearch_path=" << schema << "'\n";
  return store;
}

// Times each iteration of `request` and reports the rate and percentiles.
template <typename Request>
void Measure(benchmark::State& state, Request request) {
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!request()) {
      state.SkipWithError("a request failed");
      return;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations());
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
  state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
}

void InProcess(benchmark::State& state, const Backend* backend) {
  if (state.thread_index() == 0) backend->Select();
  Measure(state, [] {
    return carvalen::api::CallWithJson(kTarget, kArguments).status == carvalen::api::kCallOk;
  });
}

void Service(benchmark::State& state, const Backend* backend,
             const carvalen::service::Server* server) {
  if (state.thread_index() == 0) backend->Select();
  httplib::Client client = carvalen::bench::KeepAliveClient(*server);
  Measure(state, [&] {
    httplib::Result res = client.Post(kPath, kArguments, "application/json");
    return res && res->status == 200;
  });
}

void Tool(benchmark::State& state, const Backend* backend) {
  backend->Select();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {
      CARVALEN_TOOL,      "call", kTarget, "i_lContractHeaderID=1", "i_lContractLineID=1",
      "i_fQuantity=60.0", nullptr};
  Measure(state, [&] {
    pid_t pid = 0;
    if (posix_spawn(&pid, CARVALEN_TOOL, &actions, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      return false;
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  });
  posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string min_time = "--benchmark_min_time=0.5";
  if (std::none_of(argv + 1, argv + argc, [](const char* a) {
        return std::string(a).starts_with("--benchmark_min_time=");
      })) {
    args.push_back(min_time.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  std::int64_t lines = 1000;
  for (int i = 1; i < count; ++i) {
    const std::string arg = args[static_cast<std::size_t>(i)];
    if (!arg.starts_with("--lines=")) {
      std::fprintf(stderr, "carvalen_service_bench: unknown argument %s (--lines=N)\n",
                   arg.c_str());
      return 2;
    }
    lines = std::atoll(arg.c_str() + 8);
  }

  std::vector<Backend> backends;
  try {
    const fs::path dir =
        fs::temp_directory_path() / ("carvalen-ops-bench-" + std::to_string(lines));
    carvalen::bench::EnsureDemo(dir, lines);
    backends.push_back({"SQLite", dir});
    if (const char* pg = std::getenv("CARVALEN_BENCH_PG"); pg != nullptr && *pg != '\0') {
      backends.push_back({"PostgreSQL", PostgresStore(pg, dir / "contracts.db", lines)});
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_service_bench: %s\n", e.what());
    return 1;
  }
  carvalen::service::Server server(carvalen::bench::QuietLoopbackService());
  server.Start();

  for (const Backend& backend : backends) {
    const std::string suffix = "/" + backend.name + "/GetPrice";
    // Wall time throughout: a request's time is mostly spent waiting on another thread or process.
    for (auto* row :
         {benchmark::RegisterBenchmark(("InProcess" + suffix).c_str(), InProcess, &backend),
          benchmark::RegisterBenchmark(("Service" + suffix).c_str(), Service, &backend, &server)}) {
      row->Threads(1)->Threads(4)->UseRealTime()->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(("Tool" + suffix).c_str(), Tool, &backend)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.Stop();
  carvalen::db::DrainPool();
  for (const Backend& backend : backends) {
    if (backend.name != "SQLite") fs::remove_all(backend.store);
  }
  return 0;
}
