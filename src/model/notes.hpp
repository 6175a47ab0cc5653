// What each operation means, written beside the dispatch tables and merged into the public
// description: a sentence per operation and parameter, the answer's layout and the errors an
// operation raises of its own. A parameter is named here as in its dispatch row; the
// description test fails when one is missing or unknown.
#pragma once

#include <string>
#include <vector>

#include "carvalen/operations.hpp"

namespace carvalen::model {

struct ParameterNotes {
  std::string name;
  std::string summary;
  /// The plain JSON type; needed for a Variant parameter, taken from the type otherwise.
  std::string plain;
};

struct OperationNotes {
  std::string name;
  std::string summary;
  std::vector<ParameterNotes> parameters;
  ResultDescription answer;
  std::vector<ErrorDescription> raises;
};

const std::vector<OperationNotes>& ContractNotes();
const std::vector<OperationNotes>& ContractLineNotes();

/// The names of a table's columns, for an answer that carries whole rows.
std::vector<std::string> ColumnsOf(std::string_view table);

}  // namespace carvalen::model
