#include "builder/expression_builder.h"
#include "tree_format.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using calc_nmspace::TOKEN;

namespace {

struct ShapeCase {
  const char16_t *text;
  const char *tree;
};

void ExpectShapes(const CExpressionBuilder &builder,
                  std::initializer_list<ShapeCase> cases) {
  for (const auto &c : cases)
    EXPECT_EQ(ParseToText(builder, c.text), c.tree) << WideToNarrow(c.text);
}

std::u16string Repeat(const std::u16string &piece, std::size_t count) {
  std::u16string out;
  out.reserve(piece.size() * count);
  for (std::size_t i = 0; i < count; ++i)
    out += piece;
  return out;
}

// An operator's right operand becomes a group exactly when it holds a
// tighter operator; equal priorities stay side by side, "^" included.
TEST(Parser, PriorityIsExpressedByNesting) {
  CExpressionBuilder builder;
  ExpectShapes(builder, {
                            {u"1-2-3", "[1, -, 2, -, 3]"},
                            {u"8/2/2", "[8, /, 2, /, 2]"},
                            {u"2^3^2", "[2, ^, 3, ^, 2]"},
                            {u"1+2*3", "[1, +, [2, *, 3]]"},
                            {u"1+2*3+4", "[1, +, [2, *, 3], +, 4]"},
                            {u"1+2*3^2", "[1, +, [2, *, [3, ^, 2]]]"},
                            {u"2*3+1", "[2, *, 3, +, 1]"},
                            {u"2^3*4", "[2, ^, 3, *, 4]"},
                            {u"2*(3+4)", "[2, *, [3, +, 4]]"},
                            {u"(1+2)*3", "[[1, +, 2], *, 3]"},
                            {u"1+2*(3+4)", "[1, +, [2, *, [3, +, 4]]]"},
                            {u"sin(x)", "[sin, [x]]"},
                            {u"sin x", "[sin, x]"},
                            {u"2*sin(x)+1", "[2, *, sin, [x], +, 1]"},
                            {u"1+sin(x)*2", "[1, +, [sin, [x], *, 2]]"},
                            {u"-5", "[-, 5]"},
                            {u"-2^2", "[-, [2, ^, 2]]"},
                            {u"2*-3", "[2, *, -, 3]"},
                            {u"1+-2*3", "[1, +, -, [2, *, 3]]"},
                            {u"1+sin x^2", "[1, +, [sin, x, ^, 2]]"},
                            {u"2*(1+2*3)+1", "[2, *, [1, +, [2, *, 3]], +, 1]"},
                            {u"1 + 2 * 3", "[1, +, [2, *, 3]]"},
                            {u"x*{SI}^2", "[x, *, [{SI}, ^, 2]]"},
                        });
}

// Order is not judged, the text is not trimmed, and unreadable text
// anywhere fails the whole parse.
TEST(Parser, ReadsWhatTheLexerReads) {
  CExpressionBuilder builder;
  ExpectShapes(builder, {
                            {u"", "[]"},
                            {u"   ", "null"},
                            {u" 1", "[1]"},
                            {u"1 ", "null"},
                            {u"1+2 ", "null"},
                            {u"1\t+\n2", "[1, +, 2]"},
                            {u"1+", "[1, +]"},
                            {u"+", "[+]"},
                            {u"*2", "[*, 2]"},
                            {u"1++2", "[1, +, +, 2]"},
                            {u"2 3", "[2, 3]"},
                            {u"2x", "[2, x]"},
                            {u"sin", "[sin]"},
                            {u"1+sin", "[1, +, sin]"},
                            {u"1+foo", "null"},
                            {u"foo+1", "null"},
                            {u"1+2*foo", "null"},
                            {u"sinx", "null"},
                            {u"{SIX}", "null"},
                            {u"{SI}X}", "null"},
                            {u"1\r", "null"},
                            {u"1+\xd800", "null"},
                            {u"1.2.3*2e+", "[1.2.3, *, 2e+]"},
                            {u"3ex", "[3e, x]"},
                        });
}

// ")" ends the group being read (at the top, the parse); "(" left open
// closes at the end of the text, or of the operand span holding it; a "("
// with nothing after it fails.
TEST(Parser, ParenthesesAtTheEdges) {
  CExpressionBuilder builder;
  ExpectShapes(builder, {
                            {u"1+2)*5", "[1, +, 2]"},
                            {u")", "[]"},
                            {u")foo", "[]"},
                            {u"(1+2", "[[1, +, 2]]"},
                            {u"2*(3", "[2, *, [3]]"},
                            {u"1+2*(3", "[1, +, [2, *, [3]]]"},
                            {u"1+2*(3+4", "[1, +, [2, *, [3, +, 4]]]"},
                            {u"()", "[[]]"},
                            {u"(sin)", "[[sin]]"},
                            {u"((1)", "[[[1]]]"},
                            {u"(1 ", "null"},
                            {u"(", "null"},
                            {u"2*(", "null"},
                            {u"sin(", "null"},
                            {u"1+2*(", "null"},
                            {u"1+(2*(", "null"},
                            {u"(1)(", "null"},
                        });
}

// The position ends at npos, at the text length after an operand span that
// reaches the end, or just after the ")" that ended the parse.
TEST(Parser, PositionAfterTheParse) {
  CExpressionBuilder builder;
  const struct {
    const char16_t *text;
    std::int32_t position;
  } cases[] = {
      {u"", 0},         {u"1+2", npos}, {u"1+2*3", 5},
      {u"(1+2)", npos}, {u"1+2)*5", 4}, {u")", npos},
  };
  for (const auto &c : cases) {
    const std::u16string text = c.text;
    std::int32_t position = 0;
    std::unique_ptr<TOKEN> root(builder.ParseGroup(text, position));
    ASSERT_NE(root, nullptr) << WideToNarrow(text);
    EXPECT_EQ(position, c.position) << WideToNarrow(text);
  }
}

// The span runs to the first operator outside parentheses that binds no
// tighter, an unmatched ")", unreadable text or the end, blanks before it
// included; it counts only when it holds a tighter operator.
TEST(Parser, OperandSpanLength) {
  CExpressionBuilder builder;
  const struct {
    const char16_t *text;
    std::int32_t position;
    std::int32_t priority;
    std::int32_t span;
  } cases[] = {
      {u"1+2*3", 2, 2, 3},     {u"1+2*3+4", 2, 2, 3}, {u"2*3+1", 2, 1, 0},
      {u" 2 * 3+1", 0, 2, 6},  {u"2*3 ", 0, 2, 3},    {u"(1+2)*3", 0, 1, 0},
      {u"(1+2)^3+1", 0, 1, 7}, {u"2)*3", 0, 2, 0},    {u"2^3)", 0, 2, 3},
      {u"2*3 foo*4", 0, 2, 3}, {u"2*(3", 0, 2, 4},    {u"2*(3))*4", 0, 2, 5},
      {u"-2*3", 0, 1, 0},      {u"2^3", 0, 0, 0},     {u"", 0, 2, 0},
      {u"2*3", npos, 2, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    EXPECT_EQ(builder.OperandSpanLength(c.text, c.position, c.priority),
              c.span);
  }
  // Measuring alone knows no depth bound.
  const std::u16string deep = u"2*" + Repeat(u"(", 300) + u"1";
  EXPECT_EQ(builder.OperandSpanLength(deep, 0, 2), 303);
}

// Groups may nest 256 deep, the root counting as one, whether they come
// from parentheses, operand spans or both; one level more fails.
TEST(Parser, NestingIsBounded) {
  CExpressionBuilder builder;
  const int limit = CExpressionBuilder::kMaxDepth;
  const struct {
    std::u16string text;
    int depth; // 0: the parse fails
  } cases[] = {
      {Repeat(u"(", limit - 1) + u"1", limit},
      {Repeat(u"(", limit) + u"1", 0},
      {Repeat(u"(", limit - 1) + u"1" + Repeat(u")", limit - 1), limit},
      {u"1+" + Repeat(u"(", limit - 1) + u"2", limit},
      {u"1+" + Repeat(u"(", limit) + u"2", 0},
      {u"1+2*" + Repeat(u"(", limit - 2) + u"3", limit},
      {u"1+2*" + Repeat(u"(", limit - 1) + u"3", 0},
      {Repeat(u"1+2*(", (limit - 2) / 2) + u"1+2*3", limit},
      {Repeat(u"1+2*(", (limit - 2) / 2) + u"1+2*3^4", 0},
      {Repeat(u"(", limit - 3) + u"1+2*3^4", limit},
      {Repeat(u"(", limit - 2) + u"1+2*3^4", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text.substr(0, 40)));
    std::int32_t position = 0;
    std::unique_ptr<TOKEN> root(builder.ParseGroup(c.text, position));
    EXPECT_EQ(root ? TreeDepth(*root) : 0, c.depth);
  }
}

// Hostile texts finish and fail or succeed as the rules say; nothing may
// overflow the stack or take unbounded time.
TEST(Parser, HostileTextsFinish) {
  CExpressionBuilder builder;
  const std::u16string longName(10000, u'q');
  ASSERT_TRUE(builder.AddVariable(longName));
  const std::size_t mb = 1 << 20;
  const std::u16string sum = Repeat(u"1+", 2000) + u"1";
  const struct {
    std::u16string text;
    bool parses;
  } cases[] = {
      {std::u16string(mb, u'7'), true},
      {std::u16string(mb, u'('), false},
      {std::u16string(mb, u')'), true},
      {Repeat(u"()", 50000), true},
      {u"1" + Repeat(u"+", 100000) + u"1", true},
      {u"1" + Repeat(u"*+^", 20000) + u"1", true},
      {std::u16string(10000, u'w'), false},
      {Repeat(longName + u"*", 100) + u"1", true},
      {Repeat(u"1+(", mb / 3), false},
      {Repeat(u"1+2*(", 120) + sum, true},
      {Repeat(u"1+2*(", 120) + sum + u" ", false},
      {Repeat(u"(", 200) + Repeat(u"2*3^", 10000) + u"2", true},
      {Repeat(u"\xd800", mb), false},
      {Repeat(u"1+\r", 1000), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text.substr(0, 20)));
    std::int32_t position = 0;
    std::unique_ptr<TOKEN> root(builder.ParseGroup(c.text, position));
    EXPECT_EQ(root != nullptr, c.parses);
  }
}

// Every single unit on its own: only numbers, the operators, ")" and the
// one-letter variables parse.
TEST(Parser, EverySingleUnit) {
  CExpressionBuilder builder;
  std::string parsed;
  for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const std::u16string text(1, static_cast<char16_t>(unit));
    if (ParseToText(builder, text) != "null")
      parsed += static_cast<char>(unit);
  }
  EXPECT_EQ(parsed, ")*+-./0123456789^rtxyz");
}

} // namespace
