// What the evaluation tables share: timed batches, their medians, the
// agreement test and the printing of one table.
#ifndef VOXEVAL_BENCH_SIDE_BY_SIDE_H
#define VOXEVAL_BENCH_SIDE_BY_SIDE_H

#include "table_reporter.h"

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

// Evaluations per timed batch, a multiple of the point count.
const std::size_t kBatch = 2048;

typedef std::chrono::steady_clock Clock;

inline double NanosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// The middle sample, which a preempted batch does not move.
double Median(std::vector<double> &samples);

// Equal to 1e-12 relative.
bool Agree(double u, double v);

// One table of the counters native, voxeval and muparser of the benchmarks
// name(i), a row per formula i timed, with ratios and geometric means.
void PrintEvaluateSection(const TableReporter &times, std::ostream &out,
                          const char *title, std::string (*name)(std::size_t));

// Formulas whose three evaluators agree; set when they are registered.
extern std::vector<bool> g_timed;

#endif
