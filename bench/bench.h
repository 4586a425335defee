// Registration of the benchmark families and their summary tables.
#ifndef VOXEVAL_BENCH_BENCH_H
#define VOXEVAL_BENCH_BENCH_H

#include "table_reporter.h"

#include <ostream>

// Checks that the library, native C++ and muParser agree on every formula at
// every point, registers the agreeing ones and reports the others to err.
// Returns the number of formulas that disagree.
int RegisterEvaluateBenchmarks(std::ostream &err);
void PrintEvaluateTable(const TableReporter &times, std::ostream &out);

// The host cycle (SetValue of what a formula reads, then Evaluate) of the
// formulas registered above, and SetValue alone.
void RegisterHostCycleBenchmarks();
// Host cycles that found SetValue refusing a variable, or the evaluators
// disagreeing once values were set; known after the benchmarks ran.
int HostCycleDisagreements();
void PrintHostCycleTables(const TableReporter &times, std::ostream &out);

void RegisterCompileBenchmarks();
void PrintCompileTables(const TableReporter &times, std::ostream &out);

#endif
