#include "builder/expression_builder.h"
#include "syntax/lexer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

using calc_nmspace::TOKEN;

namespace {

class LexerTest : public ::testing::Test {
protected:
  // One call of NextToken; the token is kept for inspection.
  void Read(const std::u16string &text, std::int32_t start) {
    text_ = text;
    position_ = start;
    type_ = TT_POW;
    length_ = 99;
    token_.reset(builder_.NextToken(text_, position_, type_, &length_));
  }

  CExpressionBuilder builder_;
  std::u16string text_;
  std::int32_t position_ = 0;
  TOKEN_TYPE type_ = TT_NONE;
  std::int32_t length_ = 0;
  std::unique_ptr<TOKEN> token_;
};

// Nothing left to read gives npos; unreadable text leaves the position on it.
// Either way no token, TT_NONE, and the length untouched.
TEST_F(LexerTest, FailuresTellEndFromUnreadableText) {
  const struct {
    const char16_t *text;
    std::int32_t start;
    std::int32_t position;
  } cases[] = {
      {u"", 0, npos},     {u" \t\n", 0, npos}, {u"1", npos, npos},
      {u"12", 2, npos},   {u"12", 7, npos},    {u"7 ", 1, npos},
      {u"sinx", 0, 0},    {u"  #", 0, 2},      {u"x\r", 1, 1},
      {u" \r1", 0, 1},    {u"\v1", 0, 0},      {u"{SIX}", 0, 0},
      {u"{Unit", 0, 0},   {u"{SI}X}", 4, 4},   {u"1e5e3", 3, 3},
      {u"2exp(1)", 2, 2}, {u"re", 0, 0},       {u"x2", 0, 0},
      {u"theta_", 0, 0},  {u"\u00e9", 0, 0},   {u"\xd800", 0, 0},
      {u"\xdc00+", 0, 0}, {u"\u00a01", 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    Read(c.text, c.start);
    EXPECT_EQ(token_, nullptr);
    EXPECT_EQ(type_, TT_NONE);
    EXPECT_EQ(position_, c.position);
    EXPECT_EQ(length_, 99);
  }
}

// Names and symbols come from the table, whole names only, blanks before
// the token counted in the length.
TEST_F(LexerTest, ReadsTableEntries) {
  const struct {
    const char16_t *text;
    std::int32_t start;
    TOKEN_TYPE type;
    const char *name;
    std::int32_t length;
    std::int32_t position;
  } cases[] = {
      {u"x+1", 0, TT_DOUBLE_REF, "x", 1, 1},
      {u"x+1", 1, TT_PLUS, "+", 1, 2},
      {u"-5", 0, TT_MINUS, "-", 1, 1},
      {u"\t\n sin(", 0, TT_FUNCTION, "sin", 6, 6},
      {u"**", 0, TT_MUL, "*", 1, 1},
      {u"+-", 1, TT_MINUS, "-", 1, npos},
      {u"a / b", 1, TT_DIV, "/", 2, 3},
      {u"2^3", 1, TT_POW, "^", 1, 2},
      {u"(x)", 2, TT_RPAREN, ")", 1, npos},
      {u"{SI}X}", 0, TT_DOUBLE_REF, "{SI}", 4, 4},
      {u" {Unit}", 0, TT_DOUBLE_REF, "{Unit}", 7, npos},
      {u"pi", 0, TT_DOUBLE, "pi", 2, npos},
      {u"gol", 0, TT_PLACEHOLDER, "gol", 3, npos},
      {u"Re", 0, TT_DOUBLE_REF, "Re", 2, npos},
      {u"x\r", 0, TT_DOUBLE_REF, "x", 1, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    Read(c.text, c.start);
    ASSERT_NE(token_, nullptr);
    EXPECT_EQ(type_, c.type);
    EXPECT_EQ(token_->type, c.type);
    EXPECT_EQ(token_->name, c.name);
    EXPECT_EQ(length_, c.length);
    EXPECT_EQ(position_, c.position);
  }
}

// A token is a copy of its entry: kind, priority and value come along.
TEST_F(LexerTest, CopiesPriorityAndValueFromTheTable) {
  const auto &table = builder_.GetNameTable();
  for (const char16_t *name :
       {u"+", u"-", u"*", u"/", u"^", u"(", u"x", u"{SI}", u"sin", u"pi"}) {
    SCOPED_TRACE(WideToNarrow(name));
    Read(name, 0);
    ASSERT_NE(token_, nullptr);
    const TOKEN &entry = table.at(name);
    EXPECT_EQ(token_->priority, entry.priority);
    EXPECT_EQ(std::memcmp(&token_->value, &entry.value, sizeof entry.value), 0);
    EXPECT_TRUE(token_->children.empty());
  }
}

// A literal's text is its name; its value is what "%lg" reads from it.
TEST_F(LexerTest, ReadsNumericLiterals) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char16_t *text;
    const char *name;
    double value;
    std::int32_t position;
  } cases[] = {
      {u"  7", "7", 7, npos},
      {u"7 ", "7", 7, 1},
      {u".", ".", 0, npos},
      {u"1.2.3", "1.2.3", 1.2, npos},
      {u"2e", "2e", 2, npos},
      {u"2e+", "2e+", 2, npos},
      {u"3ex", "3e", 3, 2},
      {u"2exp(1)", "2e", 2, 2},
      {u"1e5e3", "1e5", 1e5, 3},
      {u"2E+5", "2E+5", 2e5, npos},
      {u"2.5e-3*", "2.5e-3", 2.5e-3, 6},
      {u".5", ".5", 0.5, npos},
      {u"5.", "5.", 5, npos},
      {u"1..5", "1..5", 1, npos},
      {u"007", "007", 7, npos},
      {u"2e-", "2e-", 2, npos},
      {u"1e999", "1e999", inf, npos},
      {u"1e-999", "1e-999", 0, npos},
      {u"2x", "2", 2, 1},
      {u"9\u0660", "9", 9, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    Read(c.text, 0);
    ASSERT_NE(token_, nullptr);
    EXPECT_EQ(type_, TT_DOUBLE);
    EXPECT_EQ(token_->type, TT_DOUBLE);
    EXPECT_EQ(token_->priority, -1);
    EXPECT_EQ(token_->name, c.name);
    EXPECT_EQ(token_->value.dval, c.value);
    EXPECT_EQ(position_, c.position);
  }
}

// Among keys that the text starts with, the shortest wins; keys that are no
// identifier yet start with a letter or digit can never be read.
TEST_F(LexerTest, HostKeysFollowTheTableWalk) {
  ASSERT_TRUE(builder_.AddVariable(u"{S"));
  ASSERT_TRUE(builder_.AddVariable(u"a.b"));
  ASSERT_TRUE(builder_.AddVariable(u"a b"));
  ASSERT_TRUE(builder_.AddVariable(u"2x"));
  ASSERT_TRUE(builder_.AddVariable(u"x2"));
  const struct {
    const char16_t *text;
    const char *name;
    std::int32_t position;
  } cases[] = {
      {u"{SI}", "{S", 2}, {u"{Unit}", "{Unit}", npos},
      {u"a.b", "", 0},    {u"a b", "", 0},
      {u"2x", "2", 1},    {u"x2", "x2", npos},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    Read(c.text, 0);
    EXPECT_EQ(token_ ? token_->name : "", c.name);
    EXPECT_EQ(position_, c.position);
  }
}

// Keys sharing their first units: the shortest key the text starts with,
// or nothing when the text leaves every key's path.
TEST_F(LexerTest, KeysSharingUnitsGiveTheShortestPrefix) {
  for (const char16_t *key :
       {u"\u03c1ab", u"\u03c1a", u"\u03c1b\u03c3", u"\u03c1\u03c3",
        u"\u03c1\u03c3\u03c3c", u"\u03c3\u03c9"})
    ASSERT_TRUE(builder_.AddVariable(key));
  const struct {
    const char16_t *text;
    const char16_t *key; // null: none
  } cases[] = {
      {u"\u03c1ab", u"\u03c1a"},
      {u"\u03c1\u03c3\u03c3c", u"\u03c1\u03c3"},
      {u"\u03c1b\u03c3+1", u"\u03c1b\u03c3"},
      {u"\u03c1b", nullptr},
      {u"\u03c1c", nullptr},
      {u"\u03c1", nullptr},
      {u"\u03c3", nullptr},
      {u"\u03c1\u03c9", nullptr},
      {u"\u03c3\u03c9", u"\u03c3\u03c9"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    Read(c.text, 0);
    EXPECT_EQ(token_ ? token_->name : "-", c.key ? WideToNarrow(c.key) : "-");
  }
}

// Many keys sharing a beginning, as names in braces do: each text still
// finds its own key, or the shorter key it starts with.
TEST_F(LexerTest, ManyKeysSharingABeginningEachFound) {
  auto braced = [](int i) {
    const std::string digits = std::to_string(i);
    return u"{v" + std::u16string(digits.begin(), digits.end()) + u"}";
  };
  for (int i = 0; i < 1000; ++i)
    ASSERT_TRUE(builder_.AddVariable(braced(i).c_str()));
  ASSERT_TRUE(builder_.AddVariable(u"{v5"));
  for (int i = 0; i < 1000; ++i) {
    const std::u16string text = braced(i) + u"+1";
    SCOPED_TRACE(WideToNarrow(text));
    Read(text, 0);
    const std::u16string key =
        text.compare(0, 3, u"{v5") == 0 ? u"{v5" : braced(i);
    EXPECT_EQ(token_ ? token_->name : "-", WideToNarrow(key));
  }
  Read(u"{v1000}", 0);
  EXPECT_EQ(token_, nullptr);
}

// Host names outside ASCII are read whole and carry their UTF-8 name, the
// same bytes the binding registry keys them by.
TEST_F(LexerTest, ReadsHostNamesOutsideAscii) {
  ASSERT_TRUE(builder_.AddVariable(u"\u03c1"));
  ASSERT_TRUE(builder_.AddVariable(u"\U0001d465"));
  ASSERT_TRUE(builder_.AddVariable(u"\xd800"));
  const struct {
    const char16_t *text;
    const char *name;
    std::int32_t length;
  } cases[] = {
      {u"\u03c1", "\xcf\x81", 1},
      {u" \U0001d465", "\xf0\x9d\x91\xa5", 3},
      {u"\xd800", "\xed\xa0\x80", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Read(c.text, 0);
    ASSERT_NE(token_, nullptr);
    EXPECT_EQ(type_, TT_DOUBLE_REF);
    EXPECT_EQ(token_->name, c.name);
    EXPECT_EQ(length_, c.length);
  }
}

// Only space, tab and line feed are blank.
TEST(LexerHelpers, BlanksAreSpaceTabAndLineFeed) {
  for (char16_t c : {u' ', u'\t', u'\n'})
    EXPECT_TRUE(IsBlank(c)) << int(c);
  for (char16_t c : {u'\r', u'\v', u'\f', u'\0', u'\u00a0', u'\u3000'})
    EXPECT_FALSE(IsBlank(c)) << int(c);

  const struct {
    const char16_t *text;
    const char16_t *trimmed;
  } cases[] = {
      {u"", u""},           {u" \t\n", u""},
      {u" x ", u"x"},       {u"\n1 + 2\t", u"1 + 2"},
      {u"\r1\r", u"\r1\r"}, {u"\u00a01 ", u"\u00a01"},
  };
  for (const auto &c : cases) {
    std::u16string text = c.text;
    TrimBlanks(text);
    EXPECT_EQ(text, c.trimmed);
  }
}

// The scanning helpers read exactly at the position and never past the end.
TEST(LexerHelpers, LengthsStopAtTheEnd) {
  const struct {
    const char16_t *text;
    std::int32_t position;
    std::int32_t identifier;
    std::int32_t digits;
    std::int32_t number;
  } cases[] = {
      {u"_a1 ", 0, 3, 0, 0},  {u"1a", 0, 0, 1, 1},     {u"a\u00e9", 0, 1, 0, 0},
      {u"x", 1, 0, 0, 0},     {u"x", npos, 0, 0, 0},   {u"1.5e", 0, 0, 3, 4},
      {u"1.5e+", 0, 0, 3, 5}, {u"1e-2.5", 0, 0, 1, 6}, {u"2ee", 0, 0, 1, 2},
      {u"e5", 0, 2, 0, 0},    {u"2+3", 1, 0, 0, 0},    {u"..", 0, 0, 2, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    EXPECT_EQ(IdentifierLength(c.text, c.position), c.identifier);
    EXPECT_EQ(DigitRunLength(c.text, c.position), c.digits);
    EXPECT_EQ(NumberLength(c.text, c.position), c.number);
  }
}

} // namespace
