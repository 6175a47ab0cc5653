// The service on a loopback port, in process: what each request is answered, the token rules,
// overload and draining, memory under load; then the tool's `serve` stopped by SIGTERM. The service
// does not depend on the database, so SQLite serves throughout.
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
#include "support/contract_db.hpp"
#include "support/sanitized.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::ScopedSetting;
using testing::TempFolder;

constexpr const char* kPrice =
    R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})";
constexpr const char* kNoLine =
    R"({"i_lContractHeaderID": 1, "i_lContractLineID": 99, "i_sField": "PRICE"})";

/// Polls `done` for up to five seconds.
void WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(1ms);
}

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// A contract database with one line, and the service on a free loopback port.
class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
        "INCLUDEPRICEBREAKUP) VALUES (1, 1, 'EUR', 8, 0)");
  }
  void TearDown() override {
    server_.reset();
    EXPECT_EQ(db::OpenConnectionCount(), 0) << "a connection was left open";
    db::DrainPool();
  }
  /// Starts the service with the options `set` makes.
  void Start(const std::function<void(service::Options&)>& set = [](service::Options&) {}) {
    service::Options options;
    set(options);
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
  /// The status of a GET of `path` with the Authorization header `authorization`; -1 for none.
  int Status(const char* path, const char* authorization = nullptr) {
    httplib::Headers headers;
    if (authorization != nullptr) headers.emplace("Authorization", authorization);
    const httplib::Result res = Client().Get(path, headers);
    EXPECT_TRUE(!res || res->status != 401 ||
                res->get_header_value("WWW-Authenticate") == "Bearer");
    return res ? res->status : -1;
  }

  ContractDb db_{Provider::SQLite};
  TempFolder scratch_;
  std::unique_ptr<service::Server> server_;
};

