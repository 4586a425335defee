// Text helpers: UTF-8 to UTF-16 and back, numbers in and out.
#ifndef VOXEVAL_TEXT_H
#define VOXEVAL_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace voxeval {

// Strict UTF-8 decoding: overlong forms, surrogates, values past U+10FFFF and
// cut-off sequences are refused. On failure `badOffset` is the offset of the
// first byte that cannot be decoded.
bool Utf8ToUtf16(std::string_view in, std::u16string &out,
                 std::size_t &badOffset);

// The inverse; an unpaired surrogate becomes U+FFFD (only used for messages).
std::string Utf16ToUtf8(std::u16string_view in);

// The inverse for text that must arrive unchanged: an unpaired surrogate keeps
// its 3-byte form, which Utf8ToUtf16 then refuses.
std::string Utf16ToUtf8Lossless(std::u16string_view in);

// The shortest text that reads back as the same double.
std::string FormatNumber(double value);

enum class NumberStatus { kOk, kNotANumber, kNotFinite };

// The whole text (blanks around it allowed, one leading '+' allowed) must be
// a decimal number; infinities and NaN are refused, because the library would
// read them as 0.0.
NumberStatus ParseNumber(std::string_view text, double &value);

// Blanks (space, tab) removed from both ends.
std::string_view TrimSpaces(std::string_view text);

// The text in single quotes, for messages.
std::string Quoted(std::string_view text);

} // namespace voxeval

#endif
