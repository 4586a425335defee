// The parser: turns text into a tree of groups. Priority is expressed only
// by nesting; the evaluator reads every group strictly left to right.
#include "builder/expression_builder.h"
#include "syntax/lexer.h"

#include <limits>
#include <memory>

using calc_nmspace::TOKEN;

namespace {

typedef std::unique_ptr<TOKEN> TokenPtr;

TokenPtr NewGroup() {
  TokenPtr group(new TOKEN);
  group->type = TT_GROUP;
  return group;
}

// A group owns its items; the item is released only once it is stored.
void Append(TOKEN &group, TokenPtr item) {
  group.children.push_back(item.get());
  static_cast<void>(item.release());
}

bool AtTextEnd(const std::u16string &text, std::int32_t position) {
  return position >= 0 && static_cast<std::size_t>(position) == text.size();
}

} // namespace

TOKEN *CExpressionBuilder::ParseGroup(const std::u16string &text,
                                      std::int32_t &position) const {
  return ParseGroupAt(text, position, 1);
}

std::int32_t
CExpressionBuilder::OperandSpanLength(const std::u16string &text,
                                      std::int32_t position,
                                      std::int32_t priority) const {
  bool tooDeep = false;
  return OperandSpanAt(text, position, priority,
                       std::numeric_limits<int>::max(), tooDeep);
}

// Items are read up to a ")" or the end of the text. A group nested deeper
// than kMaxDepth fails the parse, so no text can exhaust the stack.
TOKEN *CExpressionBuilder::ParseGroupAt(const std::u16string &text,
                                        std::int32_t &position,
                                        int depth) const {
  if (depth > kMaxDepth || !FitsPositions(text))
    return nullptr;
  TokenPtr group = NewGroup();
  while (!AtTextEnd(text, position)) {
    TOKEN_TYPE type = TT_NONE;
    TokenPtr token(NextToken(text, position, type));
    if (!token)
      return nullptr;

    // ")" ends the group; it is not kept.
    if (type == TT_RPAREN)
      break;

    if (type == TT_LPAREN) {
      // "(" is replaced by the group read up to its matching ")".
      token.reset(ParseGroupAt(text, position, depth + 1));
      if (!token)
        return nullptr;
      Append(*group, std::move(token));
    } else if (IsOperator(type)) {
      // A right operand holding a tighter operator becomes one group, parsed
      // from a copy of its span so that a "(" left open closes at its end.
      const std::int32_t priority = token->priority;
      Append(*group, std::move(token));
      // A "(" nested deeper than kMaxDepth - depth inside the span would open
      // a group beyond the bound whichever group reads it.
      bool tooDeep = false;
      const std::int32_t span =
          OperandSpanAt(text, position, priority, kMaxDepth - depth, tooDeep);
      if (tooDeep)
        return nullptr;
      if (span > 0) {
        const std::u16string operand = text.substr(position, span);
        position += span;
        std::int32_t operandPosition = 0;
        token.reset(ParseGroupAt(operand, operandPosition, depth + 1));
        if (!token)
          return nullptr;
        token->operand = true;
        Append(*group, std::move(token));
      }
    } else {
      // Numbers, names, functions and callbacks are kept as read.
      Append(*group, std::move(token));
    }

    if (position == npos)
      break;
  }
  return group.release();
}

// The right operand runs up to the first operator outside parentheses that
// binds no tighter, an unmatched ")", unreadable text or the end. Its length
// counts only when it holds a tighter operator. Parentheses nested deeper
// than depthBudget make any parse of the text fail, so the scan stops there
// and reports tooDeep instead of reading on.
//
// Tokens are found exactly as NextToken finds them, but not built: an
// operand is measured again for every group around it, so this runs often.
std::int32_t CExpressionBuilder::OperandSpanAt(const std::u16string &text,
                                               std::int32_t position,
                                               std::int32_t priority,
                                               int depthBudget,
                                               bool &tooDeep) const {
  tooDeep = false;
  if (!FitsPositions(text))
    return 0;
  std::int32_t depth = 0;
  std::int32_t total = 0;
  bool tighter = false;
  for (;;) {
    const std::int32_t start = SkipBlanks(text, position);
    if (start == npos)
      break;
    std::int32_t length = NumberLength(text, start);
    const TOKEN *entry = nullptr;
    if (length == 0) {
      entry = FindKey(text, start, IdentifierLength(text, start), length);
      if (entry == nullptr)
        break;
    }
    const TOKEN_TYPE type = entry != nullptr ? entry->type : TT_DOUBLE;
    if (type == TT_LPAREN && ++depth > depthBudget) {
      tooDeep = true;
      return 0;
    }
    if (type == TT_RPAREN) {
      if (depth == 0)
        break;
      --depth;
    }
    if (depth == 0 && IsOperator(type)) {
      if (entry->priority >= priority)
        break;
      tighter = true;
    }
    total += start - position + length;
    position = start + length;
  }
  return tighter ? total : 0;
}
