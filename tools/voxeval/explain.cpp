#include "explain.h"

#include "failure.h"
#include "formula.h"
#include "reading.h"
#include "text.h"

#include <cstdio>

namespace voxeval {

int Explain(IVOXExpressionParser &parser, const Options &options) {
  const boost::shared_ptr<IVOXExpression> formula =
      Compile(parser, options.formula, "");
  WarnUnused(parser, options.assignments, {options.formula});
  Reading reading;
  if (!ReadExpression(*formula, reading))
    throw Failure{kExitIo, "the formula was not compiled by this build's "
                           "library code, so its reading cannot be shown"};
  // An empty formula has no items; no blank is left at the line's end.
  std::printf("groups:%s%s\nsame as: %s\n", reading.groups.empty() ? "" : "  ",
              reading.groups.c_str(), reading.sameAs.c_str());
  for (const std::string &note : reading.notes)
    std::printf("note:    %s\n", note.c_str());
  std::printf("value:   %s\n",
              FormatNumber(formula->Evaluate(0).second).c_str());
  return kExitOk;
}

} // namespace voxeval
