// carvalen: calls the library's operations by name from a shell, lists them, prints the contract
// tables' DDL, sets up a demo database and serves the operations over HTTP; `carvalen help`
// describes each command. Exit status: 0 success, 1 the operation (or the demo) failed, 2 the
// command line is wrong.
#include <fmt/format.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "api/json_codec.hpp"
#include "api/openapi.hpp"
#include "build_info.hpp"
#include "carvalen/library.hpp"
#include "carvalen/settings.hpp"
#include "cli/commands.hpp"
#include "demo/demo.hpp"
#include "demo/postgres_load.hpp"
#include "service/serve.hpp"

namespace {

using namespace carvalen::cli;
using carvalen::demo::CreateDemo;
using carvalen::demo::DemoError;
using carvalen::demo::DemoOptions;
using carvalen::demo::DemoSummary;

constexpr const char* kCallFooter = R"(VALUE is one JSON text in the tool's typed encoding:
  null Null              {"$empty": true} Empty      {"$missing": true} missing
  true / false Boolean   12 Long                     {"$int16": 3} Integer
  5.0, 1e+20 Double      "text" String               {"$int64": 5000000000} 64-bit
  {"$double": "NaN"}     {"$date": "2026-06-10T08:00:00"}
  {"$array": [1, 2], "lbound": 0}    {"$array": [[1, 2], [3, 4]], "lbound": [0, 0]}
  {"$dict": [["key", 1], [2, "item"]]}                 {"$nothing": true}
Quote for the shell: i_sBuyerId='"B01"'. A large VALUE may come from a file, NAME=@PATH, or
from standard input, NAME=@- (one argument at most), up to 64 MiB each; JSON nests at most 256
levels deep.

Prints {"result": V, "byref": {NAME: V, ...}} and exits 0, or
{"error": {"number": N, "source": S, "description": D, "helpFile": H, "helpContext": C}}
and exits 1. A mistake on the command line exits 2 with a message on stderr.)";

// The folder as a shell word: plain when that is safe, single-quoted otherwise.
std::string ShellWord(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./-+:,@%") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int InitDemo(DemoOptions options, const std::string& provider) {
  if (provider == "postgresql") {
    // None given: where libpq's variables (PGHOST, PGDATABASE, ...) point, as psql does.
    if (options.connection.empty())
      options.connection = carvalen::demo::ConnectionFromEnvironment();
    // "Host=...;Database=..." alone is taken as PostgreSQL's.
    std::string lower = options.connection;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("provider") == std::string::npos) {
      options.connection = "Provider=PostgreSQL;" + options.connection;
    }
  } else if (!options.connection.empty() || options.store_only) {
    throw UsageError("--connection and --store-only go with --provider postgresql");
  }
  // Small demos finish at once; a bar only helps when someone is watching a big one.
  options.progress = options.lines >= 10000 && isatty(STDERR_FILENO) == 1;
  DemoSummary summary = CreateDemo(options);
  std::cout << "export CARVALEN_CONFIG_DIR=" << ShellWord(summary.dir.string()) << '\n';
  return kExitOk;
}

constexpr std::array<const char*, 7> kCommands = {"call",  "ops",     "init-demo", "schema",
                                                  "serve", "openapi", "help"};

std::string CommandList() {
  std::string list;
  for (const char* command : kCommands) list += (list.empty() ? "" : ", ") + std::string(command);
  return list;
}

bool IsCommand(const std::string& word) {
  return std::find(kCommands.begin(), kCommands.end(), word) != kCommands.end();
}

// A first word that is no command, or none: said in one line, with the commands there are.
int CommandMistake(const std::string& word) {
  if (word.empty()) {
    std::cerr << "carvalen: a command is required (" << CommandList()
              << "); carvalen help tells more\n";
  } else {
    std::cerr << "carvalen: unknown command '" << word << "' (commands: " << CommandList() << ")\n";
  }
  return kExitUsage;
}

}  // namespace

