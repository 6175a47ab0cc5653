// The `carvalen` tool run as a process, the way scripts use it: exit statuses, stdout and stderr.
// CARVALEN_CLI names the built tool; without it every test here is skipped.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "carvalen/error.hpp"
#include "model/schema.hpp"
#include "platform/db/client.hpp"

namespace carvalen {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Env = std::vector<std::pair<std::string, std::string>>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "carvalen-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Every run starts from an environment without the tool's variables, so that the caller's shell
// cannot change what a test sees.
Outcome RunTool(const std::vector<std::string>& args, const Env& env = {}) {
  static const char* const kCli = std::getenv("CARVALEN_CLI");
  TempDir scratch;
  std::string command = "env -u CARVALEN_CONFIG_DIR -u CARVALEN_LOG -u CARVALEN_SQL_TRACE";
  for (const auto& [name, value] : env) command += " " + ShellQuote(name + "=" + value);
  command += " " + ShellQuote(kCli);
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  command += " </dev/null >" + ShellQuote(scratch / "out") + " 2>" + ShellQuote(scratch / "err");
  const int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = ReadFile(scratch / "out");
  outcome.err = ReadFile(scratch / "err");
  return outcome;
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
  return text;
}

// Rows of a query on a SQLite file, read through the library's own client: values joined by
// '|', rows by ';', Null as NULL.
std::string QueryRows(const std::string& database, const std::string& sql) {
  auto connection = std::make_shared<db::Connection>();
  connection->Open("Provider=SQLite;Data Source=" + database);
  auto records = db::Recordset::Create();
  records->Open(sql, connection);
  std::string rows;
  while (!records->Eof()) {
    std::string row;
    for (const std::string& field : records->FieldNames()) {
      Variant value = records->Field(field);
      row += (row.empty() ? "" : "|") + (value.IsNull() ? std::string("NULL") : value.ToString());
    }
    rows += (rows.empty() ? "" : ";") + row;
    records->MoveNext();
  }
  records->Close();
  connection->Close();
  // A pooled session would keep reading a database file that a later init-demo replaced.
  db::DrainPool();
  return rows;
}

class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* cli = std::getenv("CARVALEN_CLI");
    if (cli == nullptr || *cli == '\0') return;
    demo_ = std::make_unique<TempDir>();
    Outcome made = RunTool({"init-demo", "--dir", demo_->Path().string()});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  static void TearDownTestSuite() { demo_.reset(); }

  void SetUp() override {
    const char* cli = std::getenv("CARVALEN_CLI");
    if (cli == nullptr || *cli == '\0') GTEST_SKIP() << "CARVALEN_CLI is not set";
    ASSERT_TRUE(demo_);
  }

  /// Environment for calls on the demo, with the log kept off the test's stderr.
  Env DemoEnv() const {
    return {{"CARVALEN_CONFIG_DIR", demo_->Path().string()}, {"CARVALEN_LOG", scratch_ / "log"}};
  }
  std::string DemoDatabase() const { return (demo_->Path() / "contracts.db").string(); }

  static std::unique_ptr<TempDir> demo_;
  TempDir scratch_;
};

std::unique_ptr<TempDir> Cli::demo_;

