// --explain: how the library reads a formula, and its value.
#ifndef VOXEVAL_EXPLAIN_H
#define VOXEVAL_EXPLAIN_H

#include "options.h"

#include <VOXEvalExpressions.h>

namespace voxeval {

// Prints the reading and the value; the warnings go to standard error as
// when evaluating. Throws Failure; returns the exit status.
int Explain(IVOXExpressionParser &parser, const Options &options);

} // namespace voxeval

#endif
