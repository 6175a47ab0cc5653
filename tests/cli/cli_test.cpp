// The `carvalen` tool run as a process, the way scripts use it: exit statuses, stdout and stderr.
// CARVALEN_CLI names the built tool; without it every test here is skipped.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "carvalen/error.hpp"
#include "model/schema.hpp"
#include "platform/db/client.hpp"

namespace carvalen {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "carvalen-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  TempDir(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
  fs::path path;
};

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Outcome {
  int status;
  std::string out, err;
};

// Runs the tool on `args` as a shell splits them, with `env` (NAME=VALUE words) added to an
// environment cleared of the tool's variables, so that the caller's shell changes nothing.
Outcome Run(const std::string& args, const std::string& env = "") {
  TempDir scratch;
  const std::string command = "env -u CARVALEN_CONFIG_DIR -u CARVALEN_LOG -u CARVALEN_SQL_TRACE " +
                              env + " " + Quote(std::getenv("CARVALEN_CLI")) + " " + args +
                              " </dev/null >" + Quote(scratch / "out") + " 2>" +
                              Quote(scratch / "err");
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(scratch / "out"),
          ReadFile(scratch / "err")};
}

// Rows of a query on a SQLite file, read through the library's client: values joined by '|',
// rows by ';'.
std::string Query(const std::string& database, const std::string& sql) {
  auto connection = std::make_shared<db::Connection>();
  connection->Open("Provider=SQLite;Data Source=" + database);
  auto records = db::Recordset::Create();
  records->Open(sql, connection);
  std::string rows;
  for (; !records->Eof(); records->MoveNext()) {
    std::string row;
    for (const std::string& field : records->FieldNames()) {
      row += (row.empty() ? "" : "|") + records->Field(field).ToString();
    }
    rows += (rows.empty() ? "" : ";") + row;
  }
  records->Close();
  connection->Close();
  db::DrainPool();  // a pooled session would keep reading a file that init-demo replaced
  return rows;
}

class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::getenv("CARVALEN_CLI") == nullptr) return;
    demo_ = std::make_unique<TempDir>();
    const Outcome made = Run("init-demo --dir " + Quote(demo_->path));
    ASSERT_EQ(made.status, 0) << made.err;
  }
  static void TearDownTestSuite() { demo_.reset(); }
  void SetUp() override {
    if (std::getenv("CARVALEN_CLI") == nullptr) GTEST_SKIP() << "CARVALEN_CLI is not set";
    ASSERT_TRUE(demo_);
  }

  // Calls on the demo, with the log kept off the test's stderr.
  std::string DemoEnv() const {
    return "CARVALEN_CONFIG_DIR=" + Quote(demo_->path) + " CARVALEN_LOG=" + Quote(scratch_ / "log");
  }

  static std::unique_ptr<TempDir> demo_;
  TempDir scratch_;
};

std::unique_ptr<TempDir> Cli::demo_;

