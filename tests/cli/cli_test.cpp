// The `carvalen` tool (CARVALEN_CLI, else all skipped) run as scripts run it: statuses and output.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>

#include "model/schema.hpp"
#include "support/scratch.hpp"

namespace carvalen {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf, ::testing::HasSubstr, ::testing::Not, testing::ReadFile,
    testing::TempFolder;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Outcome {
  int status;
  std::string out, err;
};

// Runs the tool on `args` with `env` words, free of the caller's tool variables; stdin /dev/null.
Outcome Tool(const std::string& args, const std::string& env = "") {
  TempFolder scratch;
  const std::string command = "env -u CARVALEN_CONFIG_DIR -u CARVALEN_LOG -u CARVALEN_SQL_TRACE " +
                              env + " " + Quote(std::getenv("CARVALEN_CLI")) + " </dev/null " +
                              args + " >" + Quote(scratch / "out") + " 2>" + Quote(scratch / "err");
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(scratch / "out"),
          ReadFile(scratch / "err")};
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {  // the demo all tests call on, made once
    if (std::getenv("CARVALEN_CLI") == nullptr) GTEST_SKIP() << "CARVALEN_CLI is not set";
    if (demo_) return;
    demo_ = std::make_unique<TempFolder>();
    const Outcome made = Tool("init-demo --dir " + Quote(demo_->path));
    ASSERT_EQ(made.status, 0) << made.err;
  }
  static void TearDownTestSuite() { demo_.reset(); }

  std::string DemoEnv() const {  // calls on the demo, the log kept off the test's stderr
    return "CARVALEN_CONFIG_DIR=" + Quote(demo_->path) + " CARVALEN_LOG=" + Quote(scratch_ / "log");
  }

  static std::unique_ptr<TempFolder> demo_;
  TempFolder scratch_;
};

std::unique_ptr<TempFolder> Cli::demo_;

