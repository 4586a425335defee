#include "builder/expression_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

double Callback(std::uintptr_t) { return 1.0; }

class SyntaxCheckTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(builder_.AddFunction(u"cb", Callback)); }

  void ExpectChecks(
      std::initializer_list<std::pair<const char16_t *, bool>> cases) const {
    for (const auto &c : cases)
      EXPECT_EQ(builder_.CheckSyntax(c.first), c.second)
          << '"' << WideToNarrow(c.first) << '"';
  }

  CExpressionBuilder builder_;
};

// Every pair of kinds, one text per cell. A text is a prefix ending in the
// row's kind, the column's token, a tail that the token accepts, and what
// brings the parentheses back to zero, so the cell alone decides.
TEST_F(SyntaxCheckTest, EveryPairOfKinds) {
  // value, function, "+", "*", "(", ")", callback, placeholder
  const char16_t *const columns[] = {u"2", u"cos", u"+",  u"*",
                                     u"(", u")",   u"cb", u"gol"};
  const char16_t *const tails[] = {u"",   u"(1)", u"1",  u"1",
                                   u"1)", u"",    u"+1", u""};
  const struct {
    const char16_t *prefix;
    int depth;
    const char *cells; // the columns above, then the end of the text
  } rows[] = {
      {u"", 0, "yyynyyyyn"},    // start
      {u"1", 0, "yyyynyyny"},   // value
      {u"sin", 0, "nnnnynnnn"}, // function
      {u"1+", 0, "yynnynyyn"},  // operator
      {u"(", 1, "yyyyynyyn"},   // open
      {u"(1)", 0, "yyyynyyny"}, // close
      {u"cb", 0, "yyyynyynn"},  // callback
      {u"gol", 0, "yyyynyyny"}, // placeholder
  };
  for (const auto &row : rows) {
    for (int column = 0; column < 9; ++column) {
      std::u16string text = row.prefix;
      if (column == 8) {
        // The start row ends at an unreadable first token.
        text = text.empty() ? u"#" : text;
      } else {
        text += u" " + std::u16string(columns[column]) + tails[column];
        const int depth = row.depth - (column == 5 ? 1 : 0);
        text += depth > 0 ? u")" : depth < 0 ? u"+(1" : u"";
      }
      EXPECT_EQ(builder_.CheckSyntax(text), row.cells[column] == 'y')
          << '"' << WideToNarrow(text) << '"';
    }
  }
}

// Texts as a formula writer meets them.
TEST_F(SyntaxCheckTest, Readings) {
  ExpectChecks({
      {u"", true},       {u"   ", true},     {u"1 ", true},
      {u" \t1\n", true}, {u"1+2", true},     {u"+2", true},
      {u"-x", true},     {u"(1+2)*3", true}, {u"x^2^3", true},
      {u"{SI}*2", true}, {u"-(x)", true},    {u"sin(x)", true},
      {u"2 3", true},    {u"x y", true},     {u"(1)2", true},
      {u"(*2)", true},   {u")+(1", true},    {u"1+", false},
      {u"*2", false},    {u"2*-3", false},   {u"1++2", false},
      {u"2^-1", false},  {u"sin", false},    {u"sin x", false},
      {u"()", false},    {u"(1", false},     {u"1)", false},
      {u"2(3)", false},  {u"(1)(2)", false}, {u"((1)", false},
  });
}

// The placeholder may open the text or follow an operator or "(", and the
// text may end on it.
TEST_F(SyntaxCheckTest, Placeholder) {
  ExpectChecks({
      {u"gol", true},
      {u"gol+1", true},
      {u"(gol)", true},
      {u"sin(gol)", true},
      {u"1+gol", true},
      {u"1 gol", false},
      {u"sin gol", false},
      {u"(1)gol", false},
      {u"gol gol", false},
      {u"cb gol", false},
      {u"(gol", false},
  });
}

// A callback takes no argument and cannot end the text.
TEST_F(SyntaxCheckTest, Callback) {
  ExpectChecks({
      {u"cb", false},
      {u"1+cb", false},
      {u"cb+1", true},
      {u"cb 1", true},
      {u"cb(1)", false},
      {u"(cb)", true},
  });
}

// Unreadable text ends the check; only the tokens before it count.
TEST_F(SyntaxCheckTest, UnreadableTextEndsTheCheck) {
  ExpectChecks({
      {u"1 foo", true},
      {u"1 #", true},
      {u"foo", false},
      {u"1+foo", false},
      {u"1\r", true},
      {u"\r1", false},
      {u"x\r+", true},
      {u"(1\r)", false},
      {u"1 sinx", true},
      {u"1+\xd800", false},
      {u"1\xdc00", true},
      {u"{SIX}", false},
      {u"{SI}X}", true},
      {u"1\u00a0", true},
      {u"\u00a01", false},
  });
}

// Every single unit on its own: numbers, the one-letter variables and the
// blanks (which trim to nothing) are accepted.
TEST_F(SyntaxCheckTest, EverySingleUnit) {
  std::string accepted;
  for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    if (builder_.CheckSyntax(std::u16string(1, static_cast<char16_t>(unit))))
      accepted += static_cast<char>(unit);
  }
  EXPECT_EQ(accepted, "\t\n .0123456789rtxyz");
}

} // namespace
