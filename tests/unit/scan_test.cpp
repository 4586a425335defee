#include "builder/expression_builder.h"
#include "platform/scan.h"

#include <gtest/gtest.h>

#include <clocale>
#include <limits>
#include <memory>
#include <string>

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kUnchanged = -42.0;

double Scan(const std::u16string &text) {
  double value = kUnchanged;
  m_swscanf(text.c_str(), u"%lg", &value);
  return value;
}

// The longest prefix that is a decimal number is read; without one the
// value keeps what it held.
TEST(Scan, ReadsTheLongestDecimalPrefix) {
  const struct {
    const char16_t *text;
    double value;
  } cases[] = {
      {u"7", 7},
      {u"1.2.3", 1.2},
      {u"2e", 2},
      {u"2e+", 2},
      {u"2E-", 2},
      {u"2.5e-3", 2.5e-3},
      {u".5", 0.5},
      {u"5.", 5},
      {u"1e5e3", 1e5},
      {u"-7", -7},
      {u"+7", 7},
      {u"0x1p3", 0},
      {u".", kUnchanged},
      {u"", kUnchanged},
      {u"e5", kUnchanged},
      {u"-", kUnchanged},
      {u"+.e1", kUnchanged},
      {u"inf", kUnchanged},
      {u"nan", kUnchanged},
      {u" 1", kUnchanged},
      {u"1e-320", 1e-320},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    EXPECT_EQ(Scan(c.text), c.value);
  }
}

// Units outside ASCII end the number, even those whose low byte is a digit,
// a dot or an exponent mark.
TEST(Scan, StopsAtTheFirstUnitOutsideAscii) {
  const struct {
    const char16_t *text;
    double value;
  } cases[] = {
      {u"1\u0132", 1},
      {u"1\u012e5", 1},
      {u"1\u0165"
       u"5",
       1},
      {u"1\u0661", 1},
      {u"1\uff10", 1},
      {u"\u0131", kUnchanged},
      {u"2\xd800"
       u"3",
       2},
      {u"\u0665", kUnchanged},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.text));
    EXPECT_EQ(Scan(c.text), c.value);
  }
}

// Beyond the range of a double a number reads as a C scan gives it:
// infinity when too large, zero when too small.
TEST(Scan, OutOfRangeGivesInfinityOrZero) {
  const std::u16string zeros(1000, u'0');
  const struct {
    std::u16string text;
    double value;
  } cases[] = {
      {u"1e999", kInf},
      {u"-1e999", -kInf},
      {u"1e-999", 0},
      {u"2e-324", 0},
      {u"1.8e308", kInf},
      {u"1e99999999999999999999999", kInf},
      {u"1e-99999999999999999999999", 0},
      {u"0." + zeros + u"1e1400", kInf},
      {u"0." + zeros + u"1e1300", 1e299},
      {u"1" + zeros + u"e-1400", 0},
      {u"1" + zeros + u"e-1300", 1e-300},
      {u"0e999999", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text.size());
    EXPECT_EQ(Scan(c.text), c.value);
  }
}

// A megabyte of digits reads in one pass.
TEST(Scan, ReadsVeryLongNumbers) {
  const std::u16string digits(1 << 20, u'7');
  EXPECT_EQ(Scan(digits), kInf);
  EXPECT_EQ(Scan(u"0." + std::u16string(1 << 20, u'0') + u"1"), 0.0);
  EXPECT_EQ(Scan(std::u16string(1 << 20, u'0') + u"1.5"), 1.5);
}

// Only "%lg" is understood; anything else reads nothing.
TEST(Scan, RefusesOtherFormats) {
  for (const char16_t *format : {u"%lf", u"%g", u"%d", u"%lg ", u"", u"%l"}) {
    double value = kUnchanged;
    EXPECT_EQ(m_swscanf(u"1", format, &value), -1);
    EXPECT_EQ(value, kUnchanged);
  }
  double value = kUnchanged;
  EXPECT_EQ(m_swscanf(u"1", nullptr, &value), -1);
  EXPECT_EQ(m_swscanf(nullptr, u"%lg", &value), 0);
  EXPECT_EQ(m_swscanf(u"1", u"%lg", nullptr), 0);
  EXPECT_EQ(m_swscanf(u"x", u"%lg", &value), 0);
  EXPECT_EQ(m_swscanf(u"1.5", u"%lg", &value), 1);
  EXPECT_EQ(value, 1.5);
}

// A process locale with a decimal comma changes nothing: "2.5" is 2.5, for
// the scan and for the literals the lexer reads.
TEST(Scan, IgnoresTheProcessLocale) {
  const char *const locales[] = {
      "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
      "ru_RU.UTF-8", "de_DE",      "fr_FR",       "German_Germany.1252"};
  const char *chosen = nullptr;
  for (const char *name : locales) {
    if (std::setlocale(LC_ALL, name) != nullptr &&
        std::localeconv()->decimal_point[0] == ',') {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) {
    std::setlocale(LC_ALL, "C");
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  SCOPED_TRACE(chosen);
  EXPECT_EQ(Scan(u"2.5"), 2.5);
  EXPECT_EQ(Scan(u"2,5"), 2.0);
  EXPECT_EQ(Scan(u"1.5e1"), 15.0);

  CExpressionBuilder builder;
  const std::u16string text = u"0.25";
  std::int32_t position = 0;
  TOKEN_TYPE type = TT_NONE;
  std::unique_ptr<calc_nmspace::TOKEN> token(
      builder.NextToken(text, position, type));
  std::setlocale(LC_ALL, "C");
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->value.dval, 0.25);
  EXPECT_EQ(token->name, "0.25");
}

} // namespace
