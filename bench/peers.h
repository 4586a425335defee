// The evaluators the benchmark compares, each set up once per point so that
// consecutive evaluations read different values without any set-up cost in
// the timed loop.
#ifndef VOXEVAL_BENCH_PEERS_H
#define VOXEVAL_BENCH_PEERS_H

#include "formulas.h"

#include <VOXEvalExpressions.h>
#include <muParser.h>

#include <memory>
#include <string>
#include <vector>

std::u16string ToUtf16(const std::string &text);

// A parser that knows pi to full precision, the host variables a, b, c, w
// and the callback cb.
boost::shared_ptr<IVOXExpressionParser> MakeBenchParser();

// The same names for muParser, bound to the given point.
void DefineBenchNames(mu::Parser &parser, Point &point);

// One compiled expression per point, each in a parser holding that point.
struct LibraryInstances {
  std::vector<boost::shared_ptr<IVOXExpressionParser>> parsers;
  std::vector<boost::shared_ptr<IVOXExpression>> expressions;
  // Raw pointers for the timed loop.
  std::vector<const IVOXExpression *> raw;

  // False when the text does not compile.
  bool Build(const char *text, const Point *points);
};

// One muParser per point, bound to its own copy of the point.
struct MuParserInstances {
  std::vector<Point> points;
  std::vector<std::unique_ptr<mu::Parser>> parsers;

  // False, with muParser's message, when the text does not parse.
  bool Build(const char *text, const Point *source, std::string &error);
};

#endif
