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

  // A user counter of the benchmark, likewise; negative when absent.
  double Counter(const std::string &name, const std::string &counter) const;

private:
  std::map<std::string, double> m_single;
  std::map<std::string, double> m_median;
  // Keyed by benchmark name, then counter name.
  std::map<std::string, std::map<std::string, double>> m_singleCounters;
  std::map<std::string, std::map<std::string, double>> m_medianCounters;
};

#endif
