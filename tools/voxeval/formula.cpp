#include "formula.h"

#include "diagnosis.h"
#include "failure.h"
#include "names.h"
#include "text.h"

#include <cstdio>
#include <vector>

namespace voxeval {

namespace {

std::string CauseLines(const std::vector<std::string> &causes) {
  std::string lines;
  for (const std::string &cause : causes)
    lines += "\n  likely cause: " + cause;
  return lines;
}

std::string Described(const std::string &text, const std::string &column) {
  std::string what = "the formula " + Quoted(text);
  if (!column.empty() && column != text)
    what += " of column " + Quoted(column);
  return what;
}

void PrintLines(const char *first, const std::vector<std::string> &causes) {
  std::fputs(first, stdout);
  std::fputs(CauseLines(causes).c_str(), stdout);
  std::fputc('\n', stdout);
}

// Flushed, so that a warning comes before the results also where standard
// error is buffered (a Windows console).
void Warn(const std::string &text) {
  std::fprintf(stderr, "voxeval: warning: %s\n", text.c_str());
  std::fflush(stderr);
}

} // namespace

boost::shared_ptr<IVOXExpression> Compile(IVOXExpressionParser &parser,
                                          const std::string &text,
                                          const std::string &column) {
  const std::u16string wide = ToLibraryText(text, Described(text, column));
  boost::shared_ptr<IVOXExpression> formula =
      parser.CreateExpression(wide.c_str());
  const bool accepted = parser.CheckSyntax(wide.c_str());
  if (!formula)
    throw Failure{kExitNoCompile,
                  Described(text, column) +
                      " does not compile (the library gives no position)\n"
                      "  syntax check: " +
                      (accepted ? "accepts it" : "rejects it too") +
                      CauseLines(WhyNoCompile(parser, wide))};
  if (!accepted)
    Warn("the syntax check rejects " + Described(text, column) +
         ", which compiles; it may not mean what it seems" +
         CauseLines(WhyCheckRejects(parser, wide)));
  return formula;
}

int ReportCheck(IVOXExpressionParser &parser, const std::string &text) {
  const std::u16string wide = ToLibraryText(text, "the formula");
  const bool accepted = parser.CheckSyntax(wide.c_str());
  const bool compiles = !!parser.CreateExpression(wide.c_str());
  std::printf("syntax check: %s\ncompiles:     %s\n",
              accepted ? "accepted" : "rejected", compiles ? "yes" : "no");
  if (accepted && compiles)
    return kExitOk;
  if (!accepted && compiles) {
    PrintLines("They disagree: the compiler does not judge the order of "
               "operators, operands and parentheses, the syntax check does. "
               "The formula gives a value, but probably not the one it seems "
               "to mean.",
               WhyCheckRejects(parser, wide));
    return kExitCheckRejects;
  }
  if (accepted)
    PrintLines("They disagree: the syntax check trims blanks from both ends "
               "and stops at text it cannot read, judging only what comes "
               "before; the compiler reads the text exactly as given.",
               WhyNoCompile(parser, wide));
  else
    PrintLines("Both refuse it; the library gives no position.",
               WhyNoCompile(parser, wide));
  return kExitNoCompile;
}

void WarnUnused(IVOXExpressionParser &parser,
                const std::vector<Assignment> &assignments,
                const std::vector<std::string> &formulas) {
  for (const Assignment &a : assignments) {
    const std::u16string name = ToLibraryText(a.name, "a name");
    bool used = false;
    for (const std::string &f : formulas)
      used = used || Mentions(parser, ToLibraryText(f, "a formula"), name);
    if (!used)
      Warn(Quoted(a.argument) + " has no effect: no formula reads " +
           Quoted(a.name) + " (names are case-sensitive)");
  }
}

} // namespace voxeval
