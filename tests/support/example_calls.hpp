// The example calls of tests/capi/cases.tsv (each operation's first row: valid arguments on the
// demo database), which every face's tests and docs/operations.md read.
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

/// The operations of the library's description that have no row ("Class.Operation").
std::vector<std::string> OperationsWithoutExample();

}  // namespace carvalen::test
