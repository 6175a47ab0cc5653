// The plain JSON form: answers written for callers that do not need the value model's states
// (Empty, Null and Nothing are null; dates are ISO text; row arrays are objects named by the
// operation's description; dictionaries numbering their entries are lists), and arguments read
// strictly by each parameter's declared plain type, never rounded.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/operations.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::api {

/// The names of the positions of a row of `answer`: the description's, or the elements of the
/// array argument that names them; a position without a name is named by its index.
std::vector<std::string> PositionNames(const OperationDescription& method,
                                       const std::vector<Variant>& args);

/// Appends the plain JSON of an operation's answer, laid out as its description says; past
/// `limit` bytes of `out` it stops, as CheckAnswerSize does.
void AppendPlainAnswer(const Variant& result, const OperationDescription& method,
                       const std::vector<Variant>& args, std::string& out,
                       std::size_t limit = kNoAnswerLimit);
/// Appends the plain JSON of any value, with no layout to name its rows.
void AppendPlain(const Variant& value, std::string& out, std::size_t limit = kNoAnswerLimit);

/// An argument that does not fit its parameter's plain type: the error number it stands for
/// (13 Type mismatch, 6 Overflow) and the parameter.
class PlainRefusal : public std::runtime_error {
 public:
  PlainRefusal(std::int32_t number, std::string parameter, const std::string& message)
      : std::runtime_error(message), number_(number), parameter_(std::move(parameter)) {}
  std::int32_t Number() const { return number_; }
  const std::string& Parameter() const { return parameter_; }

 private:
  std::int32_t number_;
  std::string parameter_;
};

/// The value of `param` from its plain JSON; a value of another type fails with PlainRefusal.
Variant FromPlain(const ParameterDescription& param, const Json& json);

}  // namespace carvalen::api
