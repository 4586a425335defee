// This library's side of the benchmark: a parser with the bench's names,
// and one compiled expression per point. No peer is needed for it, so every
// target builds it (the instruction counts use it too).
#ifndef VOXEVAL_BENCH_LIBRARY_INSTANCES_H
#define VOXEVAL_BENCH_LIBRARY_INSTANCES_H

#include "formulas.h"

#include <VOXEvalExpressions.h>

#include <string>
#include <vector>

std::u16string ToUtf16(const std::string &text);

// A parser that knows pi to full precision, the host variables a, b, c, w
// and the callback cb.
boost::shared_ptr<IVOXExpressionParser> MakeBenchParser();

// One compiled expression per point (the first count points), each in a
// parser holding that point.
struct LibraryInstances {
  std::vector<boost::shared_ptr<IVOXExpressionParser>> parsers;
  std::vector<boost::shared_ptr<IVOXExpression>> expressions;
  // Raw pointers for the timed loop.
  std::vector<const IVOXExpression *> raw;

  // False when the text does not compile.
  bool Build(const char *text, const Point *points,
             std::size_t count = kPointCount);
};

#endif
