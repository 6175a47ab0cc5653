// The one table of example calls, tests/capi/cases.tsv: for each operation, its first row holds
// valid arguments on the demo database. The reliability, thread and pooler runs here, the C and
// Python checks and docs/operations.md all read it, so an operation added to it reaches them all.
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
