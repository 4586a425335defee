// The syntax check: judges each token by the one before it and keeps a
// parenthesis count, building nothing. It is separate from compiling and
// does not accept exactly the same texts.
#include "builder/expression_builder.h"
#include "syntax/lexer.h"

#include <memory>

namespace {

bool IsValue(TOKEN_TYPE type) {
  return type >= TT_INT && type <= TT_DOUBLE_REF;
}

// Operators other than signs ("*", "/" and "^") need something on their
// left.
bool NeedsLeftOperand(TOKEN_TYPE type) {
  const STANDARD_NAME *row = OperatorRow(type);
  return row != nullptr && !row->sign;
}

// The placeholder may open the text or follow an operator or "(".
bool PlaceholderFits(TOKEN_TYPE previous) {
  return previous == TT_NONE || IsOperator(previous) || previous == TT_LPAREN;
}

// A token against the one before it (TT_NONE at the start); the first rule
// that applies decides.
bool PairFits(TOKEN_TYPE previous, TOKEN_TYPE current) {
  // A function takes only a parenthesised argument.
  if (previous == TT_FUNCTION)
    return current == TT_LPAREN;
  // "(" may open the text or follow an operator or another "(".
  if (current == TT_LPAREN)
    return previous == TT_NONE || IsOperator(previous) || previous == TT_LPAREN;
  // At the start only "+" and "-" of the operators are allowed.
  if (previous == TT_NONE)
    return !NeedsLeftOperand(current);
  // ")" may not follow an operator or "(".
  if (current == TT_RPAREN)
    return !IsOperator(previous) && previous != TT_LPAREN;
  // Two operators may not follow each other.
  return !(IsOperator(previous) && IsOperator(current));
}

// The text may end after a value, ")" or the placeholder, all "(" closed.
bool EndFits(TOKEN_TYPE previous, std::int64_t depth) {
  return depth == 0 && (IsValue(previous) || previous == TT_RPAREN ||
                        previous == TT_PLACEHOLDER);
}

} // namespace

// Unreadable text counts as the end: the answer rests on what came before.
bool CExpressionBuilder::CheckSyntax(const std::u16string &text) const {
  if (!FitsPositions(text))
    return false;
  std::u16string trimmed(text);
  TrimBlanks(trimmed);
  if (trimmed.empty())
    return true;

  TOKEN_TYPE previous = TT_NONE;
  std::int64_t depth = 0;
  std::int32_t position = 0;
  for (;;) {
    TOKEN_TYPE current = TT_NONE;
    // Only the kind is kept; the token goes at the end of the pass.
    const std::unique_ptr<calc_nmspace::TOKEN> token(
        NextToken(trimmed, position, current));
    if (current == TT_NONE)
      return EndFits(previous, depth);
    if (current == TT_PLACEHOLDER) {
      if (!PlaceholderFits(previous))
        return false;
    } else {
      depth += current == TT_LPAREN ? 1 : current == TT_RPAREN ? -1 : 0;
      if (!PairFits(previous, current))
        return false;
    }
    previous = current;
  }
}
