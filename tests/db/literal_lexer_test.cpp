// Lifting literals out of statement texts: what is lifted, as what, and what is refused.
#include "db/literal_lexer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace carvalen::db {
namespace {

// Each lifted literal as "<kind>:<value>", joined by blanks.
std::string Lifted(const LiftedStatement& lifted) {
  std::string out;
  for (const Literal& literal : lifted.literals) {
    if (!out.empty()) out += ' ';
    out += static_cast<char>(literal.kind);
    out += ':' + literal.Value();
  }
  return out;
}

TEST(LiteralLexer, LiftsValuesAndKeepsWhatAParameterWouldChange) {
  const struct {
    const char* sql;
    const char* shape;  // with '$' placeholders
    const char* literals;
  } cases[] = {
      {"SELECT A,B FROM T WHERE Q = 77", "SELECT A,B FROM T WHERE Q = $1", "i:77"},
      {"SELECT P FROM T WHERE H = 2147483647 AND L = 2147483648 AND X=-5",
       "SELECT P FROM T WHERE H = $1 AND L = $2 AND X=-$3", "i:2147483647 b:2147483648 i:5"},
      {"SELECT P FROM T WHERE Q <= 49.5 OR Q < 1e-05 OR Q > .5E+3",
       "SELECT P FROM T WHERE Q <= $1 OR Q < $2 OR Q > $3", "d:49.5 d:1e-05 d:.5E+3"},
      {"SELECT * FROM T WHERE B = 'it''s' AND D >= '2026-06-10 00:00:00' AND E = ''",
       "SELECT * FROM T WHERE B = $1 AND D >= $2 AND E = $3", "t:it's t:2026-06-10 00:00:00 t:"},
      {"SELECT * FROM T WHERE S IN ('a','b') AND N LIKE 'x%' AND (C = 6)",
       "SELECT * FROM T WHERE S IN ($1,$2) AND N LIKE $3 AND (C = $4)", "t:a t:b t:x% i:6"},
      // The select list and ORDER BY / GROUP BY keep theirs; a subquery's select list does not.
      {"SELECT 1, 'x', P*2 FROM T WHERE K IN (SELECT 3 FROM U) ORDER BY 1, 2 LIMIT 5",
       "SELECT 1, 'x', P*2 FROM T WHERE K IN (SELECT $1 FROM U) ORDER BY 1, 2 LIMIT $2", "i:3 i:5"},
      {"SELECT C1 FROM T2 WHERE (A = 1 ORDER BY 2) OR B = 3",
       "SELECT C1 FROM T2 WHERE (A = $1 ORDER BY 2) OR B = $2", "i:1 i:3"},
      {"SELECT 1", "SELECT 1", ""},
  };
  for (const auto& c : cases) {
    LiftedStatement lifted;
    ASSERT_TRUE(LiftLiterals(c.sql, PlaceholderStyle::Dollar, lifted)) << c.sql;
    EXPECT_EQ(lifted.shape, c.shape) << c.sql;
    EXPECT_EQ(Lifted(lifted), c.literals) << c.sql;
  }
  LiftedStatement lifted;
  ASSERT_TRUE(
      LiftLiterals("SELECT A FROM T WHERE B = 'x' AND C = 12", PlaceholderStyle::Question, lifted));
  EXPECT_EQ(lifted.shape, "SELECT A FROM T WHERE B = ?1 AND C = ?2");
}

TEST(LiteralLexer, RefusesWhatItIsNotSureOf) {
  const char* cases[] = {
      "SELECT A FROM T -- note",
      "SELECT A FROM T /* note */",
      "SELECT \"A\" FROM T",
      "SELECT A FROM T WHERE B = 'a\\'",
      "SELECT A FROM T WHERE B = E'a'",
      "SELECT A FROM T WHERE B = DATE '2026-06-10'",
      "SELECT A FROM T WHERE B = 'a' 'b'",
      "SELECT A FROM T WHERE B = 'open",
      "SELECT A FROM T WHERE B = ?",
      "SELECT A FROM T WHERE B = $1",
      "SELECT A FROM T WHERE B = $$x$$",
      "SELECT A FROM T WHERE B = 1::text",
      "SELECT A FROM T; SELECT B FROM T",
      "SELECT A FROM T WHERE B = 0x1F",
      "SELECT A FROM T WHERE B = 1.2.3",
      "SELECT A FROM T WHERE B = 99999999999999999999",
      "SELECT A FROM T WHERE B = -2147483648",
      "SELECT A FROM T WHERE B = 'caf\xc3\xa9' AND C = \xc3\xa9",
      "SELECT A FROM T WHERE (B = 1",
  };
  for (const char* sql : cases) {
    LiftedStatement lifted;
    EXPECT_FALSE(LiftLiterals(sql, PlaceholderStyle::Dollar, lifted)) << sql;
  }
}

}  // namespace
}  // namespace carvalen::db