// Hostile arguments end as a usage error (2) or a conversion error (1, nothing run), never a crash.
TEST_F(Cli, AnswersEachCommandLine) {
  std::ofstream(scratch_ / "deep.json") << std::string(100'000, '[') << std::string(100'000, ']');
  // Sparse: 100 MB on paper, nothing on disk; refused by its size before a byte is read.
  std::ofstream(scratch_ / "huge.json").close();
  fs::resize_file(scratch_ / "huge.json", 100'000'000);
  scratch_.Write("request.json", R"({"$dict": [[7001, {"$array": [501, 100.0]}]]})");
  const std::string request = Quote(scratch_ / "request.json"),
                    huge = Quote(scratch_ / "huge.json");
  const std::string price = "call ContractLine.GetPrice i_lContractHeaderID=1 ";
  const std::string code = "call ContractLine.ContractLineAttachmentExists i_sAttachmentTypeCode=";
  const std::string number = "call ContractLine.GetContractLineNumber ";
  const std::string bulk = "call Contract.GetActiveContractLinesProc i_oDicBPProductQuan=";
  const std::string priced = R"({"result": {"$dict": [[7001, {"$array": [1, 1, 7.0, 10.0,)";
  const std::tuple<int, std::string, std::string> cases[] = {
      {2, "", "a command is required (call, ops, init-demo, schema, serve, openapi, help)"},
      {2, "frobnicate", "unknown command 'frobnicate' (commands: call, ops, init-demo,"},
      {2, "help frobnicate", "unknown command 'frobnicate'"},
      {2, "ops ContractLine.Frobnicate", "Frobnicate"},
      {2, number + "i_lQuotationNumber=1 I_LQUOTATIONNUMBER=2", "given twice"},
      {2, number + "i_lQuotationNumber", "expected NAME=VALUE"},
      {2, "init-demo --size 0 --dir " + Quote(scratch_ / "x"), "--size"},
      {2, bulk + "@" + Quote(scratch_ / "absent.json"),
       "i_oDicBPProductQuan: cannot read " + (scratch_ / "absent.json").string()},
      {2,
       "call ContractLine.GetPrice i_lContractHeaderID=@- i_lContractLineID=@- i_fQuantity=1 <" +
           request,
       "only one argument may be read from standard input"},
      {2, code + "@" + Quote(scratch_ / "deep.json"),
       "bad JSON in " + (scratch_ / "deep.json").string() + ": nesting deeper than 256 levels"},
      {2, code + "@" + huge, "huge.json is larger than the 64 MiB an argument may hold"},
      {2, code + "@- <" + huge, "standard input is larger than the 64 MiB"},
      {2, code + "@/dev/zero", "/dev/zero is larger than the 64 MiB"},
      {2, "call --max-entries 2 " + code.substr(5) + R"('{"$array": [1, 2, 3]}')",
       "i_sAttachmentTypeCode: bad JSON {\"$array\": [1, 2, 3]}: the lists and objects hold "
       "more than 2 entries in all (the limit is set by CARVALEN_MAX_ENTRIES)"},
      {2, "call --max-entries 0x10 " + code + "1",
       "--max-entries must be a positive count of entries, not \"0x10\""},
      // Valid JSON: a Double, too large for a Long parameter, fine for a Double one.
      {1, price + "i_lContractLineID=99999999999999999999 i_fQuantity=1",
       R"("number": 6, "source": "Carvalen", "description": "Overflow")"},
      {1, price + "i_lContractLineID=null i_fQuantity=1",
       R"("number": 94, "source": "Carvalen", "description": "Invalid use of Null")"},
      {0, price + "i_lContractLineID=1 i_fQuantity=99999999999999999999", R"({"result": )"},
      // An argument of any size comes from a file (@PATH) or, alike, from standard input (@-).
      {0, bulk + "@" + request, priced},
      // Each by-reference parameter is listed, an omitted one at its default or Empty (line 1).
      {0, price + "i_lContractLineID=1 i_fQuantity=100",
       R"({"result": 7.0, "byref": {"o_sCurrencyCode": "EUR", "i_fReturnValue": 0.0}})"},
      {0, "call ContractLine.GetDiscount i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=49",
       R"({"result": 0.0, "byref": {"o_sCurrency": "EUR", "o_bPercentage": {"$empty": true}}})"},
      // The plain form: plain arguments, rows as objects named by their columns.
      {0,
       R"(call --plain Contract.GetActiveContractLines i_acontractfields='["PRICE"]' )"
       "i_lContractHeaderID=1",
       R"({"result": [{"PRICE": 9.0}, {"PRICE": )"},
      {0, "help", "Usage: carvalen [OPTIONS] SUBCOMMAND"},
      {0, "help call", "Usage: carvalen call [OPTIONS] target [arguments...]"},
      {0, "--version", "carvalen 1.1 (commit "},
      {0, "ops contractline.getprice",
       "ContractLine.GetPrice As Double\n  i_lContractHeaderID As Long  (integer) Id of the "
       "contract header (CONTRACTHEADERID).\n"},
      {0, "ops contractline",
       "ContractLine (Carvalen.ContractLine, interface _ContractLine)\n  GetContractLineDetail("},
      {0, "ops contractline", "  GetContractLineNumber(i_lQuotationNumber As Long) As Variant\n"},
      {0, "ops --json ContractLine.GetPrice",
       R"({"class": "ContractLine", "operation": {"name": "GetPrice")"},
  };
  for (const auto& [status, args, text] : cases) {
    SCOPED_TRACE(args.substr(0, 120));
    for (const char* file : {"trace", "log"}) fs::remove(scratch_ / file);
    const auto outcome = Tool(args, DemoEnv() + " CARVALEN_SQL_TRACE=" + Quote(scratch_ / "trace"));
    EXPECT_EQ(outcome.status, status) << outcome.err;
    EXPECT_THAT(status == 2 ? outcome.err : outcome.out, HasSubstr(text));
    // An answer whole (ending "}}") is the output exactly.
    EXPECT_TRUE(!text.ends_with("}}") || outcome.out == text + "\n") << outcome.out;
    EXPECT_TRUE(status != 2 || outcome.out.empty()) << outcome.out;
    EXPECT_TRUE(status != 1 || ReadFile(scratch_ / "log") + ReadFile(scratch_ / "trace") == "");
  }
  EXPECT_FALSE(fs::exists(scratch_ / "x"));
  EXPECT_EQ(Tool(bulk + "@- <" + request, DemoEnv()).out,
            Tool(bulk + "@" + request, DemoEnv()).out);

  EXPECT_THAT(
      nlohmann::ordered_json::parse(Tool("ops --json").out).at("classes").at(1).dump(),
      HasSubstr(R"({"name":"GetContractLineNumber","parameters":[{"name":"i_lQuotationNumber",)"
                R"("type":"Long","byref":false,"optional":false,"plain":"integer",)"));
  EXPECT_EQ(Tool("schema --provider PostgreSQL").out,
            model::SchemaScript(model::SchemaProvider::PostgreSQL));
  // A call on SQLite loads no libpq, whose libraries would triple a short process's cost.
  EXPECT_THAT(Tool(price + "i_lContractLineID=1 i_fQuantity=1", DemoEnv() + " LD_DEBUG=files").err,
              AllOf(HasSubstr("libsqlite3"), Not(HasSubstr("libpq"))));
  // Demos are the same byte for byte on every run; an existing one is replaced only with --force.
  const fs::path second = scratch_ / "new folder/demo";  // made, and quoted for the shell
  EXPECT_EQ(Tool("init-demo --dir " + Quote(second)).out,
            "export CARVALEN_CONFIG_DIR=" + Quote(second) + "\n");
  const std::string demo = ReadFile(*demo_ / "contracts.db");
  const auto same = [&] { return ReadFile(second / "contracts.db") == demo; };
  EXPECT_TRUE(same());
  const Outcome again = Tool("init-demo --size 7 --dir " + Quote(second));
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.err, HasSubstr("contracts.db already exists (use --force to replace it)"));
  EXPECT_TRUE(same());
  EXPECT_EQ(Tool("init-demo --size 7 --force --dir " + Quote(second)).status, 0);
  EXPECT_FALSE(same());
  EXPECT_FALSE(fs::exists(second / ".contracts.db.partial"));
}

