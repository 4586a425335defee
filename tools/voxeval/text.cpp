#include "text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace voxeval {

namespace {

// Length of the sequence a lead byte starts, 0 for a byte that cannot lead.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80)
    return 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    return 2;
  if (lead >= 0xE0 && lead <= 0xEF)
    return 3;
  if (lead >= 0xF0 && lead <= 0xF4)
    return 4;
  return 0;
}

// The range the second byte must lie in, which rules out overlong forms,
// surrogates and values past U+10FFFF.
bool SecondByteFits(unsigned char lead, unsigned char second) {
  if (lead == 0xE0)
    return second >= 0xA0 && second <= 0xBF;
  if (lead == 0xED)
    return second >= 0x80 && second <= 0x9F;
  if (lead == 0xF0)
    return second >= 0x90 && second <= 0xBF;
  if (lead == 0xF4)
    return second >= 0x80 && second <= 0x8F;
  return second >= 0x80 && second <= 0xBF;
}

void AppendCodePoint(std::u16string &out, std::uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

void AppendUtf8(std::string &out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

} // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string &out,
                 std::size_t &badOffset) {
  out.clear();
  std::size_t i = 0;
  while (i < in.size()) {
    const unsigned char lead = static_cast<unsigned char>(in[i]);
    const int length = SequenceLength(lead);
    if (length == 0 || i + length > in.size()) {
      badOffset = i;
      return false;
    }
    std::uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(in[i + k]);
      const bool fits =
          k == 1 ? SecondByteFits(lead, next) : next >= 0x80 && next <= 0xBF;
      if (!fits) {
        badOffset = i;
        return false;
      }
      cp = (cp << 6) | (next & 0x3F);
    }
    AppendCodePoint(out, cp);
    i += length;
  }
  return true;
}

namespace {

std::string ToUtf8(std::u16string_view in, bool keepUnpaired) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::uint32_t cp = in[i];
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF && !keepUnpaired) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

} // namespace

std::string Utf16ToUtf8(std::u16string_view in) { return ToUtf8(in, false); }

std::string Utf16ToUtf8Lossless(std::u16string_view in) {
  return ToUtf8(in, true);
}

std::string FormatNumber(double value) {
  char buffer[64];
  const std::to_chars_result r =
      std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, r.ptr);
}

NumberStatus ParseNumber(std::string_view text, double &value) {
  text = TrimSpaces(text);
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  // from_chars alone would also take "inf", "nan" and hexadecimal forms.
  for (char c : text) {
    const bool allowed = (c >= '0' && c <= '9') || c == '.' || c == 'e' ||
                         c == 'E' || c == '+' || c == '-';
    if (!allowed)
      return NumberStatus::kNotANumber;
  }
  const char *end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, value);
  if (text.empty() || r.ptr != end)
    return NumberStatus::kNotANumber;
  if (r.ec == std::errc::result_out_of_range) {
    // Too small rounds towards zero harmlessly, too large has no finite
    // value; strtod tells the two apart (the tool keeps the "C" locale).
    value = std::strtod(std::string(text).c_str(), nullptr);
  }
  if (!std::isfinite(value))
    return NumberStatus::kNotFinite;
  return NumberStatus::kOk;
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && IsSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

std::string Quoted(std::string_view text) {
  // Text that is not UTF-8 is shown byte by byte, so that the message is.
  std::u16string ignored;
  std::size_t bad = 0;
  const bool utf8 = Utf8ToUtf16(text, ignored, bad);
  std::string out = "'";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F || (u >= 0x80 && !utf8)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

} // namespace voxeval
