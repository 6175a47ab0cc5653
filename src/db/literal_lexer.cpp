#include "db/literal_lexer.hpp"

#include <array>
#include <charconv>
#include <climits>

#include "value/text.hpp"

namespace carvalen::db {
namespace {

// Character classes from one table: every statement of every call passes through here, and a
// table look-up is a load where the comparisons were a call per character.
enum CharClass : unsigned char { kWordStart = 1, kDigit = 2, kWordChar = 4, kBlank = 8 };

constexpr std::array<unsigned char, 256> MakeClasses() {
  std::array<unsigned char, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    unsigned char cls = 0;
    if (letter) cls |= kWordStart | kWordChar;
    if (digit) cls |= kDigit | kWordChar;
    if (c == '$') cls |= kWordChar;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') cls |= kBlank;
    classes[static_cast<std::size_t>(c)] = cls;
  }
  return classes;
}
constexpr std::array<unsigned char, 256> kClasses = MakeClasses();

inline bool Is(char c, CharClass cls) {
  return (kClasses[static_cast<unsigned char>(c)] & cls) != 0;
}
inline bool IsWordStart(char c) { return Is(c, kWordStart); }
inline bool IsDigit(char c) { return Is(c, kDigit); }
inline bool IsWordChar(char c) { return Is(c, kWordChar); }
inline bool IsBlank(char c) { return Is(c, kBlank); }

bool IsAny(std::string_view word, std::initializer_list<std::string_view> candidates) {
  for (std::string_view candidate : candidates) {
    if (text::EqualsNoCase(word, candidate)) return true;
  }
  return false;
}

enum class Token { None, Word, Number, String, Operator };

}  // namespace

std::string Literal::Value() const {
  if (kind != LiteralKind::Text) return std::string(text);
  std::string value;
  value.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    value += text[i];
    if (text[i] == '\'') ++i;  // the second quote of a doubled pair
  }
  return value;
}

bool LiftLiterals(std::string_view sql, PlaceholderStyle style, LiftedStatement& out) {
  out.shape.clear();
  out.literals.clear();
  out.shape.reserve(sql.size() + 8);

  int depth = 0;
  bool seen_select = false;
  bool in_select_list = false;  // the outermost select list: literals there name columns
  int order_depth = -1;         // depth of the ORDER BY / GROUP BY being read, or -1
  Token previous = Token::None;
  std::string_view previous_word;
  char previous_operator = 0;

  // The shape is the text with each lifted literal replaced: the spans between literals are
  // copied whole rather than character by character.
  std::size_t copied = 0;
  auto lift = [&](LiteralKind kind, std::string_view literal_text, std::size_t start,
                  std::size_t end) {
    if (in_select_list || order_depth >= 0) return;  // stays in the text as written
    out.shape.append(sql.substr(copied, start - copied));
    copied = end;
    out.literals.push_back(Literal{kind, literal_text});
    out.shape += style == PlaceholderStyle::Question ? '?' : '$';
    char digits[16];
    auto digits_end = std::to_chars(digits, digits + sizeof digits, out.literals.size()).ptr;
    out.shape.append(digits, digits_end);
  };

  std::size_t i = 0;
  const std::size_t n = sql.size();
  while (i < n) {
    const char c = sql[i];
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    if (IsWordStart(c)) {
      std::size_t j = i + 1;
      while (j < n && IsWordChar(sql[j])) ++j;
      const std::string_view word = sql.substr(i, j - i);
      if (j < n && sql[j] == '\'') return false;  // E'..', X'..', N'..': not a plain string
      if (depth == 0 && !seen_select && text::EqualsNoCase(word, "SELECT")) {
        seen_select = in_select_list = true;
      } else if (depth == 0 && in_select_list && text::EqualsNoCase(word, "FROM")) {
        in_select_list = false;
      } else if (text::EqualsNoCase(word, "BY") && previous == Token::Word &&
                 IsAny(previous_word, {"ORDER", "GROUP"})) {
        order_depth = depth;
      } else if (order_depth == depth && IsAny(word, {"LIMIT", "OFFSET", "FETCH", "FOR", "HAVING",
                                                      "WINDOW", "UNION", "INTERSECT", "EXCEPT"})) {
        order_depth = -1;
      }
      previous_word = word;
      previous = Token::Word;
      i = j;
      continue;
    }
    if (IsDigit(c) || (c == '.' && i + 1 < n && IsDigit(sql[i + 1]))) {
      std::size_t j = i;
      bool decimal = false;
      while (j < n && IsDigit(sql[j])) ++j;
      if (j < n && sql[j] == '.') {
        decimal = true;
        ++j;
        while (j < n && IsDigit(sql[j])) ++j;
      }
      if (j < n && (sql[j] == 'e' || sql[j] == 'E')) {
        decimal = true;
        ++j;
        if (j < n && (sql[j] == '+' || sql[j] == '-')) ++j;
        if (j >= n || !IsDigit(sql[j])) return false;
        while (j < n && IsDigit(sql[j])) ++j;
      }
      if (j < n && (IsWordChar(sql[j]) || sql[j] == '.' || sql[j] == '\'')) return false;
      const std::string_view number = sql.substr(i, j - i);
      LiteralKind kind = LiteralKind::Decimal;
      if (!decimal) {
        std::int64_t value = 0;
        auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (ec != std::errc() || ptr != number.data() + number.size()) return false;
        kind = value <= INT32_MAX ? LiteralKind::Integer : LiteralKind::BigInteger;
        // "-2147483648" is one 32-bit literal to the database, "-" applied to a 64-bit one here.
        if (kind == LiteralKind::BigInteger && previous == Token::Operator &&
            (previous_operator == '-' || previous_operator == '+')) {
          return false;
        }
      }
      lift(kind, number, i, j);
      previous = Token::Number;
      i = j;
      continue;
    }
    if (c == '\'') {
      // A string after a word is a typed literal (DATE '...') unless the word is an operator.
      if (previous == Token::String ||
          (previous == Token::Word &&
           !IsAny(previous_word, {"AND", "OR", "NOT", "THEN", "ELSE", "WHEN", "LIKE", "IN",
                                  "BETWEEN", "SELECT", "WHERE", "ON", "HAVING", "CASE"}))) {
        return false;
      }
      std::size_t j = i + 1;
      for (;;) {
        if (j >= n) return false;  // unterminated
        const char s = sql[j];
        if (s == '\\' || s == '\0') return false;
        if (s == '\'') {
          if (j + 1 < n && sql[j + 1] == '\'') {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      ++j;  // past the closing quote
      if (j < n && IsWordChar(sql[j])) return false;
      lift(LiteralKind::Text, sql.substr(i + 1, j - i - 2), i, j);
      previous = Token::String;
      i = j;
      continue;
    }
    switch (c) {
      case '(':
        ++depth;
        break;
      case ')':
        if (--depth < 0) return false;
        if (order_depth > depth) order_depth = -1;
        break;
      case '-':
        if (i + 1 < n && sql[i + 1] == '-') return false;  // a comment
        break;
      case '/':
        if (i + 1 < n && sql[i + 1] == '*') return false;  // a comment
        break;
      case ',':
      case '.':
      case '=':
      case '<':
      case '>':
      case '!':
      case '+':
      case '*':
      case '%':
      case '|':
        break;
      default:
        return false;  // quotes of identifiers, parameters, ';', backslashes, other bytes
    }
    previous = Token::Operator;
    previous_operator = c;
    ++i;
  }
  out.shape.append(sql.substr(copied));
  return depth == 0;
}

}  // namespace carvalen::db