// One stderr line says what failed and where; a log that cannot be written costs no answer.
TEST_F(Cli, TellsAPersonWhatFailed) {
  const fs::path gone = scratch_ / "gone";
  fs::create_directories(gone);
  std::ofstream(gone / "Vendra.toml")
      << "[ConnectionStrings]\nEContract = \"Provider=SQLite;"
      << "Data Source=" << (gone / "contracts.db").string() << "\"\n";
  const std::string price = "call ContractLine.GetPrice i_lContractLineID=1 i_fQuantity=1 ";
  const std::string logged = " CARVALEN_LOG=" + Quote(scratch_ / "log");
  const auto failed = [&](const std::string& env, const std::string& header = "1") {
    const Outcome outcome = Tool(price + "i_lContractHeaderID=" + header, env);
    EXPECT_EQ(outcome.status, 1) << env;
    EXPECT_THAT(outcome.out, HasSubstr(R"({"error": {"number": )"));
    return outcome.err;
  };
  const std::tuple<std::string, std::string, std::vector<std::string>> cases[] = {
      {"CARVALEN_CONFIG_DIR=" + Quote(scratch_ / "none") + logged,
       "1",
       {"carvalen: ContractLine.GetPrice failed: The Contract Connection string is not available.",
        "(error 0x8004041D in EContractUtilities.GetSourceConnection); no Vendra.toml nor "
        "Zandril.toml in " +
            (scratch_ / "none").string() + " (the folder CARVALEN_CONFIG_DIR"}},
      {"CARVALEN_CONFIG_DIR=" + Quote(gone) + logged,
       "1",
       {"failed: unable to open database file (error 14 in EContractUtilities.GetSourceConnection)"
        "; database file " +
        (gone / "contracts.db").string() + ", which does not exist (from " +
        (gone / "Vendra.toml").string() + ")"}},
      {DemoEnv(),
       "'\"abc\"'",
       {"failed: Type mismatch (error 13); parameter i_lContractHeaderID (Long) was given String "
        "\"abc\""}},
  };
  for (const auto& [env, header, said] : cases) {
    const std::string err = failed(env, header);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    for (const std::string& part : said) EXPECT_THAT(err, HasSubstr(part)) << env;
  }
  const std::string lost_log = (scratch_ / "no-such-folder/carvalen.log").string();
  EXPECT_THAT(failed("CARVALEN_CONFIG_DIR=" + Quote(scratch_ / "none") +
                     " CARVALEN_LOG=" + Quote(lost_log)),
              ::testing::StartsWith(
                  "carvalen: The log file '" + lost_log +
                  "' could not be opened: No such file or directory; log entries are lost\n"));
  std::istringstream lines(failed("CARVALEN_CONFIG_DIR=" + Quote(gone)));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const auto entry = nlohmann::json::parse(line);  // throws, failing the test, if no JSON
    // The file an open could not reach is named as such, never as a failed statement.
    EXPECT_EQ(entry.value("database", ""), (gone / "contracts.db").string()) << line;
    EXPECT_FALSE(entry.contains("statement")) << line;
  }
  EXPECT_EQ(count, 2);
  // At a terminal the log is readable lines (script(1) gives the tool one).
  const std::string at_terminal =
      "env -u CARVALEN_LOG CARVALEN_CONFIG_DIR=" + Quote(gone) + " script -qec " +
      Quote(Quote(std::getenv("CARVALEN_CLI")) + " " + price + "i_lContractHeaderID=1") +
      " /dev/null </dev/null >" + Quote(scratch_ / "tty") + " 2>&1";
  ASSERT_EQ(WEXITSTATUS(std::system(at_terminal.c_str())), 1);
  EXPECT_THAT(ReadFile(scratch_ / "tty"),
              AllOf(HasSubstr("Carvalen.ContractLine.GetPrice > "
                              "EContractUtilities.GetSourceConnection: unable to open"),
                    HasSubstr("; database file "), Not(HasSubstr(R"("time")"))));
  EXPECT_THAT(Tool(price + R"(i_lContractHeaderID='{"$array": [1, 2, 3]}')",
                   DemoEnv() + " CARVALEN_MAX_ENTRIES=2")
                  .err,
              HasSubstr("hold more than 2 entries"));
}

}  // namespace
}  // namespace carvalen
