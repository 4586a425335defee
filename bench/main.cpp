// The benchmark program. Besides Google Benchmark's own flags it takes
// --smoke: every benchmark once, as a quick check that all of it still runs;
// the exit status is then non-zero when the evaluators disagree.
#include "bench.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  std::vector<char *> args(argv, argv + argc);
  bool smoke = false;
  for (auto it = args.begin() + 1; it != args.end();) {
    if (std::strcmp(*it, "--smoke") == 0) {
      smoke = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  static char minTime[] = "--benchmark_min_time=0";
  static char oneRepetition[] = "--benchmark_repetitions=1";
  if (smoke) {
    args.push_back(minTime);
    args.push_back(oneRepetition);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    return 2;

  const int disagreements = RegisterEvaluateBenchmarks(std::cerr);
  RegisterHostCycleBenchmarks();
  RegisterCompileBenchmarks();
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintEvaluateTable(reporter, std::cout);
  PrintHostCycleTables(reporter, std::cout);
  PrintCompileTables(reporter, std::cout);
  benchmark::Shutdown();
  return smoke && disagreements + HostCycleDisagreements() > 0 ? 1 : 0;
}
