// What the reliability tests call: a contract database holding the rows of a small demo (the tool's
// own generator, copied row for row), and the example call of every operation made through the call
// path every face shares, from one thread or many at once.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/call.hpp"
#include "db/sqlite/handles.hpp"
#include "demo/demo.hpp"
#include "support/contract_db.hpp"
#include "support/example_calls.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {

/// The outcome of a call as one text: status and typed-JSON document.
inline std::string CallText(const ExampleCall& call) {
  const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
  return std::to_string(outcome.status) + " " + outcome.text;
}

/// The answers to `calls`, each a test failure unless it succeeded.
inline std::vector<std::string> Answers(const std::vector<ExampleCall>& calls = ExampleCalls()) {
  std::vector<std::string> answers;
  for (const ExampleCall& call : calls) {
    answers.push_back(CallText(call));
    EXPECT_EQ(answers.back().substr(0, 2), "0 ") << call.target << " " << answers.back();
  }
  return answers;
}

/// Makes `per_thread` example calls on each of `threads` threads at once, thread t from call t *
/// stride on, so that all of them overlap: "" when every answer is as `expected`, else how many
/// were not and the first of them.
inline std::string WrongAnswers(int threads, int per_thread, std::size_t stride,
                                const std::vector<std::string>& expected) {
  const std::vector<ExampleCall>& calls = ExampleCalls();
  std::atomic<int> wrong{0};
  std::string first;  // written by the first thread to go wrong only, read after the joins
  {
    std::vector<std::jthread> running;
    for (int t = 0; t < threads; ++t) {
      running.emplace_back([&, t] {
        for (int i = 0; i < per_thread; ++i) {
          const std::size_t k = (static_cast<std::size_t>(t) * stride + i) % calls.size();
          const std::string answer = CallText(calls[k]);
          if (answer != expected[k] && ++wrong == 1) first = calls[k].target + ": " + answer;
        }
      });
    }
  }
  return wrong == 0 ? "" : std::to_string(wrong.load()) + " wrong, the first " + first;
}

/// Points the Vendra store of `db` at `source`, with `timeout` seconds to connect.
inline void WriteStore(const ContractDb& db, const std::string& source, int timeout) {
  std::string quoted;
  for (char c : source) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  std::ofstream(db.ConfigDir() + "/Vendra.toml")
      << "[ConnectionStrings]\nEContract = \"" << quoted
      << "\"\n[CONNECTIONS]\nEContractConnection_CommandTimeout = \"30\"\n"
         "EContractConnection_ConnectionTimeout = \""
      << timeout << "\"\n";
}

/// A ContractDb filled with the rows of a demo of `lines` contract lines.
class DemoDb : public ContractDb {
 public:
  explicit DemoDb(Provider provider, std::int64_t lines = 30) : ContractDb(provider) {
    testing::TempFolder folder;
    demo::DemoOptions options;
    options.dir = folder.path;
    options.lines = lines;
    demo::CreateDemo(options);
    sqlite3* raw = nullptr;
    sqlite3_open_v2((folder / "contracts.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    db::DbPtr demo(raw);
    const std::string tables =
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' ORDER BY "
        "name";
    for (const std::string& table : Column(demo.get(), tables)) {
      // Each row as "(v1,v2,...)", every value a quoted literal (or NULL), which both databases
      // convert to the column's type.
      std::string row;
      for (const std::string& column :
           Column(demo.get(), "SELECT name FROM pragma_table_info('" + table + "') ORDER BY cid")) {
        row += (row.empty() ? "" : " || ',' || ") +
               ("COALESCE(quote(CAST(" + column + " AS TEXT)), 'NULL')");
      }
      const auto rows = Column(demo.get(), "SELECT '(' || " + row + " || ')' FROM " + table);
      for (std::size_t i = 0; i < rows.size(); i += 200) {
        std::string sql = "INSERT INTO " + table + " VALUES " + rows[i];
        for (std::size_t j = i + 1; j < rows.size() && j < i + 200; ++j) sql += "," + rows[j];
        Exec(sql);
      }
    }
  }

 private:
  /// The first column of every row of `sql`.
  static std::vector<std::string> Column(sqlite3* db, const std::string& sql) {
    std::vector<std::string> out;
    const auto add = [](void* out, int, char** values, char**) {
      static_cast<std::vector<std::string>*>(out)->emplace_back(values[0] ? values[0] : "");
      return 0;
    };
    if (sqlite3_exec(db, sql.c_str(), add, &out, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db));
    }
    return out;
  }
};

}  // namespace carvalen::test
