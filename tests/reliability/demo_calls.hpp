// What the reliability tests call: a contract database on one provider holding the rows of a
// small demo (the tool's own generator, copied row for row), and one call with valid arguments
// for every operation of both classes (the example-call table), made through the call path every
// face shares.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/call.hpp"
#include "cli/demo.hpp"
#include "db/sqlite/handles.hpp"
#include "support/contract_db.hpp"
#include "support/example_calls.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {

using DemoCall = ExampleCall;

// Every operation once, with the arguments of the example-call table.
inline const std::vector<DemoCall>& DemoCalls() { return ExampleCalls(); }

/// The outcome of a call as one text: status and typed-JSON document.
inline std::string CallText(const DemoCall& call) {
  const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
  return std::to_string(outcome.status) + " " + outcome.text;
}

/// A ContractDb filled with the rows of a demo of `lines` contract lines.
class DemoDb : public ContractDb {
 public:
  explicit DemoDb(Provider provider, std::int64_t lines = 30) : ContractDb(provider) {
    testing::TempFolder folder;
    cli::DemoOptions options;
    options.dir = folder.path;
    options.lines = lines;
    cli::CreateDemo(options);
    sqlite3* raw = nullptr;
    sqlite3_open_v2((folder / "contracts.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    db::DbPtr demo(raw);
    for (const std::string& table : Strings(demo.get(),
                                            "SELECT name FROM sqlite_master WHERE type = 'table' "
                                            "AND name NOT LIKE 'sqlite%' ORDER BY name")) {
      const std::vector<std::string> rows = Strings(demo.get(), RowsAsValues(demo.get(), table));
      for (std::size_t i = 0; i < rows.size(); i += 200) {
        std::string sql = "INSERT INTO " + table + " VALUES ";
        for (std::size_t j = i; j < rows.size() && j < i + 200; ++j) {
          sql += (j > i ? "," : "") + rows[j];
        }
        Exec(sql);
      }
    }
  }

 private:
  /// The first column of every row of `sql`.
  static std::vector<std::string> Strings(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db));
    }
    db::StmtPtr stmt(raw);
    std::vector<std::string> out;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
      out.emplace_back(text != nullptr ? text : "");
    }
    return out;
  }
  /// A query giving each row of `table` as "(v1,v2,...)": every value a quoted literal (or
  /// NULL), which both databases convert to the column's type.
  static std::string RowsAsValues(sqlite3* db, const std::string& table) {
    std::string row;
    for (const std::string& column :
         Strings(db, "SELECT name FROM pragma_table_info('" + table + "') ORDER BY cid")) {
      row += (row.empty() ? "" : " || ',' || ") +
             ("COALESCE(quote(CAST(" + column + " AS TEXT)), 'NULL')");
    }
    return "SELECT '(' || " + row + " || ')' FROM " + table;
  }
};

}  // namespace carvalen::test