TEST_F(Cli, CallsOperationsOnTheDemo) {
  const struct {
    std::vector<std::string> args;
    const char* out;
  } cases[] = {
      {{"ContractLine.GetContractLineNumber", "i_lQuotationNumber=1001"},
       R"({"result": {"$array": [1, 1], "lbound": 0}, "byref": {}})"},
      {{"contractline.GETCONTRACTLINENUMBER", "I_LQUOTATIONNUMBER=1002"},
       R"({"result": {"$array": [1, 2], "lbound": 0}, "byref": {}})"},
      {{"Carvalen.ContractLine.GetContractLineNumber", "i_lQuotationNumber=1007"},
       R"({"result": {"$array": [2, 1], "lbound": 0}, "byref": {}})"},
      // Arguments convert as late binding converts them: halves to even, numeric text.
      {{"ContractLine.GetContractLineNumber", "i_lQuotationNumber=1001.5"},
       R"({"result": {"$array": [1, 2], "lbound": 0}, "byref": {}})"},
      {{"ContractLine.GetContractLineNumber", R"(i_lQuotationNumber="1003")"},
       R"({"result": {"$array": [1, 3], "lbound": 0}, "byref": {}})"},
      {{"ContractLine.GetContractLineNumber", "i_lQuotationNumber=999999"},
       R"({"result": {"$array": [{"$int16": 0}, {"$int16": 0}], "lbound": 0}, "byref": {}})"},
      // By-reference parameters: listed after the call, an omitted optional one at its default.
      {{"ContractLine.GetPrice", "i_lContractHeaderID=1", "i_lContractLineID=1", "i_fQuantity=100"},
       R"({"result": 7.0, "byref": {"o_sCurrencyCode": "EUR", "i_fReturnValue": 0.0}})"},
      {{"ContractLine.GetPrice", "i_lContractHeaderID=1", "i_lContractLineID=1", "i_fQuantity=5",
        "i_fReturnValue=-1.0"},
       R"({"result": -1.0, "byref": {"o_sCurrencyCode": "EUR", "i_fReturnValue": -1.0}})"},
      // A by-reference Variant left out starts Empty, and no discount leaves it so.
      {{"ContractLine.GetDiscount", "i_lContractHeaderID=1", "i_lContractLineID=4",
        "i_fQuantity=10"},
       R"({"result": 0.0, "byref": {"o_sCurrency": "EUR", "o_bPercentage": {"$empty": true}}})"},
      {{"ContractLine.GetDiscount", "i_lContractHeaderID=1", "i_lContractLineID=4",
        "i_fQuantity=10", "o_bPercentage=false"},
       R"({"result": 0.0, "byref": {"o_sCurrency": "EUR", "o_bPercentage": false}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    std::vector<std::string> args = {"call"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome outcome = RunTool(args, DemoEnv());
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, std::string(c.out) + "\n");
  }
}

