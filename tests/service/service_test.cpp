// The service on a loopback port, in process: what each request is answered, the token rules,
// overload and draining, and a load run; then the tool's `serve` stopped by SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"
#include "db/client.hpp"
#include "service/serve.hpp"
#include "service/server.hpp"
#include "service/tokens.hpp"
#include "support/contract_db.hpp"
#include "support/sanitized.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::ScopedSetting;
using testing::TempFolder;

constexpr const char* kPrice = R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1,
                                   "i_fQuantity": 60.0})";
constexpr const char* kNoLine = R"({"i_lContractHeaderID": 1, "i_lContractLineID": 99,
                                    "i_sField": "PRICE"})";

// A contract database with one line, and the service on a free loopback port.
class Service : public ::testing::TestWithParam<Provider> {
 protected:
  void SetUp() override {
    if (!IsAvailable(GetParam())) GTEST_SKIP() << ProviderName(GetParam()) << " is not set up";
    db_ = std::make_unique<ContractDb>(GetParam());
    db_->Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
        "INCLUDEPRICEBREAKUP) VALUES (1, 1, 'EUR', 8, 0)");
  }
  void TearDown() override {
    server_.reset();
    if (db_) {
      EXPECT_EQ(db::OpenConnectionCount(), 0) << "a connection was left open";
    }
    db::DrainPool();
  }

  void Start(service::Options options = {}) {
    options.port = 0;
    options.access_log = (scratch_ / "access.log").string();
    server_ = std::make_unique<service::Server>(options);
    server_->Start();
  }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", server_->Port());
    client.set_read_timeout(30, 0);
    client.set_tcp_nodelay(true);
    return client;
  }
  // Appends table [Service] to the store and makes the library read it again.
  void StoreTokens(const std::string& tokens) {
    std::ofstream(std::filesystem::path(db_->ConfigDir()) / "Vendra.toml", std::ios::app)
        << "\n[Service]\nTokens = \"" << tokens << "\"\n";
    carvalen::ForgetConfigurationStores();
  }

  std::unique_ptr<ContractDb> db_;
  TempFolder scratch_;
  std::unique_ptr<service::Server> server_;
};

std::string Expected(const char* target, const char* arguments) {
  return api::CallWithJson(target, arguments).text + "\n";
}

TEST_P(Service, AnswersEachRequest) {
  service::Options options;
  options.max_body = 4096;
  Start(options);
  httplib::Client client = Client();
  client.set_keep_alive(true);  // every request below down one connection
  const struct {
    const char* method;
    const char* path;
    std::string body;
    int status;
    std::string answer;  // the whole body, or a part of it when `exact` is false
    bool exact;
  } cases[] = {
      // The same bytes `carvalen call` prints, names in any case.
      {"POST", "/v1/ContractLine/GetPrice", kPrice, 200, Expected("ContractLine.GetPrice", kPrice),
       true},
      {"POST", "/v1/contractline/getprice", kPrice, 200, Expected("ContractLine.GetPrice", kPrice),
       true},
      {"POST", "/v1/ContractLine/GetContractFieldValue", kNoLine, 422,
       Expected("ContractLine.GetContractFieldValue", kNoLine), true},
      // Type mismatch is the operation's error, raised before it runs.
      {"POST", "/v1/ContractLine/GetPrice",
       R"({"i_lContractHeaderID": "x", "i_lContractLineID": 1, "i_fQuantity": 1.0})", 422,
       R"("number": 13)", false},
      // Usage errors are call_test's; here that they are 400, counted as calls but not errors.
      {"POST", "/v1/Nope/GetPrice", "{}", 400, R"({"usageError": {"message": "unknown class)",
       false},
      {"POST", "/v1/ContractLine/GetPrice", "{bad", 400, "bad JSON", false},
      {"POST", "/v1/ContractLine/GetPrice", std::string(5000, ' '), 413, "over the limit", false},
      {"GET", "/v1/ContractLine/GetPrice", "", 404, "no endpoint", false},
      {"GET", "/v1/operations", "", 200, api::Dump(api::OperationsJson()) + "\n", true},
      {"GET", "/healthz", "", 200, "{\"alive\": true}\n", true},
      {"GET", "/readyz", "", 200, "{\"ready\": true}\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body.substr(0, 40));
    httplib::Result res = std::string(c.method) == "GET"
                              ? client.Get(c.path)
                              : client.Post(c.path, c.body, "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    if (c.exact) {
      EXPECT_EQ(res->body, c.answer);
    } else {
      EXPECT_NE(res->body.find(c.answer), std::string::npos) << res->body;
    }
  }

  // The counters saw the calls by their declared names.
  httplib::Result metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  for (const char* line : {
           "carvalen_service_calls_total{operation=\"ContractLine.GetPrice\"} 4",
           "carvalen_service_call_errors_total{operation=\"ContractLine.GetPrice\"} 1",
           "carvalen_service_call_errors_total{operation=\"ContractLine.GetContractFieldValue\"} 1",
           "carvalen_service_call_seconds_count{operation=\"ContractLine.GetPrice\"} 4",
           "carvalen_service_requests_total{status=\"413\"} 1",
           "carvalen_pool_connections{state=\"in_use\"} 0",
       }) {
    EXPECT_NE(metrics->body.find(line), std::string::npos) << line << "\n" << metrics->body;
  }

  // Not ready when the contract database cannot be reached, with the library's reason.
  TempFolder empty;
  ScopedSetting nowhere(Setting::ConfigDir, empty.path.string());
  httplib::Result ready = client.Get("/readyz");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->status, 503);
  EXPECT_NE(ready->body.find("Connection string is not available"), std::string::npos)
      << ready->body;
}

