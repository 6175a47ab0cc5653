// A contract database holding the tool's small demo, and a call through every face's call path.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "api/call.hpp"
#include "demo/demo.hpp"
#include "model/schema.hpp"
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
    std::string pg;  // PostgreSQL's rows go in the writer's way, never through a pooler
    if (provider == Provider::PostgreSQL)
      pg = std::getenv("CARVALEN_TEST_PG") + (";options=-csearch_path=" + Location());
    demo::CreateDemo({.dir = folder.path, .lines = 30, .force = true, .connection = pg});
    if (!pg.empty()) return;
    std::string sql = "ATTACH '" + (folder / "contracts.db").string() + "' AS demo;";
    for (const model::Table& table : model::Tables())
      sql += fmt::format("INSERT INTO {0} SELECT * FROM demo.{0};", table.name);
    Exec(sql + "DETACH demo");
  }
};

}  // namespace carvalen::test