TEST_F(Cli, ArgumentThatDoesNotConvertFailsBeforeTheOperationRuns) {
  const struct {
    const char* value;
    std::int32_t number;
    const char* description;
  } cases[] = {
      {R"("abc")", 13, "Type mismatch"},
      {R"({"$array": [1]})", 13, "Type mismatch"},
      {"3000000000", 6, "Overflow"},
      {"null", 94, "Invalid use of Null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    Env env = DemoEnv();
    env.emplace_back("CARVALEN_SQL_TRACE", scratch_ / "trace");
    Outcome outcome = RunTool({"call", "ContractLine.GetContractLineNumber",
                               std::string("i_lQuotationNumber=") + c.value},
                              env);
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    ASSERT_EQ(outcome.out.back(), '\n');
    Json error = Json::parse(outcome.out).at("error");
    EXPECT_EQ(error.at("number"), c.number);
    EXPECT_EQ(error.at("description"), c.description);
    EXPECT_TRUE(error.at("source").is_string());
    EXPECT_EQ(error.at("helpFile"), "");
    EXPECT_EQ(error.at("helpContext"), 0);
    // Nothing logged, no connection opened.
    EXPECT_EQ(ReadFile(scratch_ / "log"), "");
    EXPECT_EQ(ReadFile(scratch_ / "trace"), "");
  }
}

TEST_F(Cli, OperationErrorIsPrintedAsJsonAndLogged) {
  TempDir config;
  std::ofstream(config / "Vendra.toml")
      << "[ConnectionStrings]\nEContract = \"Provider=SQLite;Data Source=" << (config / "none.db")
      << "\"\n";
  TempDir no_store;
  const struct {
    const char* name;
    std::string dir;
    std::int32_t number;  // 0: whatever the database layer reports
  } cases[] = {
      {"missing database file", config.Path().string(), 0},
      {"no configuration store", no_store.Path().string(), errnum::kNoConfigurationStore},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string log = scratch_ / (std::string(c.name) + ".log");
    Outcome outcome =
        RunTool({"call", "ContractLine.GetContractLineNumber", "i_lQuotationNumber=1"},
                {{"CARVALEN_CONFIG_DIR", c.dir}, {"CARVALEN_LOG", log}});
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    Json error = Json::parse(outcome.out).at("error");
    ASSERT_TRUE(error.at("number").is_number_integer());
    if (c.number != 0) {
      EXPECT_EQ(error.at("number"), c.number);
    } else {
      EXPECT_NE(error.at("number"), 0);
    }
    EXPECT_TRUE(error.at("source").is_string());
    EXPECT_NE(error.at("description")
                  .get<std::string>()
                  .find(" METHOD: Carvalen.ContractLine.GetContractLineNumber\r\n"),
              std::string::npos)
        << error.at("description");
    EXPECT_TRUE(error.at("helpFile").is_string());
    EXPECT_TRUE(error.at("helpContext").is_number_integer());
    // Written to the log, not to stdout.
    EXPECT_NE(ReadFile(log).find("Carvalen.ContractLine.GetContractLineNumber"), std::string::npos);
  }
}

TEST_F(Cli, ReportsUsageErrorsOnStderr) {
  const std::string number = "ContractLine.GetContractLineNumber";
  const struct {
    std::vector<std::string> args;
    const char* message;  // part of stderr
  } cases[] = {
      {{}, "subcommand"},
      {{"frobnicate"}, ""},
      {{"call"}, "target"},
      {{"call", "Nope.GetPrice"}, R"(unknown class "Nope")"},
      {{"call", "ContractLine.Nope"}, R"(ContractLine has no operation "Nope")"},
      {{"call", "ContractLine"}, "expected <Class>.<Operation>"},
      {{"call", number}, "GetContractLineNumber needs a value for i_lQuotationNumber"},
      {{"call", number, "i_lBogus=1"}, R"(has no parameter "i_lBogus")"},
      {{"call", number, "i_lQuotationNumber=1", "I_LQUOTATIONNUMBER=2"}, "given twice"},
      {{"call", number, "i_lQuotationNumber=abc"}, R"(i_lQuotationNumber='"abc"')"},
      {{"call", number, "i_lQuotationNumber={"}, "bad JSON"},
      {{"call", number, R"(i_lQuotationNumber={"$int16": 99999})"}, "$int16"},
      {{"call", number, R"(i_lQuotationNumber={"$array": [[1], [2, 3]]})"}, "same length"},
      {{"call", number, "i_lQuotationNumber"}, "expected NAME=VALUE"},
      {{"ops", "Nope"}, R"(unknown class "Nope")"},
      {{"schema"}, "--provider"},
      {{"schema", "--provider", "oracle"}, "oracle"},
      {{"init-demo"}, "--dir"},
      {{"init-demo", "--dir", scratch_ / "x", "--size", "0"}, "--size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    Outcome outcome = RunTool(c.args, DemoEnv());
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err, "");
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
}

TEST_F(Cli, HasHelpOnEveryCommand) {
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"call", "--help"},
                                             {"ops", "--help"},
                                             {"init-demo", "--help"},
                                             {"schema", "--help"}}) {
    SCOPED_TRACE(Joined(args));
    Outcome outcome = RunTool(args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find("Usage:"), std::string::npos);
  }
}

