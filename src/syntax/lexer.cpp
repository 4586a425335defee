// The lexer: cuts formula text into tokens, one per call. Numbers are read
// by their characters; every name and symbol is looked up in the name table.
#include "syntax/lexer.h"

#include "builder/expression_builder.h"
#include "platform/scan.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>

using calc_nmspace::TOKEN;

namespace {

// Longest text the signed 32-bit positions can walk.
const std::size_t kMaxTextLength = std::numeric_limits<std::int32_t>::max() - 1;

// A name starts with an ASCII letter or the underscore.
bool IsNameStart(char16_t c) {
  return c == u'_' || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// A name goes on with ASCII letters, digits and the underscore.
bool IsNameCharacter(char16_t c) {
  return IsNameStart(c) || (c >= u'0' && c <= u'9');
}

// Number runs are digits and dots, in any order and any count.
bool IsNumberCharacter(char16_t c) {
  return c == u'.' || (c >= u'0' && c <= u'9');
}

// An exponent starts with e or E.
bool IsExponentMark(char16_t c) { return c == u'e' || c == u'E'; }

// The exponent may carry one sign.
bool IsExponentSign(char16_t c) { return c == u'+' || c == u'-'; }

bool IsInside(const std::u16string &text, std::int64_t position) {
  return position >= 0 && static_cast<std::uint64_t>(position) < text.size();
}

// Units from position up to the first that fails the class, the one at
// position included.
template <class Class>
std::int32_t RunLength(const std::u16string &text, std::int32_t position,
                       Class inClass) {
  std::size_t end = std::min(text.size(), kMaxTextLength);
  std::size_t i = static_cast<std::size_t>(position);
  while (i < end && inClass(text[i]))
    ++i;
  return static_cast<std::int32_t>(i - static_cast<std::size_t>(position));
}

// The place after a token; reaching the end of the text gives npos.
std::int32_t Advance(const std::u16string &text, std::int32_t position,
                     std::int32_t length) {
  std::int64_t next = std::int64_t(position) + length;
  return IsInside(text, next) ? static_cast<std::int32_t>(next) : npos;
}

// A literal's value is what "%lg" reads from its start; 0.0 when nothing.
double LiteralValue(const std::u16string &literal) {
  double value = 0.0;
  m_swscanf(literal.c_str(), u"%lg", &value);
  return value;
}

// Keys stepped over one by one before the table is searched instead.
const int kStepsBeforeSearch = 8;

// From a key that starts with the text's first length units and goes on,
// the first key not below its first length + 1 units, or the end when no
// key starts with the first length. A few steps forward find it when few
// keys lie between; past those one search of the table does, so that
// thousands of keys sharing a beginning (names in braces) are not walked.
CExpressionBuilder::NameTable::const_iterator
NextNotBelow(const CExpressionBuilder::NameTable &table,
             CExpressionBuilder::NameTable::const_iterator entry,
             const char16_t *rest, std::size_t length) {
  // A found key shares the first length units and is not below the next:
  // the loop ends there.
  for (int step = 0; entry->first[length] < rest[length]; ++step) {
    entry = step < kStepsBeforeSearch
                ? std::next(entry)
                : table.lower_bound(std::u16string_view(rest, length + 1));
    if (entry == table.end() ||
        entry->first.compare(0, length, rest, length) != 0)
      return table.end();
  }
  return entry;
}

// A symbol is the first key in table order that the text starts with. A key
// sorts before its extensions, so that is the shortest such key. The walk
// goes on from the first key not below the text's first unit, one unit
// further at a time, only ever forward, and the key it stands on is known
// to share the units already read, so a long name costs its length, not
// its length squared.
const TOKEN *FindSymbol(const CExpressionBuilder::NameTable &table,
                        const std::u16string &text, std::int32_t position,
                        std::int32_t &keyLength) {
  const char16_t *rest = text.data() + position;
  const std::size_t restLength =
      text.size() - static_cast<std::size_t>(position);
  auto entry = table.lower_bound(std::u16string_view(rest, 1));
  for (std::size_t length = 1;; ++length) {
    // entry: the first key not below the text's first length units; it
    // starts with the first length - 1.
    if (entry == table.end() || entry->first[length - 1] != rest[length - 1])
      return nullptr;
    if (entry->first.size() == length) {
      keyLength = static_cast<std::int32_t>(length);
      return &entry->second;
    }
    if (length == restLength)
      return nullptr;
    entry = NextNotBelow(table, entry, rest, length);
  }
}

} // namespace

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

bool FitsPositions(const std::u16string &text) {
  return text.size() <= kMaxTextLength;
}

std::int32_t SkipBlanks(const std::u16string &text, std::int32_t position) {
  if (!IsInside(text, position))
    return npos;
  std::int32_t blanks = RunLength(text, position, IsBlank);
  return IsInside(text, std::int64_t(position) + blanks) ? position + blanks
                                                         : npos;
}

std::int32_t IdentifierLength(const std::u16string &text,
                              std::int32_t position) {
  if (!IsInside(text, position) || !IsNameStart(text[position]))
    return 0;
  return RunLength(text, position, IsNameCharacter);
}

std::int32_t DigitRunLength(const std::u16string &text, std::int32_t position) {
  if (!IsInside(text, position))
    return 0;
  return RunLength(text, position, IsNumberCharacter);
}

// A literal is a number run, then optionally a mark, a sign and a second,
// possibly empty, run.
std::int32_t NumberLength(const std::u16string &text, std::int32_t position) {
  std::int32_t length = DigitRunLength(text, position);
  if (length == 0)
    return 0;
  std::int64_t next = std::int64_t(position) + length;
  if (!IsInside(text, next) || !IsExponentMark(text[next]))
    return length;
  ++next;
  ++length;
  if (IsInside(text, next) && IsExponentSign(text[next])) {
    ++next;
    ++length;
  }
  if (!IsInside(text, next))
    return length;
  return length + DigitRunLength(text, static_cast<std::int32_t>(next));
}

void TrimBlanks(std::u16string &text) {
  auto first = std::find_if_not(text.begin(), text.end(), IsBlank);
  auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlank).base();
  if (first >= last) {
    text.clear();
    return;
  }
  text.erase(last, text.end());
  text.erase(text.begin(), first);
}

