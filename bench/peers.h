// The evaluators the benchmark compares, each set up once per point so that
// consecutive evaluations read different values without any set-up cost in
// the timed loop.
#ifndef VOXEVAL_BENCH_PEERS_H
#define VOXEVAL_BENCH_PEERS_H

#include "library_instances.h"

#include <muParser.h>

#include <memory>
#include <string>
#include <vector>

// The same names for muParser, bound to the given point.
void DefineBenchNames(mu::Parser &parser, Point &point);

// One muParser per point, bound to its own copy of the point.
struct MuParserInstances {
  std::vector<Point> points;
  std::vector<std::unique_ptr<mu::Parser>> parsers;

  // False, with muParser's message, when the text does not parse.
  bool Build(const char *text, const Point *source, std::string &error);
};

#endif
