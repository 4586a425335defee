#include "table_reporter.h"

namespace {

double ToNanoseconds(double value, benchmark::TimeUnit unit) {
  switch (unit) {
  case benchmark::kSecond:
    return value * 1e9;
  case benchmark::kMillisecond:
    return value * 1e6;
  case benchmark::kMicrosecond:
    return value * 1e3;
  default:
    return value;
  }
}

} // namespace

void TableReporter::ReportRuns(const std::vector<Run> &runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run &run : runs) {
    if (run.error_occurred || run.report_big_o || run.report_rms)
      continue;
    const double ns = ToNanoseconds(run.GetAdjustedCPUTime(), run.time_unit);
    // Options such as the minimum time are not part of the key.
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty())
      name += "/" + run.run_name.args;
    const bool single = run.run_type == Run::RT_Iteration;
    if (!single && run.aggregate_name != "median")
      continue;
    (single ? m_single : m_median)[name] = ns;
    for (const auto &counter : run.counters)
      (single ? m_singleCounters : m_medianCounters)[name][counter.first] =
          counter.second.value;
  }
}

double TableReporter::Nanoseconds(const std::string &name) const {
  auto median = m_median.find(name);
  if (median != m_median.end())
    return median->second;
  auto single = m_single.find(name);
  return single != m_single.end() ? single->second : -1.0;
}

double TableReporter::Counter(const std::string &name,
                              const std::string &counter) const {
  for (const auto *counters : {&m_medianCounters, &m_singleCounters}) {
    auto run = counters->find(name);
    if (run == counters->end())
      continue;
    auto value = run->second.find(counter);
    if (value != run->second.end())
      return value->second;
  }
  return -1.0;
}
