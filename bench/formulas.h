// The formulas the benchmark measures, each with its text and the same
// formula written in C++.
#ifndef VOXEVAL_BENCH_FORMULAS_H
#define VOXEVAL_BENCH_FORMULAS_H

#include <cstddef>
#include <cstdint>

// One evaluation point: the predefined x, y, z, t, the host variables a, b,
// c, w, and q, which the host callback "cb" returns.
struct Point {
  double x, y, z, t, a, b, c, w, q;
};

// The points: the agreement check covers all of them, the timed batches
// take them in turn. In the first two tables each point is a parser and an
// expression of its own, so that no SetValue falls in their timed loops;
// the host-cycle table sets the values by name at every point.
const std::size_t kPointCount = 16;

// The second table's batches take turns between this many different
// formulas, each at a point of its own, as a host alternating between its
// formulas does; the first table's batches evaluate one formula at one
// point. Every evaluator then calls a different code at each turn (native
// included: a different function), whose target a processor predicts far
// less well than the same code every time.
const std::size_t kTurns = 4;

// "pi" to full precision; every evaluator is given this value.
const double kPi = 3.14159265358979323846;

// The points: x, y, z and t advance by small steps, a and b swap.
const Point *BenchPoints();

// The host callback: the context word is the address of the current point.
double PointCallback(std::uintptr_t context);

typedef double (*NativeFormula)(const Point &);

struct Formula {
  const char *text;
  // The formula as a host would write it in C++; never inlined into the
  // benchmark loop, as a call into the library cannot be either.
  NativeFormula native;
};

const Formula *BenchFormulas();
std::size_t BenchFormulaCount();

#endif