TEST_P(Service, RefusesWhenFullAndDrains) {
  // A call that waits for the test to let it go.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> entered{0};
  struct Slow : Object {
    Slow(std::shared_future<void> gate, std::atomic<int>& entered)
        : gate(std::move(gate)), entered(entered) {}
    std::string ClassName() const override { return "ContractLine"; }
    Variant Invoke(std::string_view, std::span<Variant>) override {
      ++entered;
      gate.wait();
      return Variant(1.0);
    }
    std::shared_future<void> gate;
    std::atomic<int>& entered;
  };
  ComponentOverride slow("Carvalen.ContractLine",
                         [&] { return ObjectPtr(std::make_shared<Slow>(released, entered)); });

  service::Options options;
  options.threads = 1;
  options.max_connections = 2;
  options.keep_alive = 1s;
  Start(options);
  // The one worker is busy with a call and a second call waits for it; the probes are answered
  // meanwhile, and a connection beyond the two is refused at once.
  const auto post = [&] {
    httplib::Result res = Client().Post("/v1/ContractLine/GetPrice", kPrice, "application/json");
    return res ? res->status : -1;
  };
  std::future<int> busy = std::async(std::launch::async, post);
  for (int i = 0; i < 5000 && entered.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(Client().Get("/healthz")->status, 200) << "a busy worker held up the probe";
  // The probe's connection is gone before the second call connects, so that call is not refused.
  for (int i = 0; i < 5000 && server_->Connections() > 1; ++i) std::this_thread::sleep_for(1ms);
  std::future<int> waiting = std::async(std::launch::async, post);
  for (int i = 0; i < 5000 && server_->Connections() < 2; ++i) std::this_thread::sleep_for(1ms);
  // No ASSERT before the release below: the call would never end.
  httplib::Result refused = Client().Get("/healthz");
  EXPECT_EQ(refused ? refused->status : -1, 503);

  // Draining: a grace shorter than the call in flight runs out; a longer one sees it finish.
  // Nothing is served after the drain began.
  EXPECT_FALSE(server_->Drain(50ms));
  std::future<bool> drained = std::async(std::launch::async, [&] { return server_->Drain(10s); });
  release.set_value();
  EXPECT_EQ(busy.get(), 200);
  EXPECT_NE(waiting.get(), 200);
  EXPECT_TRUE(drained.get());
  EXPECT_FALSE(Client().Get("/healthz")) << "still listening after the drain";
}

TEST_P(Service, TokensFromTheEnvironmentAndTheStore) {
  ScopedSetting env(Setting::ServiceTokens, " env-token-abcdefgh ,other-token-abcdefg");
  StoreTokens("store-token-abcdefg");
  Start();
  const struct {
    const char* authorization;
    const char* path;
    int status;
  } cases[] = {
      {nullptr, "/v1/operations", 401},
      {"Bearer wrong", "/v1/operations", 401},
      {"Bearer env-token-abcdefg", "/v1/operations", 401},    // a prefix
      {"Bearer env-token-abcdefgh2", "/v1/operations", 401},  // longer
      {"env-token-abcdefgh", "/v1/operations", 401},          // no scheme
      {"Bearer env-token-abcdefgh", "/v1/operations", 200},
      {"bearer  other-token-abcdefg ", "/v1/operations", 200},
      {"Bearer store-token-abcdefg", "/v1/operations", 200},
      {nullptr, "/metrics", 401},
      {"Bearer store-token-abcdefg", "/metrics", 200},
      {nullptr, "/healthz", 200},  // probes need no token
      {nullptr, "/readyz", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + (c.authorization ? c.authorization : "-"));
    httplib::Headers headers;
    if (c.authorization) headers.emplace("Authorization", c.authorization);
    httplib::Result res = Client().Get(c.path, headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (c.status == 401) {
      EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer");
    }
  }
  httplib::Result call =
      Client().Post("/v1/ContractLine/GetPrice", {{"Authorization", "Bearer store-token-abcdefg"}},
                    kPrice, "application/json");
  ASSERT_TRUE(call);
  EXPECT_EQ(call->status, 200);

  // A token replaced in the store stops working once the store is read again.
  const std::filesystem::path store_file = std::filesystem::path(db_->ConfigDir()) / "Vendra.toml";
  std::string store = ReadFile(store_file);
  store.replace(store.find("store-token-abcdefg"), 19, "new-token-abcdefghi");
  std::ofstream(store_file) << store;
  carvalen::ForgetConfigurationStores();
  std::this_thread::sleep_for(1100ms);  // the service looks at most once a second
  EXPECT_EQ(
      Client().Get("/v1/operations", {{"Authorization", "Bearer store-token-abcdefg"}})->status,
      401);
  EXPECT_EQ(
      Client().Get("/v1/operations", {{"Authorization", "Bearer new-token-abcdefghi"}})->status,
      200);
  // An edit that breaks, truncates or removes the store leaves its tokens in force rather than
  // opening up; without a token /readyz says ready or not, and why only with one.
  const std::function<void()> broken = [&] { std::ofstream(store_file) << "[broken"; };
  const std::function<void()> emptied = [&] { std::ofstream(store_file).close(); };
  const std::function<void()> removed = [&] { std::filesystem::remove(store_file); };
  for (const std::function<void()>& edit : {broken, emptied, removed}) {
    edit();
    carvalen::ForgetConfigurationStores();
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(Client().Get("/v1/operations")->status, 401);
    EXPECT_EQ(
        Client().Get("/v1/operations", {{"Authorization", "Bearer new-token-abcdefghi"}})->status,
        200);
  }
  EXPECT_EQ(Client().Get("/readyz")->body, "{\"ready\": false}\n");
  EXPECT_NE(Client()
                .Get("/readyz", {{"Authorization", "Bearer env-token-abcdefgh"}})
                ->body.find("\"reason\""),
            std::string::npos);

  // The access log has a line per request and never a token or an argument value.
  const std::string log = ReadFile(scratch_ / "access.log");
  EXPECT_NE(log.find(R"("operation":"ContractLine.GetPrice","status":200)"), std::string::npos)
      << log;
  for (const char* secret : {"env-token", "store-token", "other-token", "i_fQuantity", "60.0"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  }
}

TEST(ServiceSetup, ListenAddressesAndOffLoopbackOnlyWithAToken) {
  const struct {
    const char* listen;
    const char* host;
    int port;
  } good[] = {{"127.0.0.1:8080", "127.0.0.1", 8080},
              {":0", "127.0.0.1", 0},
              {"[::1]:9", "::1", 9},
              {"0.0.0.0:65535", "0.0.0.0", 65535}};
  for (const auto& c : good) {
    EXPECT_EQ(service::ParseListen(c.listen), std::make_pair(std::string(c.host), c.port));
  }
  for (const char* bad : {"8080", "host:", "host:x", "host:70000", "::1:80", "h:-1"}) {
    EXPECT_THROW(service::ParseListen(bad), api::UsageError) << bad;
  }
  // Off loopback only with a token.
  TempFolder empty;
  ScopedSetting no_store(Setting::ConfigDir, empty.path.string());
  ScopedSetting no_env(Setting::ServiceTokens, "");
  service::Options open;
  open.host = "0.0.0.0";
  std::ostringstream out;
  EXPECT_THROW(service::RunServe(open, 1s, out), api::UsageError);
}

// Mixed calls from several keep-alive clients: every answer as expected, no connection left
// open, and memory that stops growing once the caches are warm.

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

TEST_P(Service, StaysSteadyUnderLoad) {
  constexpr int kRequests = kSanitized ? 1000 : 5000;
  constexpr int kClients = 8;
  service::Options options;
  options.threads = kClients;
  Start(options);
  const auto rss = ResidentBytes;
  struct Call {
    const char* path;
    const char* body;
    int status;
  } const mix[] = {{"/v1/ContractLine/GetPrice", kPrice, 200},
                   {"/v1/ContractLine/GetContractFieldValue", kNoLine, 422},
                   {"/v1/ContractLine/GetPrice", "{\"i_nope\": 1}", 400},
                   {"/v1/ContractLine/GetPriceBreakUpExists", kPrice, 400},
                   {"/v1/Contract/GetContractHeader", R"({"i_lBusinessPartnerId": 501})", 200}};
  std::atomic<int> wrong{0}, done{0};
  std::atomic<long> midway{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t] {
      httplib::Client client = Client();
      client.set_keep_alive(true);
      for (int i = 0; i < kRequests; ++i) {
        const Call& call = mix[static_cast<std::size_t>(t + i) % std::size(mix)];
        httplib::Result res = client.Post(call.path, call.body, "application/json");
        if (!res || res->status != call.status) ++wrong;
        if (++done == kClients * kRequests / 2) midway = rss();
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  EXPECT_LE(db::PooledConnectionCount(), kClients);
  if (!kSanitized) {
    EXPECT_LT(rss() - midway.load(), 8L << 20) << "memory grew by over 8 MiB in the second half";
  }
}

// Large bulk requests leave the service at its resting size, and one over the entry limit is a
// usage error.
TEST_P(Service, GivesBackWhatALargeRequestTook) {
  service::Options options;
  options.threads = 2;
  options.limits.max_entries = 300'000;
  Start(options);
  const auto request = [](int entries) {
    std::string body = R"({"i_oDicBPProductQuan": {"$dict": [)";
    for (int i = 0; i < entries; ++i) {
      body += fmt::format("{}[{}, {{\"$array\": [1, 10]}}]", i == 0 ? "" : ", ", 1'000'000 + i);
    }
    return body + "]}}";
  };
  httplib::Client client = Client();
  const auto post = [&](const std::string& body) {
    return client.Post("/v1/Contract/GetActiveContractLinesProc", body, "application/json");
  };
  const std::string large = request(250'000);  // 9 MB
  ASSERT_EQ(post(request(10))->status, 200);
  const long resting = ResidentBytes();
  for (int i = 0; i < 3; ++i) {
    const httplib::Result res = post(large);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"result\": {\"$dict\": []}, \"byref\": {}}\n");
  }
  if (!kSanitized) {
    EXPECT_LT(ResidentBytes() - resting, 24L << 20) << "the large requests' memory was kept";
  }
  const httplib::Result over = post(request(300'001));
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 400);
  EXPECT_NE(over->body.find("holds more than 300000 entries"), std::string::npos) << over->body;
}

INSTANTIATE_TEST_SUITE_P(Databases, Service, ::testing::ValuesIn(AllProviders()),
                         ProviderParamName);

// The tool: `serve` on a free port answers, goes on after SIGHUP, and SIGTERM ends it with
// status 0.
TEST(ServeCommand, ReloadsOnSighupAndStopsOnSigterm) {
  const char* tool = std::getenv("CARVALEN_CLI");
  if (tool == nullptr) GTEST_SKIP() << "CARVALEN_CLI is not set";
  ContractDb db(Provider::SQLite);
  TempFolder scratch;
  const std::string out = (scratch / "out").string();
  const std::string command =
      "exec env CARVALEN_CONFIG_DIR='" + db.ConfigDir() + "' CARVALEN_SERVICE_TOKENS= '" + tool +
      "' serve --listen 127.0.0.1:0 --grace 5 --access-log /dev/null >'" + out + "' 2>&1";
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    const std::string text = ReadFile(out);
    if (const auto colon = text.rfind(':');
        text.find('\n') != std::string::npos && colon != std::string::npos) {
      port = std::atoi(text.c_str() + colon + 1);
    }
  }
  ASSERT_NE(port, 0) << ReadFile(out);
  httplib::Client client("127.0.0.1", port);
  ASSERT_EQ(client.Get("/healthz")->status, 200);
  // SIGHUP (systemd's reload) reads the stores again and must not end the process.
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  for (int i = 0; i < 500 && ReadFile(out).find("read again") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(ReadFile(out).find("configuration stores read again"), std::string::npos);
  httplib::Result res = client.Get("/healthz");
  ASSERT_TRUE(res) << ReadFile(out);
  EXPECT_EQ(res->status, 200);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ReadFile(out);
}

}  // namespace
}  // namespace carvalen::test
