// The service in process (what a network client sees is tests/hostile's): answers and counters.
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
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
#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile, testing::ScopedSetting, testing::TempFolder;

// Whether this build runs under a sanitizer: slower, and freed memory is held back to catch
// misuse, so resident sizes say nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kPrice =
    R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})";
constexpr const char* kNoLine =
    R"({"i_lContractHeaderID": 1, "i_lContractLineID": 99, "i_sField": "PRICE"})";

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
  }
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
  /// Status (-1: none) and body of a GET of `path` or a POST of `body`, on `client` or its own.
  std::pair<int, std::string> Send(const std::string& path, const std::string& body = "",
                                   const char* authorization = nullptr,
                                   httplib::Client* client = nullptr) {
    std::optional<httplib::Client> own;
    httplib::Client& to = client != nullptr ? *client : own.emplace(Client());
    // "METHOD /path": sent from a page of https://app.test, answered as its headers and body.
    const std::size_t space = path.find(' ');
    const bool browser = space != std::string::npos;
    httplib::Request req;
    req.method = browser ? path.substr(0, space) : body.empty() ? "GET" : "POST";
    req.path = path.substr(browser ? space + 1 : 0);
    if (browser)
      req.headers = {{"Origin", "https://app.test"}, {"Access-Control-Request-Method", "POST"}};
    if (authorization != nullptr) req.set_header("Authorization", authorization);
    req.body = body;
    if (!body.empty()) req.set_header("Content-Type", "application/json");
    httplib::Response res;
    httplib::Error error = httplib::Error::Success;
    if (!to.send(req, res, error)) return {-1, httplib::to_string(error)};
    EXPECT_TRUE(res.status != 401 || res.get_header_value("WWW-Authenticate") == "Bearer");
    std::string text;
    for (const auto& [name, value] : res.headers) text += browser ? name + ": " + value + "\n" : "";
    return {res.status, text + res.body};
  }

  ContractDb db_{Provider::SQLite};
  TempFolder scratch_;
  std::unique_ptr<service::Server> server_;
};

TEST_F(Service, AnswersEachRequest) {
  Start([](service::Options& o) { o.cors_origins = {"https://app.test"}; });
  httplib::Client client = Client();
  client.set_keep_alive(true);  // every request below down one connection
  const std::string price = api::CallWithJson("ContractLine.GetPrice", kPrice).text + "\n";
  const std::string line = "{operation=\"ContractLine.";
  // (path, body or "" for a GET, status, the whole answer when it ends in a newline, else a part)
  const std::tuple<const char*, std::string, int, std::string> cases[] = {
      // The same bytes `carvalen call` prints, names in any case.
      {"/v1/ContractLine/GetPrice", kPrice, 200, price},
      {"/v1/contractline/getprice", kPrice, 200, price},
      {"/v1/ContractLine/GetContractFieldValue", kNoLine, 422,
       api::CallWithJson("ContractLine.GetContractFieldValue", kNoLine).text + "\n"},
      {"/v1/ContractLine/GetPrice",
       R"({"i_lContractHeaderID": "x", "i_lContractLineID": 1, "i_fQuantity": 1.0})", 422,
       R"("number": 13)"},
      // Usage errors are 400, counted as calls but not errors (unknown class: only here).
      {"/v1/Nope/GetPrice", "{}", 400, R"({"usageError": {"message": "unknown class \"Nope\")"},
      {"/v1/ContractLine/GetPrice", "{bad", 400, "bad JSON"},
      {"/v1/operations", "", 200, api::Dump(api::OperationsJson()) + "\n"},
      {"/healthz", "", 200, "{\"alive\": true}\n"},
      // The counters saw the calls above by their declared names.
      {"/metrics", "", 200, "carvalen_service_calls_total" + line + "GetPrice\"} 4"},
      {"/metrics", "", 200, "carvalen_service_call_errors_total" + line + "GetPrice\"} 1"},
      {"/metrics", "", 200, "carvalen_service_call_seconds_count" + line + "GetPrice\"} 4"},
      {"/metrics", "", 200, "carvalen_pool_connections{state=\"in_use\"} 0"},
      // The plain form: named errors with their HTTP status, the argument at fault named.
      {"/v1/plain/ContractLine/GetPrice", kPrice, 200,
       api::CallWithPlainJson("ContractLine.GetPrice", kPrice).text + "\n"},
      {"/v1/plain/ContractLine/GetContractFieldValue", kNoLine, 404, R"("ContractLineMissing")"},
      {"/v1/plain/ContractLine/GetPrice",
       R"({"i_lContractHeaderID": 1.5, "i_lContractLineID": 1, "i_fQuantity": 1})", 400,
       R"("parameter": "i_lContractHeaderID")"},
      // Browsers: a preflight of an allowed origin, its header on the call; methods: tests/hostile.
      {"OPTIONS /v1/plain/ContractLine/GetPrice", "", 204, "Methods: POST, OPTIONS"},
      {"POST /v1/plain/ContractLine/GetPrice", kPrice, 200, "Origin: https://app.test"},
  };
  for (const auto& [path, body, status, answer] : cases) {
    const auto [got, text] = Send(path, body, nullptr, &client);
    EXPECT_TRUE(got == status &&
                (answer.ends_with('\n') ? text == answer : text.find(answer) != std::string::npos))
        << path << " " << body.substr(0, 40) << ": " << got << " " << text;
  }
  // A request that names no operation is logged by its path.
  EXPECT_NE(ReadFile(scratch_ / "access.log").find(R"("method":"GET","operation":"/healthz")"),
            std::string::npos);
  // Not ready without a contract database (none in the scratch folder), with the library's reason.
  ScopedSetting nowhere(Setting::ConfigDir, scratch_.path.string());
  const auto [status, text] = Send("/readyz", "", nullptr, &client);
  EXPECT_EQ(status, 503);
  EXPECT_NE(text.find("Connection string is not available"), std::string::npos) << text;
  EXPECT_NE(text.find("nor Zandril.toml in " + scratch_.path.string()), std::string::npos) << text;
}

