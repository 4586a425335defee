// Console output as usual, and each benchmark's time kept for the summary
// tables: the median when repetitions were run, else the single run.
#ifndef VOXEVAL_BENCH_TABLE_REPORTER_H
#define VOXEVAL_BENCH_TABLE_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>

class TableReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run> &runs) override;

  // CPU time per iteration in nanoseconds; negative when the benchmark did
  // not run.
  double Nanoseconds(const std::string &name) const;

private:
  std::map<std::string, double> m_single;
  std::map<std::string, double> m_median;
};

#endif
