// Batch runs: every output formula compiled once, then evaluated per row of a
// CSV input or per point of a grid, as a host does.
#ifndef VOXEVAL_BATCH_H
#define VOXEVAL_BATCH_H

#include "options.h"

#include <VOXEvalExpressions.h>

namespace voxeval {

// Both write CSV to standard output (or, with --plot, an SVG file) and
// return the exit status; failures throw Failure.
int RunCsv(IVOXExpressionParser &parser, const Options &options);
int RunGrid(IVOXExpressionParser &parser, const Options &options);

} // namespace voxeval

#endif