struct Slow : Object {  // a call that waits for the test to let it go
  static inline std::atomic<int> entered{0};
  static inline std::shared_future<void> gate;
  std::string ClassName() const override { return "ContractLine"; }
  Variant Invoke(std::string_view, std::span<Variant>) override {
    ++entered;
    gate.wait();
    return Variant(1.0);
  }
};

TEST_F(Service, AnswersProbesWhileBusyAndDrains) {
  std::promise<void> release;
  Slow::entered = 0;
  Slow::gate = release.get_future().share();
  ComponentOverride slow("Carvalen.ContractLine", [] { return std::make_shared<Slow>(); });
  Start([](service::Options& o) { o.threads = 1; });
  const auto post = [&] { return Send("/v1/ContractLine/GetPrice", kPrice).first; };
  // The one worker runs a call and a second call waits for it; the probe is answered meanwhile.
  std::future<int> busy = std::async(std::launch::async, post);
  WaitFor([&] { return Slow::entered.load() != 0; });
  EXPECT_EQ(Send("/healthz").first, 200) << "a busy worker held up the probe";
  WaitFor([&] { return server_->Connections() <= 1; });  // so two are the two calls
  std::future<int> waiting = std::async(std::launch::async, post);
  WaitFor([&] { return server_->Connections() >= 2; });
  // No ASSERT before the release: the call would never end.
  EXPECT_FALSE(server_->Drain(50ms));
  std::future<bool> drained = std::async(std::launch::async, [&] { return server_->Drain(10s); });
  release.set_value();
  EXPECT_EQ(busy.get(), 200);
  EXPECT_NE(waiting.get(), 200);
  EXPECT_TRUE(drained.get());
  EXPECT_EQ(Send("/healthz").first, -1) << "still listening after the drain";
}

