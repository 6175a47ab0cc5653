// The statement cache's literal lexer on arbitrary text: when it lifts, the shape is the original
// text with each lifted literal (quotes and all) replaced by its numbered placeholder, the
// literals point into the original in order, and each reads as its kind says. Put back, the
// literals give the original text exactly. When it refuses, nothing is promised. Both placeholder
// styles are tried.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/literal_lexer.hpp"

namespace {

using carvalen::db::LiftedStatement;
using carvalen::db::LiteralKind;
using carvalen::db::PlaceholderStyle;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The shape the lexer should have made from `sql` and its literals.
std::string ExpectedShape(std::string_view sql, const LiftedStatement& lifted, char mark) {
  std::string shape;
  std::size_t done = 0;
  std::size_t number = 0;
  for (const auto& literal : lifted.literals) {
    const bool text = literal.kind == LiteralKind::Text;
    // Where the literal starts and ends in `sql`, quotes included.
    const std::size_t begin =
        static_cast<std::size_t>(literal.text.data() - sql.data()) - (text ? 1 : 0);
    const std::size_t end = begin + literal.text.size() + (text ? 2 : 0);
    if (begin < done || end > sql.size()) __builtin_trap();  // out of order or outside
    if (text) {
      if (sql[begin] != '\'' || sql[end - 1] != '\'') __builtin_trap();
      // Inside, quotes come only doubled.
      const std::string_view inner = literal.text;
      for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] != '\'') continue;
        if (i + 1 >= inner.size() || inner[i + 1] != '\'') __builtin_trap();
        ++i;
      }
    } else if (literal.text.empty() || !(IsDigit(literal.text[0]) || literal.text[0] == '.')) {
      __builtin_trap();
    }
    shape.append(sql.substr(done, begin - done));
    shape += mark;
    shape += std::to_string(++number);
    done = end;
  }
  shape.append(sql.substr(done));
  return shape;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  LiftedStatement lifted;
  const struct {
    PlaceholderStyle style;
    char mark;
  } styles[] = {{PlaceholderStyle::Dollar, '$'}, {PlaceholderStyle::Question, '?'}};
  for (const auto& style : styles) {
    if (!carvalen::db::LiftLiterals(sql, style.style, lifted)) continue;
    for (const auto& literal : lifted.literals) {
      if (literal.text.data() < sql.data() ||
          literal.text.data() + literal.text.size() > sql.data() + sql.size()) {
        __builtin_trap();
      }
    }
    if (lifted.shape != ExpectedShape(sql, lifted, style.mark)) __builtin_trap();
  }
  return 0;
}
