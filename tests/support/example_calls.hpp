// Each operation's first row of tests/capi/cases.tsv: valid arguments on the demo database.
#pragma once

#include <string>
#include <vector>

namespace carvalen::test {

struct ExampleCall {
  std::string target;     // "Class.Operation", as the operation list spells it
  std::string arguments;  // a JSON object of NAME: typed-JSON value
};

/// The first row of each operation, in the table's order.
const std::vector<ExampleCall>& ExampleCalls();

}  // namespace carvalen::test
