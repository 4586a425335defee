// Compiling a formula typed on the command line, with clear words when the
// library refuses it or when the syntax check disagrees with the compiler.
#ifndef VOXEVAL_FORMULA_H
#define VOXEVAL_FORMULA_H

#include <VOXEvalExpressions.h>

#include "options.h"

#include <string>
#include <vector>

namespace voxeval {

// Compiles the UTF-8 text. Throws Failure (does not compile, invalid UTF-8);
// warns on standard error when the syntax check rejects what compiles.
// `column` names the output column, empty for a lone formula.
boost::shared_ptr<IVOXExpression> Compile(IVOXExpressionParser &parser,
                                          const std::string &text,
                                          const std::string &column);

// The verdicts of --check, written to standard output; returns the exit
// status.
int ReportCheck(IVOXExpressionParser &parser, const std::string &text);

// Warns on standard error about each NAME=VALUE that none of the formulas
// reads: most often a name typed in the wrong case, which would silently
// leave the intended variable at its old value.
void WarnUnused(IVOXExpressionParser &parser,
                const std::vector<Assignment> &assignments,
                const std::vector<std::string> &formulas);

} // namespace voxeval

#endif