TEST_F(Cli, CallsOperationsOnTheDemo) {
  const struct {
    const char* args;
    const char* out;
  } cases[] = {
      {"ContractLine.GetContractLineNumber i_lQuotationNumber=1001",
       R"({"result": {"$array": [1, 1], "lbound": 0}, "byref": {}})"},
      // Names match without regard to case; the ProgID names the class too.
      {"contractline.GETCONTRACTLINENUMBER I_LQUOTATIONNUMBER=1002",
       R"({"result": {"$array": [1, 2], "lbound": 0}, "byref": {}})"},
      {"Carvalen.ContractLine.GetContractLineNumber i_lQuotationNumber=1007",
       R"({"result": {"$array": [2, 1], "lbound": 0}, "byref": {}})"},
      // Arguments convert as late binding converts them: halves to even, numeric text.
      {"ContractLine.GetContractLineNumber i_lQuotationNumber=1001.5",
       R"({"result": {"$array": [1, 2], "lbound": 0}, "byref": {}})"},
      {R"(ContractLine.GetContractLineNumber i_lQuotationNumber='"1003"')",
       R"({"result": {"$array": [1, 3], "lbound": 0}, "byref": {}})"},
      // Every by-reference parameter is listed: an omitted optional one at its default, an
      // omitted Variant Empty.
      {"ContractLine.GetPrice i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=100",
       R"({"result": 7.0, "byref": {"o_sCurrencyCode": "EUR", "i_fReturnValue": 0.0}})"},
      {"ContractLine.GetDiscount i_lContractHeaderID=1 i_lContractLineID=4 i_fQuantity=10",
       R"({"result": 0.0, "byref": {"o_sCurrency": "EUR", "o_bPercentage": {"$empty": true}}})"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Run(std::string("call ") + c.args, DemoEnv());
    EXPECT_EQ(outcome.status, 0) << c.args << outcome.err;
    EXPECT_EQ(outcome.out, std::string(c.out) + "\n") << c.args;
  }
}

// The operation never runs: nothing is logged and no connection is opened.
TEST_F(Cli, ArgumentThatDoesNotConvertFailsBeforeTheOperationRuns) {
  const struct {
    const char* value;
    const char* error;
  } cases[] = {
      {R"('"abc"')", R"("number": 13, "source": "Carvalen", "description": "Type mismatch")"},
      {"3000000000", R"("number": 6, "source": "Carvalen", "description": "Overflow")"},
      {"null", R"("number": 94, "source": "Carvalen", "description": "Invalid use of Null")"},
  };
  for (const auto& c : cases) {
    const Outcome outcome =
        Run(std::string("call ContractLine.GetContractLineNumber i_lQuotationNumber=") + c.value,
            DemoEnv() + " CARVALEN_SQL_TRACE=" + Quote(scratch_ / "trace"));
    EXPECT_EQ(outcome.status, 1) << c.value << outcome.err;
    EXPECT_EQ(outcome.out, std::string(R"({"error": {)") + c.error +
                               R"(, "helpFile": "", "helpContext": 0}})"
                               "\n");
    EXPECT_EQ(ReadFile(scratch_ / "log"), "") << c.value;
    EXPECT_EQ(ReadFile(scratch_ / "trace"), "") << c.value;
  }
}

TEST_F(Cli, OperationErrorIsPrintedAsJsonAndLogged) {
  TempDir config, no_store;
  std::ofstream(config / "Vendra.toml") << "[ConnectionStrings]\nEContract = \"Provider=SQLite;"
                                        << "Data Source=" << (config / "none.db") << "\"\n";
  const struct {
    const TempDir& dir;
    std::int32_t number;  // 0: whatever the database layer reports
  } cases[] = {{config, 0}, {no_store, errnum::kNoConfigurationStore}};
  for (const auto& c : cases) {
    const std::string log = scratch_ / (c.dir.path.filename().string() + ".log");
    const Outcome outcome =
        Run("call ContractLine.GetContractLineNumber i_lQuotationNumber=1",
            "CARVALEN_CONFIG_DIR=" + Quote(c.dir.path) + " CARVALEN_LOG=" + Quote(log));
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    const auto error = nlohmann::json::parse(outcome.out).at("error");
    EXPECT_NE(error.at("number"), 0);
    if (c.number != 0) EXPECT_EQ(error.at("number"), c.number);
    EXPECT_NE(error.at("description")
                  .get<std::string>()
                  .find(" METHOD: Carvalen.ContractLine.GetContractLineNumber\r\n"),
              std::string::npos)
        << error;
    EXPECT_NE(ReadFile(log).find("Carvalen.ContractLine.GetContractLineNumber"), std::string::npos);
  }
}

TEST_F(Cli, ReportsUsageErrorsOnStderr) {
  const std::string number = "call ContractLine.GetContractLineNumber ";
  const struct {
    std::string args;
    const char* message;  // part of stderr
  } cases[] = {
      {"", "subcommand"},
      {"frobnicate", ""},
      {"call", "target"},
      {"call Nope.GetPrice", R"(unknown class "Nope")"},
      {"call ContractLine.Nope", R"(ContractLine has no operation "Nope")"},
      {"call ContractLine", "expected <Class>.<Operation>"},
      {number, "GetContractLineNumber needs a value for i_lQuotationNumber"},
      {number + "i_lBogus=1", R"(has no parameter "i_lBogus")"},
      {number + "i_lQuotationNumber=1 I_LQUOTATIONNUMBER=2", "given twice"},
      {number + "i_lQuotationNumber=abc", R"(i_lQuotationNumber='"abc"')"},
      {number + "i_lQuotationNumber={", "bad JSON"},
      {number + "i_lQuotationNumber", "expected NAME=VALUE"},
      {"ops Nope", R"(unknown class "Nope")"},
      {"schema", "--provider"},
      {"schema --provider oracle", "oracle"},
      {"init-demo", "--dir"},
      {"init-demo --size 0 --dir " + Quote(scratch_ / "x"), "--size"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Run(c.args, DemoEnv());
    EXPECT_EQ(outcome.status, 2) << c.args;
    EXPECT_EQ(outcome.out, "") << c.args;
    EXPECT_NE(outcome.err, "") << c.args;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.args << outcome.err;
  }
  EXPECT_FALSE(fs::exists(scratch_ / "x"));
}

TEST_F(Cli, PrintsHelpOperationsAndSchema) {
  for (const char* args : {"--help", "call --help"}) {
    const Outcome help = Run(args);
    EXPECT_EQ(help.status, 0) << args;
    EXPECT_NE(help.out.find("Usage:"), std::string::npos) << args;
  }
  const Outcome text = Run("ops contractline");
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("ContractLine (Carvalen.ContractLine, interface _ContractLine)\n"
                          "  GetContractLineDetail("),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("  GetContractLineNumber(i_lQuotationNumber As Long) As Variant\n"),
            std::string::npos);
  EXPECT_NE(Run("ops").out.find("Enum EContractLineStatus: Create = 1, Under Approval = 2,"),
            std::string::npos);
  const auto classes = nlohmann::ordered_json::parse(Run("ops --json").out).at("classes");
  ASSERT_EQ(classes.size(), 3u);
  EXPECT_NE(classes[1].dump().find(
                R"({"name":"GetContractLineNumber","parameters":[{"name":"i_lQuotationNumber",)"
                R"("type":"Long","byref":false,"optional":false}],"result":"Variant"})"),
            std::string::npos);
  EXPECT_EQ(classes[2].at("enumerations")[0].at("members")[1].dump(),
            R"({"name":"Under Approval","value":2})");

  EXPECT_EQ(Run("schema --provider sqlite").out,
            model::SchemaScript(model::SchemaProvider::SQLite));
  EXPECT_EQ(Run("schema --provider PostgreSQL").out,
            model::SchemaScript(model::SchemaProvider::PostgreSQL));
}

TEST_F(Cli, InitDemoRefusesToOverwriteWithoutForce) {
  const std::string dir = scratch_ / "new folder/demo";
  const std::string db = dir + "/contracts.db";
  const Outcome made = Run("init-demo --size 1 --dir " + Quote(dir));
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "export CARVALEN_CONFIG_DIR=" + Quote(dir) + "\n");
  EXPECT_EQ(made.err, "");
  EXPECT_EQ(Query(db, "SELECT COUNT(*) FROM CONTRACTLINE"), "1");

  const Outcome again = Run("init-demo --size 1 --dir " + Quote(dir));
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_NE(again.err.find("contracts.db already exists (use --force to replace it)"),
            std::string::npos)
      << again.err;

  EXPECT_EQ(Run("init-demo --size 7 --force --dir " + Quote(dir)).status, 0);
  EXPECT_EQ(Query(db, "SELECT COUNT(*) FROM CONTRACTLINE"), "7");
  EXPECT_FALSE(fs::exists(fs::path(dir) / ".contracts.db.partial"));
}

