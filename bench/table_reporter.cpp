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
    if (run.run_type == Run::RT_Iteration)
      m_single[name] = ns;
    else if (run.aggregate_name == "median")
      m_median[name] = ns;
  }
}

double TableReporter::Nanoseconds(const std::string &name) const {
  auto median = m_median.find(name);
  if (median != m_median.end())
    return median->second;
  auto single = m_single.find(name);
  return single != m_single.end() ? single->second : -1.0;
}
