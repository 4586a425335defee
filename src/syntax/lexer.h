// Scanning helpers of the lexer: blank, name and number character classes.
#ifndef VOXEVAL_SYNTAX_LEXER_H
#define VOXEVAL_SYNTAX_LEXER_H

#include <cstdint>
#include <string>

// Space, tab and line feed; a carriage return is not blank.
bool IsBlank(char16_t c);

// True when every position in the text, and its length, fit the signed
// 32-bit position type; longer texts are refused whole.
bool FitsPositions(const std::u16string &text);

// First index at or after position that is not blank, or npos when the rest
// of the text is blank or position is not inside it.
std::int32_t SkipBlanks(const std::u16string &text, std::int32_t position);
// Length of the identifier starting exactly at position, or 0.
std::int32_t IdentifierLength(const std::u16string &text,
                              std::int32_t position);
// Length of the run of number characters (".0123456789") at position, or 0.
std::int32_t DigitRunLength(const std::u16string &text, std::int32_t position);
// Length of the numeric literal starting exactly at position, or 0.
std::int32_t NumberLength(const std::u16string &text, std::int32_t position);
// Removes leading and trailing blanks in place.
void TrimBlanks(std::u16string &text);

#endif
