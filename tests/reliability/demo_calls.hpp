// A contract database holding the tool's small demo, and a call through every face's call path.
#pragma once

#include <string>
#include <vector>

#include "api/call.hpp"
#include "db/client.hpp"
#include "demo/demo.hpp"
#include "support/client_test.hpp"
#include "support/contract_db.hpp"
#include "support/example_calls.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {

/// The outcome of a call as one text: status and typed-JSON document.
inline std::string CallText(const ExampleCall& call) {
  const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
  return std::to_string(outcome.status) + " " + outcome.text;
}

/// A ContractDb filled with the rows of a demo of 30 contract lines.
class DemoDb : public ContractDb {
 public:
  explicit DemoDb(Provider provider) : ContractDb(provider) {
    testing::TempFolder folder;
    demo::CreateDemo({.dir = folder.path, .lines = 30});
    const db::ConnectionPtr demo = OpenClient("Provider=SQLite;Pooling=False;Data Source=" +
                                              (folder / "contracts.db").string());
    const auto column = [&demo](const std::string& sql) {  // the first value of every row
      std::vector<std::string> out;
      for (auto rs = OpenQuery(demo, sql); !rs->Eof(); rs->MoveNext())
        out.push_back(rs->Field(rs->FieldNames()[0]).ToString());
      return out;
    };
    for (const std::string& table :
         column("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' "
                "ORDER BY name")) {
      // Each row as "(v1,v2,...)" of quoted literals (or NULL) both databases convert to the type.
      const std::string row = column(
          "SELECT group_concat('COALESCE(quote(CAST(' || name || ' AS TEXT)), ''NULL'')', "
          "' || '','' || ') FROM (SELECT name FROM pragma_table_info('" +
          table + "') ORDER BY cid)")[0];
      const auto rows = column("SELECT '(' || " + row + " || ')' FROM " + table);
      for (std::size_t i = 0; i < rows.size(); i += 200) {
        std::string sql = "INSERT INTO " + table + " VALUES " + rows[i];
        for (std::size_t j = i + 1; j < rows.size() && j < i + 200; ++j) sql += "," + rows[j];
        Exec(sql);
      }
    }
    demo->Close();
  }
};

}  // namespace carvalen::test
