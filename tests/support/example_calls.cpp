#include "support/example_calls.hpp"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "value/text.hpp"

namespace carvalen::test {

const std::vector<ExampleCall>& ExampleCalls() {
  static const std::vector<ExampleCall> calls = [] {
    std::ifstream table(CARVALEN_SOURCE_DIR "/tests/capi/cases.tsv");
    if (!table) throw std::runtime_error("cannot read tests/capi/cases.tsv");
    std::vector<ExampleCall> out;
    std::set<std::string> seen;
    for (std::string line; std::getline(table, line);) {
      if (line.empty() || line.starts_with('#')) continue;
      std::istringstream fields(line);
      std::string target, assignment;
      std::getline(fields, target, '\t');
      if (!seen.insert(text::AsciiLower(target)).second) continue;
      // NAME=VALUE with VALUE typed JSON already: the object is their concatenation.
      std::string arguments;
      while (std::getline(fields, assignment, '\t')) {
        const std::size_t equals = assignment.find('=');
        arguments += (arguments.empty() ? "{\"" : ", \"") + assignment.substr(0, equals) +
                     "\": " + assignment.substr(equals + 1);
      }
      out.push_back({target, arguments.empty() ? "{}" : arguments + "}"});
    }
    return out;
  }();
  return calls;
}

}  // namespace carvalen::test
