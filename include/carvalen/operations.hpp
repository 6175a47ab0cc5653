// What the public classes offer, as a host or a tool lists it: every class with its operations
// in interface order, each operation's parameters (name, type, by reference, optional,
// default), and what each means: a sentence per operation and parameter, the shape of the answer
// with the name of every position of its rows, and the errors it raises of its own. The tool,
// the documentation, the OpenAPI document, the completion and the plain JSON form all read it.
// Calls themselves go through CreateObject and Object::Invoke.
#pragma once

#include "carvalen/export.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "carvalen/library.hpp"
#include "carvalen/variant.hpp"

namespace carvalen {

/// The type a parameter is declared with.
enum class ParameterType { Long, Double, String, Boolean, Date, Variant, Dictionary };

/// "Long", "Double", "String", "Boolean", "Date", "Variant" or "Dictionary", as listings show it.
CARVALEN_API std::string_view TypeName(ParameterType type);

struct ParameterDescription {
  std::string name;
  ParameterType type = ParameterType::Variant;
  bool by_ref = false;
  bool optional = false;
  /// What an omitted optional argument becomes (missing unless declared otherwise).
  Variant default_value = Variant::Missing();
  /// One sentence: what it filters or means, its unit, its default, the values it takes.
  std::string summary;
  /// The plain JSON it is written in: "integer", "number", "string", "boolean", "date",
  /// "integer[]", "string[]" or "object" (see PlainTypeOf).
  std::string plain;
};

/// How an answer is laid out, as a caller reads it.
enum class ResultShape {
  Scalar,      // one value
  Row,         // one array whose positions are named
  List,        // an array of values, one per row found
  Dictionary,  // entries whose items are rows with named positions
  Named,       // a dictionary keyed by names (the positions are its keys, in order)
  Matrix,      // a two-dimensional array, one row per first index
  Recordset,   // a record set: the positions are its columns
};

/// "Scalar", "Row", "List", "Dictionary", "Named", "Matrix" or "Recordset".
CARVALEN_API std::string_view ShapeName(ResultShape shape);

struct ResultDescription {
  ResultShape shape = ResultShape::Scalar;
  /// One sentence: what the answer is, and what it is when nothing is found.
  std::string summary;
  /// Dictionary: "Long" or "String", and what a key is ("the row's ordinal, 1, 2, ...").
  std::string key_type;
  std::string key;
  /// The name of every position of a row (column names as the database names them; computed
  /// ones in the same style), the keys of a Named answer or the columns of a record set.
  std::vector<std::string> positions;
  /// Where the positions are named by the caller: the array parameter whose elements name them.
  std::string positions_from;
  /// Dictionary: the keys number the entries 1, 2, ... (as integers or text), so that the plain
  /// form lists the items; otherwise it keys an object by them.
  bool numbered = false;
};

/// An error an operation raises of its own.
struct ErrorDescription {
  std::int32_t number = 0;
  /// When it is raised, one sentence.
  std::string when;
};

struct OperationDescription {
  std::string name;
  std::vector<ParameterDescription> parameters;
  /// "Dictionary", "Variant", "Double", "Boolean", "String" or "Recordset".
  std::string result;
  /// One sentence: what the operation does.
  std::string summary;
  ResultDescription answer;
  std::vector<ErrorDescription> raises;
};

/// The stable name of an error number ("ContractLineMissing" for 0x80040404, "TypeMismatch" for
/// 13, ...); "DatabaseError" for a number the library does not raise itself.
CARVALEN_API std::string_view ErrorCode(std::int32_t number);

struct ClassDescription {
  const ClassMetadata* metadata = nullptr;
  std::vector<OperationDescription> operations;
};

/// Every public class, in the library's order.
CARVALEN_API const std::vector<ClassDescription>& DescribeClasses();
/// The class `name` ("ContractLine", without regard to case), or null.
CARVALEN_API const ClassDescription* FindClassDescription(std::string_view name);
/// The operation `name` of `type` (without regard to case), or null.
CARVALEN_API const OperationDescription* FindOperation(const ClassDescription& type,
                                                       std::string_view name);

}  // namespace carvalen