const TOKEN *CExpressionBuilder::FindKey(const std::u16string &text,
                                         std::int32_t position,
                                         std::int32_t identifierLength,
                                         std::int32_t &keyLength) const {
  if (identifierLength == 0)
    return FindSymbol(m_tokens, text, position, keyLength);
  // A name is only matched whole: its key must equal the identifier.
  const TOKEN *entry = m_names.Find(text.data() + position,
                                    static_cast<std::size_t>(identifierLength));
  if (entry != nullptr)
    keyLength = identifierLength;
  return entry;
}

TOKEN *CExpressionBuilder::NextToken(const std::u16string &text,
                                     std::int32_t &position, TOKEN_TYPE &type,
                                     std::int32_t *length) const {
  type = TT_NONE;
  if (!FitsPositions(text))
    return nullptr;
  const std::int32_t start = SkipBlanks(text, position);
  if (start == npos) {
    position = npos;
    return nullptr;
  }
  const std::int32_t blanks = start - position;
  position = start;

  std::unique_ptr<TOKEN> token(new TOKEN);
  std::int32_t read = NumberLength(text, start);
  if (read > 0) {
    const std::u16string literal = text.substr(start, read);
    token->name = WideToNarrow(literal);
    token->SetDouble(LiteralValue(literal));
  } else {
    const TOKEN *entry =
        FindKey(text, start, IdentifierLength(text, start), read);
    if (entry == nullptr)
      return nullptr;
    token->CopyFrom(*entry);
    token->name = WideToNarrow(text.substr(start, read));
  }
  if (length != nullptr)
    *length = blanks + read;
  position = Advance(text, start, read);
  type = token->type;
  return token.release();
}