TEST_F(Cli, ListsOperations) {
  Outcome text = RunTool({"ops", "contractline"});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("ContractLine (Carvalen.ContractLine, interface _ContractLine)\n"
                          "  GetContractLineDetail("),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("  GetContractLineNumber(i_lQuotationNumber As Long) As Variant\n"),
            std::string::npos);
  EXPECT_EQ(text.out.find("Enum "), std::string::npos);

  Outcome everything = RunTool({"ops"});
  EXPECT_NE(everything.out.find("Enum EContractLineStatus: Create = 1, Under Approval = 2,"),
            std::string::npos);

  Outcome json = RunTool({"ops", "--json"});
  ASSERT_EQ(json.status, 0);
  const Json classes = Json::parse(json.out).at("classes");
  ASSERT_EQ(classes.size(), 3u);
  EXPECT_EQ(classes[0].at("name"), "Contract");
  const Json& line = classes[1];
  EXPECT_EQ(line.at("progId"), "Carvalen.ContractLine");
  const Json* number = nullptr;
  for (const Json& op : line.at("operations")) {
    if (op.at("name") == "GetContractLineNumber") number = &op;
  }
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number->dump(),
            R"({"name":"GetContractLineNumber","parameters":[{"name":"i_lQuotationNumber",)"
            R"("type":"Long","byref":false,"optional":false}],"result":"Variant"})");
  EXPECT_EQ(classes[2].at("enumerations")[0].at("members")[1].dump(),
            R"({"name":"Under Approval","value":2})");
}

TEST_F(Cli, PrintsTheSchema) {
  const struct {
    const char* provider;
    model::SchemaProvider expected;
  } cases[] = {
      {"sqlite", model::SchemaProvider::SQLite},
      {"postgresql", model::SchemaProvider::PostgreSQL},
      {"PostgreSQL", model::SchemaProvider::PostgreSQL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.provider);
    Outcome outcome = RunTool({"schema", "--provider", c.provider});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, model::SchemaScript(c.expected));
  }
}