// Only a failure to build the parser escapes, and ends the process as it should.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
  // The tool is configured by its environment alone, read once before anything runs.
  carvalen::LoadSettingsFromEnvironment();
  const carvalen::LibraryMetadata& library = carvalen::Library();
  CLI::App app{"Calls the operations of the Carvalen contract library by name.", "carvalen"};
  app.require_subcommand(1);
  app.set_version_flag("-V,--version", fmt::format("carvalen {}.{} (commit {}, {})",
                                                   library.version_major, library.version_minor,
                                                   carvalen::kBuildCommit, carvalen::kBuildType));
  if (argc < 2) return CommandMistake("");
  if (const std::string first = argv[1]; first.empty() || (first[0] != '-' && !IsCommand(first))) {
    return CommandMistake(first);
  }

  CLI::App* call = app.add_subcommand("call", "Call an operation and print its result as JSON");
  std::string target;
  std::vector<std::string> assignments;
  call->add_option("target", target, "<Class>.<Operation>, e.g. ContractLine.GetPrice")->required();
  call->add_option("arguments", assignments,
                   "NAME=VALUE: a parameter by its declared name (any case), VALUE in JSON; "
                   "NAME=@PATH reads VALUE from a file, NAME=@- from standard input");
  std::string max_entries;
  constexpr const char* kMaxEntriesHelp =
      "Most entries (list items and object keys) a request may hold in all (default: "
      "CARVALEN_MAX_ENTRIES, else 1000000)";
  call->add_option("--max-entries", max_entries, kMaxEntriesHelp)->type_name("UINT");
  std::string max_cells;
  constexpr const char* kMaxCellsHelp =
      "Most array cells one operation may allocate; more fails it with 7 \"Out of memory\" "
      "(default: CARVALEN_MAX_CELLS, else 10000000)";
  call->add_option("--max-cells", max_cells, kMaxCellsHelp)->type_name("UINT");
  bool plain = false;
  call->add_flag("--plain", plain,
                 "VALUE in plain JSON (12, 5.5, \"B01\", \"2026-06-10\", [\"PRICE\"]), checked "
                 "against the parameter's plain type; the answer with named members, and "
                 "{\"error\": {\"code\", \"message\", \"number\", \"operation\"}} on failure");
  call->footer(kCallFooter);

  CLI::App* ops = app.add_subcommand("ops", "List classes, operations and their parameters");
  std::string class_name;
  bool ops_json = false;
  ops->add_option("target", class_name,
                  "Class or Class.Operation: only that class (Contract, ContractLine, Enums) or "
                  "that operation");
  ops->add_flag("--json", ops_json, "Print the list as JSON");

  CLI::App* demo = app.add_subcommand(
      "init-demo",
      "Create a demo contract database (SQLite or PostgreSQL) and configuration store");
  DemoOptions demo_options;
  std::string demo_provider = "sqlite";
  demo->add_option("--dir", demo_options.dir,
                   "Folder for Vendra.toml and contracts.db (created if needed)")
      ->required();
  demo->add_option("--size", demo_options.lines, "Number of contract lines")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{100'000'000}))
      ->capture_default_str();
  demo->add_option("--provider", demo_provider, "Where the rows go: sqlite or postgresql")
      ->transform(CLI::IsMember({"sqlite", "postgresql"}, CLI::ignore_case))
      ->capture_default_str();
  demo->add_option("--connection", demo_options.connection,
                   "PostgreSQL connection string as the store holds it, e.g. "
                   "\"Host=/var/run/postgresql;Database=contracts;User ID=carvalen\" "
                   "(default: from PGHOST, PGPORT, PGDATABASE, PGUSER, PGOPTIONS)");
  demo->add_flag("--store-only", demo_options.store_only,
                 "Write only Vendra.toml naming the database (of one's own rows)");
  demo->add_flag("--force", demo_options.force,
                 "Replace an existing contracts.db (or PostgreSQL's contract tables) and "
                 "Vendra.toml");
  demo->footer(
      "Prints the line to run so that `carvalen call` finds the store:\n"
      "  export CARVALEN_CONFIG_DIR=<DIR>");

  CLI::App* schema = app.add_subcommand("schema", "Print the DDL of the contract tables");
  std::string provider;
  schema->add_option("--provider", provider, "sqlite or postgresql")
      ->required()
      ->check(CLI::IsMember({"sqlite", "postgresql"}, CLI::ignore_case));

  CLI::App* serve =
      app.add_subcommand("serve", "Serve the operations over HTTP with the same typed JSON");
  std::string listen = "127.0.0.1:8080";
  carvalen::service::Options serve_options;
  std::int64_t grace = 30, read_timeout = serve_options.read_timeout.count();
  serve->add_option("--listen", listen, "HOST:PORT to listen on; port 0 picks a free one")
      ->capture_default_str();
  serve
      ->add_option("--threads", serve_options.threads,
                   "Operations run at once (each holds a database connection)")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  serve->add_option("--max-body", serve_options.max_body, "Largest request body, e.g. 16MiB")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("16MiB");
  serve->add_option("--max-entries", max_entries, kMaxEntriesHelp)->type_name("UINT");
  serve->add_option("--max-cells", max_cells, kMaxCellsHelp)->type_name("UINT");
  serve->add_option("--grace", grace, "Seconds the requests being served get to finish on stop")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{86400}))
      ->capture_default_str();
  serve->add_option("--read-timeout", read_timeout, "Seconds to wait for each read of a request")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{3600}))
      ->capture_default_str();
  serve
      ->add_option("--max-connections", serve_options.max_connections,
                   "Connections open at once; one more is answered 503 and closed")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1'000'000}))
      ->capture_default_str();
  serve
      ->add_option("--max-answer", serve_options.max_answer,
                   "Largest answer; a call whose answer is larger fails with error 7, e.g. 64MiB")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("64MiB");
  serve
      ->add_option("--max-buffered", serve_options.max_buffered,
                   "Request bodies held at once, all together; beyond, new bodies get 503")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("256MiB");
  serve
      ->add_option("--max-unread", serve_options.max_unread,
                   "Answers being written, all together; beyond, new calls get 503 and the "
                   "slowest readers are cut")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("256MiB");
  std::int64_t queue_timeout = serve_options.queue_timeout.count();
  serve
      ->add_option("--queue-timeout", queue_timeout,
                   "Seconds a call may wait for a thread before it is answered 503")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{3600}))
      ->capture_default_str();
  serve->add_option("--trusted-proxy", serve_options.trusted_proxies,
                    "Address of a proxy whose X-Forwarded-For names the client (repeatable)");
  serve->add_option("--cors-origin", serve_options.cors_origins,
                    "Browser origin (https://app.example) allowed to call, or *; answers "
                    "preflights of the call paths (repeatable; default: none)");
  serve->add_option("--access-log", serve_options.access_log,
                    "File to append the access log to (default: standard error)");
  serve->footer(
      "POST /v1/<Class>/<Operation> with a JSON object of NAME: value answers what `carvalen\n"
      "call` prints: 200, 422 (the operation's error) or 400 (a usage error). Also\n"
      "GET /v1/operations, /healthz, /readyz and /metrics. Tokens: CARVALEN_SERVICE_TOKENS or\n"
      "key Tokens of [Service] in the configuration store; without any, loopback only.\n"
      "SIGHUP reads the stores again; SIGTERM or SIGINT drains and exits 0. See docs/service.md.");

  CLI::App* openapi =
      app.add_subcommand("openapi", "Print the service's API as an OpenAPI 3.1 document");

  CLI::App* help = app.add_subcommand("help", "Show the commands, or what one command takes");
  std::string help_topic;
  help->add_option("command", help_topic, "The command to describe");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitUsage;
  }
  if (help->parsed()) {
    // The formatter directly: app.help() would describe the help command itself, now parsed.
    const auto formatter = app.get_formatter();
    if (help_topic.empty()) {
      std::cout << formatter->make_help(&app, "carvalen", CLI::AppFormatMode::Normal);
      return kExitOk;
    }
    if (!IsCommand(help_topic)) return CommandMistake(help_topic);
    std::cout << formatter->make_help(app.get_subcommand(help_topic), "carvalen " + help_topic,
                                      CLI::AppFormatMode::Normal);
    return kExitOk;
  }

  try {
    // Read only by the commands that decode requests.
    const auto limits = [&] {
      carvalen::api::Limits limits = carvalen::api::LimitsFromEnvironment();
      if (!max_entries.empty()) {
        limits.max_entries = carvalen::api::ParseMaxEntries(max_entries, "--max-entries");
      }
      if (!max_cells.empty()) {
        carvalen::SetMaxCells(carvalen::api::ParseMaxCells(max_cells, "--max-cells"));
      }
      return limits;
    };
    if (call->parsed()) {
      // The line for people goes where no log entries are, or to a terminal, where the log is
      // readable lines too; a program reading stderr as JSON lines never gets it.
      const bool people =
          isatty(STDERR_FILENO) == 1 || !carvalen::GetSetting(carvalen::Setting::LogFile).empty();
      if (plain) return RunPlainCall(target, assignments, limits(), std::cout, std::cin);
      return RunCall(target, assignments, limits(), std::cout, std::cin,
                     people ? &std::cerr : nullptr);
    }
    if (ops->parsed()) return RunOps(class_name, ops_json, std::cout);
    if (schema->parsed()) return RunSchema(provider, std::cout);
    if (openapi->parsed()) {
      std::cout << carvalen::api::OpenApiDocument().dump(2) << '\n';
      return kExitOk;
    }
    if (demo->parsed()) return InitDemo(demo_options, demo_provider);
    if (serve->parsed()) {
      std::tie(serve_options.host, serve_options.port) = carvalen::service::ParseListen(listen);
      serve_options.read_timeout = std::chrono::seconds(read_timeout);
      serve_options.queue_timeout = std::chrono::seconds(queue_timeout);
      serve_options.limits = limits();
      return carvalen::service::RunServe(serve_options, std::chrono::seconds(grace), std::cout);
    }
  } catch (const UsageError& e) {
    std::cerr << "carvalen: " << e.what() << '\n';
    return kExitUsage;
  } catch (const DemoError& e) {
    std::cerr << "carvalen init-demo: " << e.what() << '\n';
    return kExitFailed;
  } catch (const std::exception& e) {
    std::cerr << "carvalen: " << e.what() << '\n';
    return kExitFailed;
  }
  return kExitUsage;
}
