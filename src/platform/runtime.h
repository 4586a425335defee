// Stand-ins for the run-time helpers the library was designed around.
#ifndef VOXEVAL_PLATFORM_RUNTIME_H
#define VOXEVAL_PLATFORM_RUNTIME_H

#include <cmath>

// Copies a zero-terminated string into a malloc block that free releases.
// Throws std::bad_alloc when memory cannot be had.
char *DuplicateString(const char *text);

// A double that is neither infinite nor NaN.
inline bool IsFinite(double v) { return std::isfinite(v); }

#endif
