#include "diagnosis.h"

#include "builder/standard_names.h"

#include "text.h"

#include <algorithm>
#include <cstdio>

namespace voxeval {

namespace {

// Nesting deeper than this does not compile.
constexpr int kMaxNesting = 256;

enum class Kind { kValue, kFunction, kOperator, kOpen, kClose, kUnknown };

struct Token {
  Kind kind;
  std::u16string text;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

bool IsNameStart(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
}

bool IsNameChar(char16_t c) {
  return IsNameStart(c) || (c >= u'0' && c <= u'9');
}

bool IsNumberChar(char16_t c) { return c == u'.' || (c >= u'0' && c <= u'9'); }

std::size_t RunOf(const std::u16string &s, std::size_t i,
                  bool (*inClass)(char16_t)) {
  std::size_t end = i;
  while (end < s.size() && inClass(s[end]))
    ++end;
  return end - i;
}

// A literal: digits and dots, then optionally e or E, a sign and more.
std::size_t NumberLength(const std::u16string &s, std::size_t i) {
  std::size_t n = RunOf(s, i, IsNumberChar);
  if (n == 0 || i + n >= s.size() || (s[i + n] != u'e' && s[i + n] != u'E'))
    return n;
  ++n;
  if (i + n < s.size() && (s[i + n] == u'+' || s[i + n] == u'-'))
    ++n;
  return n + RunOf(s, i + n, IsNumberChar);
}

// What a name denotes, asked of the parser: a function is a name the check
// accepts only with an argument in parentheses.
Kind NameKind(IVOXExpressionParser &parser, const std::u16string &name) {
  if (!parser.CreateExpression(name.c_str()))
    return Kind::kUnknown;
  if (parser.CheckSyntax(name.c_str()))
    return Kind::kValue;
  const std::u16string called = name + u"(1)";
  return parser.CheckSyntax(called.c_str()) ? Kind::kFunction : Kind::kValue;
}

// A character that is an operator or a bracket of the table of standard
// names on its own.
Kind SymbolKind(char16_t c) {
  for (const STANDARD_NAME &row : StandardNames()) {
    if (row.name[0] != c || row.name[1] != '\0')
      continue;
    if (row.kind == StandardKind::kOperator)
      return Kind::kOperator;
    if (row.kind == StandardKind::kBracket)
      return row.type == TT_LPAREN ? Kind::kOpen : Kind::kClose;
  }
  return Kind::kUnknown;
}

bool EndsChunk(char16_t c) {
  return IsBlank(c) || SymbolKind(c) != Kind::kUnknown;
}

// Names that are no identifiers ("{SI}", a host's "ρ") run up to a blank or
// an operator; other characters stand alone.
std::size_t OtherLength(const std::u16string &s, std::size_t i) {
  if (SymbolKind(s[i]) != Kind::kUnknown || (s[i] < 0x80 && s[i] != u'{'))
    return 1;
  std::size_t end = i + 1;
  while (end < s.size() && !EndsChunk(s[end]))
    ++end;
  return end - i;
}

Token ReadToken(IVOXExpressionParser &parser, const std::u16string &s,
                std::size_t &i) {
  std::size_t n = NumberLength(s, i);
  Kind kind = Kind::kValue;
  if (n == 0 && IsNameStart(s[i])) {
    n = RunOf(s, i, IsNameChar);
    kind = NameKind(parser, s.substr(i, n));
  } else if (n == 0) {
    n = OtherLength(s, i);
    kind = SymbolKind(s[i]);
    if (kind == Kind::kUnknown && (s[i] >= 0x80 || s[i] == u'{'))
      kind = NameKind(parser, s.substr(i, n));
  }
  Token token{kind, s.substr(i, n)};
  i += n;
  return token;
}

std::vector<Token> Tokens(IVOXExpressionParser &parser,
                          const std::u16string &s) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (true) {
    while (i < s.size() && IsBlank(s[i]))
      ++i;
    if (i >= s.size())
      return tokens;
    tokens.push_back(ReadToken(parser, s, i));
  }
}

std::string Show(const std::u16string &text) {
  return Quoted(Utf16ToUtf8(text));
}

// A known name that differs only in case, or in the spelling "Velosity"
// that the predefined name uses.
std::u16string KnownLookalike(IVOXExpressionParser &parser,
                              const std::u16string &name) {
  std::u16string lower = name, capital, spelled = name;
  for (char16_t &c : lower)
    c = (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c;
  capital = lower;
  capital[0] = (capital[0] >= u'a' && capital[0] <= u'z')
                   ? capital[0] - u'a' + u'A'
                   : capital[0];
  const std::size_t at = spelled.find(u"ocity");
  if (at != std::u16string::npos)
    spelled.replace(at, 5, u"osity");
  for (const std::u16string &c : {lower, capital, spelled})
    if (c != name && parser.CreateExpression(c.c_str()))
      return c;
  return {};
}

std::string UnknownName(IVOXExpressionParser &parser, const Token &t) {
  const std::u16string lookalike = KnownLookalike(parser, t.text);
  if (!lookalike.empty())
    return "unknown name " + Show(t.text) + "; did you mean " +
           Show(lookalike) + "?";
  return "unknown name " + Show(t.text) +
         " (names are case-sensitive; to make it a variable, give it a "
         "value: " +
         Utf16ToUtf8(t.text) + "=VALUE)";
}

std::string CodePoint(char16_t c) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
  return code;
}

// Spaces outside ASCII, which editors and web pages slip into text.
bool LooksBlank(char16_t c) {
  return c == 0x00A0 || (c >= 0x2000 && c <= 0x200B) || c == 0x202F ||
         c == 0x205F || c == 0x3000 || c == 0xFEFF;
}

std::string UnknownText(IVOXExpressionParser &parser, const Token &t) {
  if (IsNameStart(t.text[0]) || t.text[0] == u'{')
    return UnknownName(parser, t);
  if (t.text == u"\r")
    return "a carriage return (\\r), which is not a blank; save the text "
           "with plain line feeds";
  if (LooksBlank(t.text[0]))
    return "the character " + Show(t.text.substr(0, 1)) + " (" +
           CodePoint(t.text[0]) + ") looks like a blank but is not one";
  if (t.text[0] >= 0x80)
    return "unknown name " + Show(t.text) + " (it starts with " +
           CodePoint(t.text[0]) +
           "; to make it a variable, give it a value: " + Utf16ToUtf8(t.text) +
           "=VALUE)";
  return "the character " + Show(t.text) + " is not part of the language";
}

int DeepestNesting(const std::vector<Token> &tokens) {
  int depth = 0, deepest = 0;
  for (const Token &t : tokens) {
    depth += t.kind == Kind::kOpen ? 1 : t.kind == Kind::kClose ? -1 : 0;
    deepest = std::max(deepest, depth);
  }
  return deepest;
}

void AddOnce(std::vector<std::string> &causes, const std::string &cause) {
  if (std::find(causes.begin(), causes.end(), cause) == causes.end())
    causes.push_back(cause);
}

// An operator that is no sign ("*", "/", "^"): the text may not start with
// it.
bool IsStartOnlyOperator(const Token &t) {
  if (t.kind != Kind::kOperator || t.text.size() != 1)
    return false;
  for (const STANDARD_NAME &row : StandardNames()) {
    if (row.kind == StandardKind::kOperator && row.name[0] == t.text[0] &&
        row.name[1] == '\0')
      return !row.sign;
  }
  return false;
}

// One rule of the check, in words; `prev` is null at the start.
void JudgePair(const Token *prev, const Token &cur,
               std::vector<std::string> &causes) {
  if (prev && prev->kind == Kind::kFunction && cur.kind != Kind::kOpen)
    AddOnce(causes, "the function " + Show(prev->text) +
                        " is not followed by '(': the check wants the "
                        "argument in parentheses, the compiler applies the "
                        "function to the one operand after it (" +
                        Utf16ToUtf8(prev->text) + " x^2 is (" +
                        Utf16ToUtf8(prev->text) + " x)^2)");
  else if (cur.kind == Kind::kOpen && prev &&
           (prev->kind == Kind::kValue || prev->kind == Kind::kClose))
    AddOnce(causes, "'(' right after a value: there is no implied "
                    "multiplication, and a value that follows a value is "
                    "dropped (2(3) gives 2); write 2*(3)");
  else if (!prev && IsStartOnlyOperator(cur))
    AddOnce(causes, "it starts with " + Show(cur.text) +
                        ", which needs a left operand; the missing operand "
                        "counts as 0");
  else if (prev && prev->kind == Kind::kOperator && cur.kind == Kind::kOperator)
    AddOnce(causes, "two operators in a row (" + Show(prev->text + cur.text) +
                        "): a sign after an operator does not negate the "
                        "number after it (2*-3 gives -3, but 1+2*-3 gives 0; "
                        "voxeval --explain shows why); write 2*(-3)");
  else if (cur.kind == Kind::kClose && prev &&
           (prev->kind == Kind::kOperator || prev->kind == Kind::kOpen))
    AddOnce(causes,
            "')' right after " + Show(prev->text) + ": an operand is missing");
}

void JudgeEnd(const Token &last, int depth, std::vector<std::string> &causes) {
  if (last.kind == Kind::kOperator)
    AddOnce(causes, "it ends with the operator " + Show(last.text) +
                        ", which the compiler ignores (1+ gives 1)");
  if (last.kind == Kind::kFunction)
    AddOnce(causes, "it ends with the function " + Show(last.text) +
                        " and no argument, which gives 0");
  if (depth > 0)
    AddOnce(causes, "a '(' is never closed; the compiler closes it at the "
                    "end of the text");
}

} // namespace

std::vector<std::string> WhyNoCompile(IVOXExpressionParser &parser,
                                      const std::u16string &text) {
  std::vector<std::string> causes;
  const std::vector<Token> tokens = Tokens(parser, text);
  if (tokens.empty())
    return {"it holds only blanks; an empty formula compiles (and gives 0), "
            "blanks alone do not"};
  for (const Token &t : tokens)
    if (t.kind == Kind::kUnknown)
      AddOnce(causes, UnknownText(parser, t));
  if (IsBlank(text.back()))
    AddOnce(causes, "it ends with a blank (space, tab or line feed) after the "
                    "last token, which the compiler refuses; the syntax check "
                    "trims it");
  if (tokens.back().kind == Kind::kOpen)
    AddOnce(causes, "it ends with '(', which needs something after it");
  const int nesting = DeepestNesting(tokens);
  if (nesting >= kMaxNesting)
    AddOnce(causes, "it nests parentheses about " + std::to_string(nesting) +
                        " deep; the library refuses nesting deeper than 256 "
                        "levels");
  // An operand that an operator takes by priority is a level too, so
  // parentheses a third as deep can reach the bound.
  else if (causes.empty() && nesting >= kMaxNesting / 3)
    AddOnce(causes, "it nests parentheses " + std::to_string(nesting) +
                        " deep, and each operand an operator takes by "
                        "priority (the y*(...) in x+y*(...), in [ ] under "
                        "--explain) is a level too; the library refuses "
                        "nesting deeper than 256 levels");
  return causes;
}

std::vector<std::string> WhyCheckRejects(IVOXExpressionParser &parser,
                                         const std::u16string &text) {
  std::vector<std::string> causes;
  const std::vector<Token> tokens = Tokens(parser, text);
  const Token *prev = nullptr;
  int depth = 0;
  for (const Token &t : tokens) {
    JudgePair(prev, t, causes);
    depth += t.kind == Kind::kOpen ? 1 : t.kind == Kind::kClose ? -1 : 0;
    if (depth < 0) {
      AddOnce(causes, "an unmatched ')': the compiler stops reading there and "
                      "ignores the rest of the text ('1+2)*5' gives 3)");
      break;
    }
    prev = &t;
  }
  if (prev && depth >= 0)
    JudgeEnd(*prev, depth, causes);
  return causes;
}

bool Mentions(IVOXExpressionParser &parser, const std::u16string &text,
              const std::u16string &name) {
  for (const Token &t : Tokens(parser, text))
    if (t.text == name)
      return true;
  return false;
}

} // namespace voxeval