TEST_F(Cli, InitDemoWritesTheStoreAndRefusesToOverwrite) {
  const std::string dir = scratch_ / "new folder/demo";
  Outcome made = RunTool({"init-demo", "--dir", dir, "--size", "1"});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "export CARVALEN_CONFIG_DIR=" + ShellQuote(dir) + "\n");
  EXPECT_EQ(made.err, "");
  EXPECT_EQ(ReadFile(fs::path(dir) / "Vendra.toml"),
            "# Configuration store of the Carvalen demo, written by `carvalen init-demo`.\n"
            "[ConnectionStrings]\n"
            "EContract = \"Provider=SQLite;Data Source=" +
                dir +
                "/contracts.db\"\n"
                "\n"
                "[CONNECTIONS]\n"
                "EContractConnection_CommandTimeout = \"30\"\n"
                "EContractConnection_ConnectionTimeout = \"15\"\n");
  EXPECT_EQ(QueryRows(dir + "/contracts.db", "SELECT COUNT(*) FROM CONTRACTLINE"), "1");

  Outcome again = RunTool({"init-demo", "--dir", dir, "--size", "1"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_NE(again.err.find("contracts.db already exists (use --force to replace it)"),
            std::string::npos)
      << again.err;

  Outcome forced = RunTool({"init-demo", "--dir", dir, "--size", "7", "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(QueryRows(dir + "/contracts.db", "SELECT COUNT(*) FROM CONTRACTLINE"), "7");
  EXPECT_FALSE(fs::exists(fs::path(dir) / ".contracts.db.partial"));
}

TEST_F(Cli, DemoHoldsTheDocumentedRowsAndEveryKindOfData) {
  const struct {
    const char* sql;
    const char* rows;
  } cases[] = {
      {"SELECT COUNT(*) FROM CONTRACTLINE", "200"},
      {"SELECT CONTRACTSTATUS, CURRENCYCODE, TAXPERCENTAGE, FREIGHTCHARGE, HANDLINGCHARGE, "
       "QUOTATIONID, INCLUDEPRICEBREAKUP, MINQTYBREAKUP FROM CONTRACTLINE "
       "WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1",
       "6|EUR|8|5|2|1001|1|1"},
      {"SELECT QUANTITY, PRICE FROM CONTRACTPRICE WHERE CONTRACTHEADERID = 1 AND "
       "CONTRACTLINEID = 1 ORDER BY QUANTITY",
       "10|9;50|8;100|7"},
      {"SELECT QUANTITY, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT FROM CONTRACTDISCOUNT "
       "WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1 ORDER BY QUANTITY",
       "50|10|0;1000|0|1.5"},
      {"SELECT CATEGORYID, FIELDVALUE FROM CATEGORYSETTING "
       "WHERE FIELDNAME = 'AUTOMATICRFQGENERATION' ORDER BY CATEGORYID",
       "10|True;20|True;30|False;40|True"},
      {"SELECT COUNT(DISTINCT CONTRACTSTATUS) FROM CONTRACTLINE", "7"},
      // Price breaks under both matching rules.
      {"SELECT COUNT(DISTINCT MINQTYBREAKUP) FROM CONTRACTLINE L WHERE INCLUDEPRICEBREAKUP = 1 "
       "AND EXISTS (SELECT 1 FROM CONTRACTPRICE P WHERE P.CONTRACTHEADERID = L.CONTRACTHEADERID "
       "AND P.CONTRACTLINEID = L.CONTRACTLINEID)",
       "2"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTLINE WHERE INCLUDEPRICEBREAKUP = 0 AND PRICE > 0", "1"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTDISCOUNT WHERE DISCOUNTPERCENTAGE > 0", "1"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTDISCOUNT WHERE DISCOUNTAMOUNT > 0", "1"},
      // Active lines open-ended and expiring within 30 days.
      {"SELECT COUNT(*) > 0 FROM CONTRACTLINE WHERE CONTRACTSTATUS = 6 AND EXPIRYDATETIME IS NULL",
       "1"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTLINE WHERE CONTRACTSTATUS = 6 AND EXPIRYDATETIME "
       "BETWEEN date('now', 'localtime') AND date('now', 'localtime', '+30 days')",
       "1"},
      {"SELECT COUNT(*) > 0 FROM (SELECT L.PRODUCTID FROM CONTRACTLINE L JOIN CONTRACTHEADER H "
       "ON H.CONTRACTHEADERID = L.CONTRACTHEADERID GROUP BY L.PRODUCTID "
       "HAVING COUNT(DISTINCT H.BUSINESSPARTNERID) > 1)",
       "1"},
      {"SELECT COUNT(DISTINCT EXPORTSTATUS), COUNT(DISTINCT PREVENTTRANSACTION) "
       "FROM CONTRACTLINEBIS",
       "2|2"},
      {"SELECT COUNT(*) > 0, COUNT(CONTRACTLINEID) > 0, COUNT(DISTINCT ATTACHMENTSTATUS) > 3 "
       "FROM CONTRACTATTACHMENT WHERE CONTRACTLINEID IS NULL OR CONTRACTLINEID > 0",
       "1|1|1"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTUSERDATA", "1"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTHEADER WHERE CATEGORYID IS NULL", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(QueryRows(DemoDatabase(), c.sql), c.rows);
  }
}

TEST_F(Cli, DemoIsTheSameEveryTime) {
  TempDir other;
  Outcome made = RunTool({"init-demo", "--dir", other.Path().string()});
  ASSERT_EQ(made.status, 0) << made.err;
  const char* const kDigests[] = {
      "SELECT COUNT(*), SUM(PRICE), SUM(QUANTITY), SUM(PRODUCTID * CONTRACTSTATUS), "
      "SUM(LENGTH(CONTRACTDESCRIPTION)), MAX(EXPIRYDATETIME), SUM(QUOTATIONID) FROM CONTRACTLINE",
      "SELECT COUNT(*), SUM(BUSINESSPARTNERID), SUM(CATEGORYID) FROM CONTRACTHEADER",
      "SELECT COUNT(*), SUM(QUANTITY * PRICE) FROM CONTRACTPRICE",
      "SELECT COUNT(*), SUM(ATTACHMENTSTATUS * ATTACHMENTID) FROM CONTRACTATTACHMENT",
      "SELECT COUNT(*), SUM(EXPORTSTATUS * BISID) FROM CONTRACTLINEBIS",
  };
  for (const char* sql : kDigests) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(QueryRows((other.Path() / "contracts.db").string(), sql),
              QueryRows(DemoDatabase(), sql));
  }
}

}  // namespace
}  // namespace carvalen
