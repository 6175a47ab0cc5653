// Lifts the literals out of a statement built as text, so that statements differing only in their
// values share one prepared statement: "... WHERE QUOTATIONID = 77" becomes the shape
// "... WHERE QUOTATIONID = $1" with the integer literal 77. The lexer is deliberately narrow: a
// text holding anything it is not sure about (comments, quoted identifiers, backslashes, prefixed
// or typed strings, parameters of its own, a second statement, bytes outside ASCII outside a
// string) is refused, and then goes to the database as text, as it is.
//
// Literals are kept where a value and a parameter would differ: in the outermost select list (a
// column named after an expression would change its name) and in ORDER BY and GROUP BY (a number
// there is a column position, a string an error).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace carvalen::db {

enum class LiteralKind : char {
  Integer = 'i',     // digits that fit 32 bits
  BigInteger = 'b',  // digits that fit 64 bits but not 32
  Decimal = 'd',     // with a decimal point or an exponent
  Text = 't',        // '...'
};

struct Literal {
  LiteralKind kind;
  /// The digits as written, or the text between the quotes with each doubled quote kept.
  std::string_view text;
  /// The value itself: the digits, or the text with each doubled quote made one.
  std::string Value() const;
};

/// A statement with its literals lifted out.
struct LiftedStatement {
  /// The text with each lifted literal replaced by a numbered placeholder; together with the
  /// literals' kinds the key of a prepared statement.
  std::string shape;
  /// The lifted literals in order; their texts point into the statement that was lifted.
  std::vector<Literal> literals;
};

/// Placeholder spelling: "?1" for SQLite, "$1" for PostgreSQL.
enum class PlaceholderStyle { Question, Dollar };

/// Lifts the literals of `sql` into `out` (whose buffers are reused); false when the text holds
/// something the lexer is not sure of, and `out` is then meaningless.
bool LiftLiterals(std::string_view sql, PlaceholderStyle style, LiftedStatement& out);

}  // namespace carvalen::db