TEST_F(Service, AnswersEachRequest) {
  Start([](service::Options& o) { o.max_body = 4096; });
  httplib::Client client = Client();
  client.set_keep_alive(true);  // every request below down one connection
  const std::string price = api::CallWithJson("ContractLine.GetPrice", kPrice).text + "\n";
  const struct {
    const char* path;
    std::string body;  // a GET when empty
    int status;
    std::string answer;  // the whole body when it ends in a newline, else a part of it
  } cases[] = {
      // The same bytes `carvalen call` prints, names in any case.
      {"/v1/ContractLine/GetPrice", kPrice, 200, price},
      {"/v1/contractline/getprice", kPrice, 200, price},
      {"/v1/ContractLine/GetContractFieldValue", kNoLine, 422,
       api::CallWithJson("ContractLine.GetContractFieldValue", kNoLine).text + "\n"},
      // Type mismatch is the operation's error, raised before it runs.
      {"/v1/ContractLine/GetPrice",
       R"({"i_lContractHeaderID": "x", "i_lContractLineID": 1, "i_fQuantity": 1.0})", 422,
       R"("number": 13)"},
      // Usage errors are call_test's; here that they are 400, counted as calls but not errors.
      {"/v1/Nope/GetPrice", "{}", 400, R"({"usageError": {"message": "unknown class)"},
      {"/v1/ContractLine/GetPrice", "{bad", 400, "bad JSON"},
      {"/v1/ContractLine/GetPrice", std::string(5000, ' '), 413, "over the limit"},
      {"/v1/ContractLine/GetPrice", "", 404, "no endpoint"},
      {"/v1/operations", "", 200, api::Dump(api::OperationsJson()) + "\n"},
      {"/healthz", "", 200, "{\"alive\": true}\n"},
      {"/readyz", "", 200, "{\"ready\": true}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + (" " + c.body.substr(0, 40)));
    httplib::Result res =
        c.body.empty() ? client.Get(c.path) : client.Post(c.path, c.body, "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    EXPECT_TRUE(c.answer.ends_with('\n') ? res->body == c.answer
                                         : res->body.find(c.answer) != std::string::npos)
        << res->body;
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

TEST_F(Service, RefusesWhenFullAndDrains) {
  // A call that waits for the test to let it go.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> entered{0};
  struct Slow : Object {
    Slow(std::shared_future<void> gate, std::atomic<int>& entered) : gate(gate), entered(entered) {}
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
  Start([](service::Options& o) {
    o.threads = 1;
    o.keep_alive = 1s;
    o.max_connections = 2;
  });
  // The one worker is busy with a call and a second call waits for it; the probes are answered
  // meanwhile, and a connection beyond the two is refused at once.
  const auto post = [&] {
    httplib::Result res = Client().Post("/v1/ContractLine/GetPrice", kPrice, "application/json");
    return res ? res->status : -1;
  };
  std::future<int> busy = std::async(std::launch::async, post);
  WaitFor([&] { return entered.load() != 0; });
  EXPECT_EQ(Status("/healthz"), 200) << "a busy worker held up the probe";
  // The probe's connection is gone before the second call connects, so that call is not refused.
  WaitFor([&] { return server_->Connections() <= 1; });
  std::future<int> waiting = std::async(std::launch::async, post);
  WaitFor([&] { return server_->Connections() >= 2; });
  // No ASSERT before the release below: the call would never end.
  EXPECT_EQ(Status("/healthz"), 503);
  // Draining: a grace shorter than the call in flight runs out; a longer one sees it finish.
  // Nothing is served after the drain began.
  EXPECT_FALSE(server_->Drain(50ms));
  std::future<bool> drained = std::async(std::launch::async, [&] { return server_->Drain(10s); });
  release.set_value();
  EXPECT_EQ(busy.get(), 200);
  EXPECT_NE(waiting.get(), 200);
  EXPECT_TRUE(drained.get());
  EXPECT_EQ(Status("/healthz"), -1) << "still listening after the drain";
}

TEST_F(Service, TokensFromTheEnvironmentAndTheStore) {
  ScopedSetting env(Setting::ServiceTokens, " env-token-abcdefgh ,other-token-abcdefg");
  const std::filesystem::path store = std::filesystem::path(db_.ConfigDir()) / "Vendra.toml";
  std::ofstream(store, std::ios::app) << "\n[Service]\nTokens = \"store-token-abcdefg\"\n";
  carvalen::ForgetConfigurationStores();
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
    EXPECT_EQ(Status(c.path, c.authorization), c.status)
        << c.path << " " << (c.authorization ? c.authorization : "-");
  }
  httplib::Result call =
      Client().Post("/v1/ContractLine/GetPrice", {{"Authorization", "Bearer store-token-abcdefg"}},
                    kPrice, "application/json");
  ASSERT_TRUE(call);
  EXPECT_EQ(call->status, 200);
  // A token replaced in the store stops working once the store is read again.
  std::string text = ReadFile(store);
  text.replace(text.find("store-token-abcdefg"), 19, "new-token-abcdefghi");
  std::ofstream(store) << text;
  carvalen::ForgetConfigurationStores();
  std::this_thread::sleep_for(1100ms);  // the service looks at most once a second
  EXPECT_EQ(Status("/v1/operations", "Bearer store-token-abcdefg"), 401);
  EXPECT_EQ(Status("/v1/operations", "Bearer new-token-abcdefghi"), 200);
  // The access log has a line per request and never a token or an argument value.
  const std::string log = ReadFile(scratch_ / "access.log");
  EXPECT_NE(log.find(R"("operation":"ContractLine.GetPrice","status":200)"), std::string::npos)
      << log;
  for (const char* secret : {"env-token", "store-token", "other-token", "i_fQuantity", "60.0"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  }
}

TEST(ServiceSetup, ListenAddressesAndOffLoopbackOnlyWithAToken) {
  EXPECT_EQ(service::ParseListen("127.0.0.1:8080"), std::make_pair(std::string("127.0.0.1"), 8080));
  EXPECT_EQ(service::ParseListen(":0"), std::make_pair(std::string("127.0.0.1"), 0));
  EXPECT_EQ(service::ParseListen("[::1]:9"), std::make_pair(std::string("::1"), 9));
  EXPECT_EQ(service::ParseListen("0.0.0.0:65535"), std::make_pair(std::string("0.0.0.0"), 65535));
  for (const char* bad : {"8080", "host:", "host:x", "host:70000", "::1:80", "h:-1"}) {
    EXPECT_THROW(service::ParseListen(bad), api::UsageError) << bad;
  }
  TempFolder empty;
  ScopedSetting no_store(Setting::ConfigDir, empty.path.string());
  ScopedSetting no_env(Setting::ServiceTokens, "");
  std::ostringstream out;
  service::Options open;
  open.host = "0.0.0.0";
  EXPECT_THROW(service::RunServe(open, 1s, out), api::UsageError);
}

// Mixed calls from several keep-alive clients: every answer as expected, no connection left open,
// and memory that stops growing once the caches are warm.
TEST_F(Service, StaysSteadyUnderLoad) {
  constexpr int kRequests = kSanitized ? 1000 : 5000, kClients = 8;
  Start([](service::Options& o) { o.threads = kClients; });
  const struct {
    const char* path;
    const char* body;
    int status;
  } mix[] = {{"/v1/ContractLine/GetPrice", kPrice, 200},
             {"/v1/ContractLine/GetContractFieldValue", kNoLine, 422},
             {"/v1/ContractLine/GetPrice", "{\"i_nope\": 1}", 400},
             {"/v1/ContractLine/GetPriceBreakUpExists", kPrice, 400},
             {"/v1/Contract/GetContractHeader", R"({"i_lBusinessPartnerId": 501})", 200}};
  std::atomic<int> wrong{0}, done{0};
  std::atomic<long> midway{0};
  {
    std::vector<std::jthread> clients;
    for (int t = 0; t < kClients; ++t) {
      clients.emplace_back([&, t] {
        httplib::Client client = Client();
        client.set_keep_alive(true);
        for (int i = 0; i < kRequests; ++i) {
          const auto& call = mix[static_cast<std::size_t>(t + i) % std::size(mix)];
          httplib::Result res = client.Post(call.path, call.body, "application/json");
          if (!res || res->status != call.status) ++wrong;
          if (++done == kClients * kRequests / 2) midway = ResidentBytes();
        }
      });
    }
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  EXPECT_LE(db::PooledConnectionCount(), kClients);
  if (!kSanitized) {
    EXPECT_LT(ResidentBytes() - midway.load(), 8L << 20) << "memory grew by over 8 MiB";
  }
}

// Large bulk requests leave the service at its resting size, and one over the entry limit is a
// usage error.
TEST_F(Service, GivesBackWhatALargeRequestTook) {
  Start([](service::Options& o) {
    o.threads = 2;
    o.limits.max_entries = 300'000;
  });
  httplib::Client client = Client();
  const auto request = [](int entries) {
    std::string body = R"({"i_oDicBPProductQuan": {"$dict": [)";
    for (int i = 0; i < entries; ++i) {
      body += fmt::format("{}[{}, {{\"$array\": [1, 10]}}]", i == 0 ? "" : ", ", 1'000'000 + i);
    }
    return body + "]}}";
  };
  const auto post = [&](const std::string& body) {
    return client.Post("/v1/Contract/GetActiveContractLinesProc", body, "application/json");
  };
  const std::string large = request(250'000);  // 9 MB, made before the resting size is read
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

// The tool: `serve` on a free port answers, goes on after SIGHUP (systemd's reload, which reads the
// stores again), and SIGTERM ends it with status 0.
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
  WaitFor([&] { return ReadFile(out).find('\n') != std::string::npos; });
  const std::string text = ReadFile(out);
  const int port = text.rfind(':') == std::string::npos ? 0 : std::atoi(&text[text.rfind(':') + 1]);
  ASSERT_NE(port, 0) << text;
  httplib::Client client("127.0.0.1", port);
  ASSERT_EQ(client.Get("/healthz")->status, 200);
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  WaitFor([&] { return ReadFile(out).find("read again") != std::string::npos; });
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
