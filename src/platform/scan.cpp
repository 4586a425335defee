// The number scan behind every numeric literal. It reads with from_chars,
// so a process locale whose decimal point is a comma changes nothing.
#include "platform/scan.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#if defined(_MSC_VER)
#include <locale.h>
#include <stdlib.h>
#endif

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsSign(char16_t c) { return c == u'+' || c == u'-'; }

// Only "%lg" is supported, spelled exactly.
bool IsDoubleFormat(const char16_t *format) {
  return format != nullptr && format[0] == u'%' && format[1] == u'l' &&
         format[2] == u'g' && format[3] == u'\0';
}

// Index just past a run of digits starting at i.
std::size_t SkipDigits(const char16_t *text, std::size_t i) {
  while (IsDigit(text[i]))
    ++i;
  return i;
}

// Length of the longest prefix that is a decimal number: an optional sign,
// digits with at most one dot (at least one digit), then an exponent only
// if it has digits. 0 when the text does not start with a number. Every
// unit it accepts is ASCII, so the scan stops at the first one that is not.
std::size_t DecimalPrefixLength(const char16_t *text) {
  std::size_t start = IsSign(text[0]) ? 1 : 0;
  std::size_t i = SkipDigits(text, start);
  std::size_t digits = i - start;
  if (text[i] == u'.') {
    std::size_t fraction = SkipDigits(text, i + 1);
    digits += fraction - (i + 1);
    i = fraction;
  }
  if (digits == 0)
    return 0;
  if (text[i] != u'e' && text[i] != u'E')
    return i;
  std::size_t exponent = i + 1 + (IsSign(text[i + 1]) ? 1 : 0);
  std::size_t end = SkipDigits(text, exponent);
  return end > exponent ? end : i;
}

#if defined(_MSC_VER)
// The Microsoft-ABI build links no C++ library that converts numbers: the C
// runtime's correctly rounded strtod reads them, in a "C" locale made once
// (whichever thread comes first; a copy made by a thread that lost the race
// is freed).
_locale_t NumberLocale() {
  static std::atomic<_locale_t> kept{nullptr};
  _locale_t locale = kept.load(std::memory_order_acquire);
  if (locale != nullptr)
    return locale;
  _locale_t made = _create_locale(LC_NUMERIC, "C");
  if (made == nullptr)
    throw std::bad_alloc();
  if (kept.compare_exchange_strong(locale, made, std::memory_order_acq_rel))
    return made;
  _free_locale(made);
  return locale;
}

// Overflow gives an infinity and underflow zero or a subnormal, as the scan
// everywhere else reads them.
double ReadDecimal(const std::string &number) {
  return _strtod_l(number.c_str(), nullptr, NumberLocale());
}
#else
// Decimal exponent of the first nonzero digit of the mantissa; the lowest
// value of the type when every digit is zero.
std::int64_t LeadingDigitExponent(const std::string &number) {
  std::size_t i = (number[0] == '-' || number[0] == '+') ? 1 : 0;
  std::size_t dot = number.find('.', i);
  std::size_t mantissaEnd = number.find_first_of("eE", i);
  if (mantissaEnd == std::string::npos)
    mantissaEnd = number.size();
  if (dot == std::string::npos || dot > mantissaEnd)
    dot = mantissaEnd;
  std::size_t lead = number.find_first_of("123456789", i);
  if (lead == std::string::npos || lead >= mantissaEnd)
    return std::numeric_limits<std::int64_t>::min();
  return lead < dot ? std::int64_t(dot - lead - 1) : -std::int64_t(lead - dot);
}

// The written exponent, saturated far beyond any double's range.
std::int64_t WrittenExponent(const std::string &number) {
  std::size_t mark = number.find_first_of("eE");
  if (mark == std::string::npos)
    return 0;
  std::size_t i = mark + 1;
  bool negative = number[i] == '-';
  if (IsSign(number[i]))
    ++i;
  const std::int64_t limit = 1000000000000;
  std::int64_t value = 0;
  for (; i < number.size() && value < limit; ++i)
    value = value * 10 + (number[i] - '0');
  return negative ? -value : value;
}

// from_chars leaves the value alone when it is out of range; a C scan
// gives an infinity on overflow and zero on underflow, and so does this.
double OutOfRangeValue(const std::string &number) {
  std::int64_t lead = LeadingDigitExponent(number);
  bool overflow = lead != std::numeric_limits<std::int64_t>::min() &&
                  lead + WrittenExponent(number) >= 0;
  double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
  return number[0] == '-' ? -magnitude : magnitude;
}

double ReadDecimal(const std::string &number) {
  // from_chars takes no plus sign.
  const char *first = number.data() + (number[0] == '+' ? 1 : 0);
  double read = 0.0;
  auto result = std::from_chars(first, number.data() + number.size(), read,
                                std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range)
    read = OutOfRangeValue(number);
  return read;
}
#endif

} // namespace

int m_swscanf(const char16_t *text, const char16_t *format, double *value) {
  if (!IsDoubleFormat(format))
    return -1;
  if (text == nullptr || value == nullptr)
    return 0;
  const std::size_t length = DecimalPrefixLength(text);
  if (length == 0)
    return 0;
  *value = ReadDecimal(std::string(text, text + length));
  return 1;
}