// The documented rows, one of every kind of data the operations treat apart, and the same data on
// every run.
TEST_F(Cli, DemoHoldsTheDocumentedRowsAndIsTheSameEveryTime) {
  const std::string demo = *demo_ / "contracts.db";
  const struct {
    const char* sql;
    const char* rows;
  } cases[] = {
      {"SELECT COUNT(*), COUNT(DISTINCT CONTRACTSTATUS) FROM CONTRACTLINE", "200|7"},
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
      // Price breaks under both matching rules.
      {"SELECT COUNT(DISTINCT MINQTYBREAKUP) FROM CONTRACTLINE L WHERE INCLUDEPRICEBREAKUP = 1 "
       "AND EXISTS (SELECT 1 FROM CONTRACTPRICE P WHERE P.CONTRACTHEADERID = L.CONTRACTHEADERID "
       "AND P.CONTRACTLINEID = L.CONTRACTLINEID)",
       "2"},
      // Active lines open-ended and expiring within 30 days.
      {"SELECT COUNT(*) > 0 FROM CONTRACTLINE WHERE CONTRACTSTATUS = 6 AND EXPIRYDATETIME IS NULL",
       "1"},
      {"SELECT COUNT(*) > 0 FROM CONTRACTLINE WHERE CONTRACTSTATUS = 6 AND EXPIRYDATETIME "
       "BETWEEN date('now', 'localtime') AND date('now', 'localtime', '+30 days')",
       "1"},
      {"SELECT COUNT(DISTINCT EXPORTSTATUS), COUNT(DISTINCT PREVENTTRANSACTION) "
       "FROM CONTRACTLINEBIS",
       "2|2"},
      {"SELECT COUNT(CONTRACTLINEID) > 0, COUNT(DISTINCT ATTACHMENTSTATUS) > 3 "
       "FROM CONTRACTATTACHMENT WHERE CONTRACTLINEID IS NULL OR CONTRACTLINEID > 0",
       "1|1"},
      {"SELECT (SELECT COUNT(*) > 0 FROM CONTRACTUSERDATA), (SELECT COUNT(*) > 0 FROM "
       "CONTRACTHEADER WHERE CATEGORYID IS NULL), (SELECT COUNT(*) > 0 FROM CONTRACTLINE WHERE "
       "INCLUDEPRICEBREAKUP = 0 AND PRICE > 0), (SELECT COUNT(*) > 0 FROM (SELECT L.PRODUCTID "
       "FROM CONTRACTLINE L JOIN CONTRACTHEADER H ON H.CONTRACTHEADERID = L.CONTRACTHEADERID "
       "GROUP BY L.PRODUCTID HAVING COUNT(DISTINCT H.BUSINESSPARTNERID) > 1))",
       "1|1|1|1"},
  };
  for (const auto& c : cases) EXPECT_EQ(Query(demo, c.sql), c.rows) << c.sql;

  TempDir other;
  ASSERT_EQ(Run("init-demo --dir " + Quote(other.path)).status, 0);
  for (const char* sql : {
           "SELECT COUNT(*), SUM(PRICE), SUM(QUANTITY), SUM(PRODUCTID * CONTRACTSTATUS), "
           "SUM(LENGTH(CONTRACTDESCRIPTION)), MAX(EXPIRYDATETIME), SUM(QUOTATIONID) "
           "FROM CONTRACTLINE",
           "SELECT COUNT(*), SUM(BUSINESSPARTNERID), SUM(CATEGORYID) FROM CONTRACTHEADER",
           "SELECT COUNT(*), SUM(QUANTITY * PRICE) FROM CONTRACTPRICE",
           "SELECT COUNT(*), SUM(ATTACHMENTSTATUS * ATTACHMENTID) FROM CONTRACTATTACHMENT",
           "SELECT COUNT(*), SUM(EXPORTSTATUS * BISID) FROM CONTRACTLINEBIS",
       }) {
    EXPECT_EQ(Query(other / "contracts.db", sql), Query(demo, sql)) << sql;
  }
}

}  // namespace
}  // namespace carvalen