TEST_F(Service, TokensFromTheEnvironmentAndTheStore) {
  ScopedSetting env(Setting::ServiceTokens, " env-token-abcdefgh ,other-token-abcdefg");
  const std::filesystem::path store = std::filesystem::path(db_.ConfigDir()) / "Vendra.toml";
  std::ofstream(store, std::ios::app) << "\n[Service]\nTokens = \"store-token-abcdefg\"\n";
  carvalen::ForgetConfigurationStores();
  Start();
  const std::tuple<const char*, const char*, const char*, int> cases[] = {
      {"/v1/operations", "", "Bearer env-token-abcdefg", 401},    // a prefix
      {"/v1/operations", "", "Bearer env-token-abcdefgh2", 401},  // longer
      {"/v1/operations", "", "env-token-abcdefgh", 401},          // no scheme
      {"/v1/operations", "", "Bearer env-token-abcdefgh", 200},
      {"/v1/operations", "", "bearer  other-token-abcdefg ", 200},
      {"/v1/ContractLine/GetPrice", kPrice, "Bearer store-token-abcdefg", 200},
      {"/healthz", "", nullptr, 200},  // probes need no token
  };
  for (const auto& [path, body, authorization, status] : cases)
    EXPECT_EQ(Send(path, body, authorization).first, status) << path << " " << authorization;
  // A token replaced in the store stops working once the store is read again.
  std::string text = ReadFile(store);
  text.replace(text.find("store-token-abcdefg"), 19, "new-token-abcdefghi");
  std::ofstream(store) << text;
  carvalen::ForgetConfigurationStores();
  std::this_thread::sleep_for(1100ms);  // the service looks at most once a second
  EXPECT_EQ(Send("/v1/operations", "", "Bearer store-token-abcdefg").first, 401);
  EXPECT_EQ(Send("/v1/operations", "", "Bearer new-token-abcdefghi").first, 200);
  const std::string log = ReadFile(scratch_ / "access.log");
  for (const char* secret : {"env-token", "store-token", "other-token", "i_fQuantity", "60.0"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

TEST(ServiceSetup, ParsesListenAddresses) {
  EXPECT_EQ(service::ParseListen(":0"), std::make_pair(std::string("127.0.0.1"), 0));
  EXPECT_EQ(service::ParseListen("[::1]:9"), std::make_pair(std::string("::1"), 9));
  EXPECT_EQ(service::ParseListen("0.0.0.0:65535"), std::make_pair(std::string("0.0.0.0"), 65535));
  for (const char* bad : {"8080", "host:", "host:x", "host:70000", "::1:80", "h:-1"})
    EXPECT_THROW(service::ParseListen(bad), api::UsageError) << bad;
}

// Mixed keep-alive calls, then bulk requests: right answers, no leaks, memory steady, given back.
TEST_F(Service, StaysSteadyUnderLoadAndGivesBackALargeRequest) {
  constexpr int kRequests = kSanitized ? 1000 : 5000, kClients = 8;
  Start([](service::Options& o) { o.threads = kClients, o.limits.max_entries = 300'000; });
  const std::tuple<const char*, const char*, int> mix[] = {
      {"/v1/ContractLine/GetPrice", kPrice, 200},
      {"/v1/ContractLine/GetContractFieldValue", kNoLine, 422},
      {"/v1/ContractLine/GetPrice", "{\"i_nope\": 1}", 400},
      {"/v1/ContractLine/GetPriceBreakUpExists", kPrice, 400},
      {"/v1/Contract/GetContractHeader", R"({"i_lBusinessPartnerId": 501})", 200}};
  std::atomic<int> wrong{0}, done{0};
  std::atomic<long> midway{0};
  std::vector<std::jthread> clients;
  for (int t = 0; t < kClients; ++t)
    clients.emplace_back([&, t] {
      httplib::Client client = Client();
      client.set_keep_alive(true);
      for (int i = 0; i < kRequests; ++i) {
        const auto& [path, body, status] = mix[static_cast<std::size_t>(t + i) % std::size(mix)];
        if (Send(path, body, nullptr, &client).first != status) ++wrong;
        if (++done == kClients * kRequests / 2) midway = ResidentBytes();
      }
    });
  clients.clear();  // joins them
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(db::OpenConnectionCount(), 0);
  EXPECT_LE(db::PooledConnectionCount(), kClients);
  EXPECT_TRUE(kSanitized || ResidentBytes() - midway.load() < 8L << 20) << "grew over 8 MiB";

  const auto request = [](int entries) {
    std::string body = R"({"i_oDicBPProductQuan": {"$dict": [)";
    for (int i = 0; i < entries; ++i)
      body += fmt::format("{}[{}, {{\"$array\": [1, 10]}}]", i == 0 ? "" : ", ", 1'000'000 + i);
    return body + "]}}";
  };
  const char* lines = "/v1/Contract/GetActiveContractLinesProc";
  // Six entries a request count towards the limit of 300,000: 45,000 requests are 1.6 MB, past
  // the size whose memory is given back; made before the resting size is read.
  const std::string large = request(45'000);
  ASSERT_EQ(Send(lines, request(10)).first, 200);
  const long resting = ResidentBytes();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Send(lines, large).second, "{\"result\": {\"$dict\": []}, \"byref\": {}}\n");
  EXPECT_TRUE(kSanitized || ResidentBytes() - resting < 24L << 20) << "the memory was kept";
  const auto [status, text] = Send(lines, request(50'001));
  EXPECT_EQ(status, 400);
  EXPECT_NE(text.find("hold more than 300000 entries in all"), std::string::npos) << text;
}

}  // namespace
}  // namespace carvalen::test
