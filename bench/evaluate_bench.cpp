// Evaluation time per formula: the library through its public interface,
// the formula compiled as C++ and called through a pointer, and muParser.
#include "bench.h"
#include "formulas.h"
#include "peers.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The formulas whose agreement check passed, by index.
std::vector<bool> g_timed;

std::string Name(std::size_t index) { return "eval/" + std::to_string(index); }
std::string TurnsName(std::size_t index) {
  return "turns/" + std::to_string(index);
}

// Evaluations per timed batch, a multiple of the point count.
const std::size_t kBatch = 2048;

typedef std::chrono::steady_clock Clock;

double NanosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Each loop cycles through Turns points from the given one: with one turn
// a batch evaluates a single point, with more the values change on every
// evaluation.
template <std::size_t Turns>
double TimeNative(NativeFormula formula, const Point *points) {
  // Hides the target so that the call cannot be inlined.
  benchmark::DoNotOptimize(formula);
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    double value = formula(points[i % Turns]);
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

template <std::size_t Turns>
double TimeLibrary(const IVOXExpression *const *expressions,
                   const std::uintptr_t *contexts) {
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    const std::size_t k = i % Turns;
    double value = expressions[k]->Evaluate(contexts[k]).second;
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

template <std::size_t Turns>
double TimeMuParser(const mu::Parser *const *parsers) {
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    double value = parsers[i % Turns]->Eval();
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

double Median(std::vector<double> &samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? -1.0 : samples[samples.size() / 2];
}

// The three evaluators take turns, a batch each, the order rotating every
// round, so that whatever else the machine does falls on all of them alike.
// Each reports the median of its batches, which a preempted batch does not
// move: ns per evaluation in the counters native, voxeval and muparser.
template <std::size_t Turns>
void BenchSideBySide(benchmark::State &state, const Formula *formula) {
  const Point *points = BenchPoints();
  LibraryInstances library;
  MuParserInstances mu;
  std::string error;
  if (!library.Build(formula->text, points) ||
      !mu.Build(formula->text, points, error)) {
    state.SkipWithError("the text does not compile");
    return;
  }
  std::uintptr_t contexts[kPointCount];
  for (std::size_t k = 0; k < kPointCount; ++k)
    contexts[k] = reinterpret_cast<std::uintptr_t>(&points[k]);
  std::vector<const mu::Parser *> parsers;
  for (const auto &parser : mu.parsers)
    parsers.push_back(parser.get());

  std::vector<double> samples[3];
  std::size_t round = 0;
  for (auto _ : state) {
    for (std::size_t turn = 0; turn < 3; ++turn) {
      const std::size_t evaluator = (round + turn) % 3;
      // The points of this round: all of them over the rounds.
      const std::size_t first = (round * Turns) % kPointCount;
      double ns = 0.0;
      if (evaluator == 0)
        ns = TimeNative<Turns>(formula->native, points + first);
      else if (evaluator == 1)
        ns = TimeLibrary<Turns>(library.raw.data() + first, contexts + first);
      else
        ns = TimeMuParser<Turns>(parsers.data() + first);
      samples[evaluator].push_back(ns / kBatch);
    }
    ++round;
  }
  state.counters["native"] = Median(samples[0]);
  state.counters["voxeval"] = Median(samples[1]);
  state.counters["muparser"] = Median(samples[2]);
}

bool Agree(double u, double v) {
  if (u == v)
    return true;
  return std::fabs(u - v) <= 1e-12 * std::fmax(std::fabs(u), std::fabs(v));
}

// Empty when the three evaluators agree at every point, else what differs.
std::string Disagreement(const Formula &formula) {
  const Point *points = BenchPoints();
  LibraryInstances library;
  if (!library.Build(formula.text, points))
    return "the library does not compile it";
  MuParserInstances mu;
  std::string error;
  if (!mu.Build(formula.text, points, error))
    return "muParser does not parse it: " + error;
  for (std::size_t k = 0; k < kPointCount; ++k) {
    const double ours =
        library.raw[k]
            ->Evaluate(reinterpret_cast<std::uintptr_t>(&points[k]))
            .second;
    const double native = formula.native(points[k]);
    const double peer = mu.parsers[k]->Eval();
    if (!Agree(ours, native) || !Agree(ours, peer)) {
      char line[200];
      std::snprintf(line, sizeof line,
                    "at point %zu: library %.17g, native %.17g, muParser "
                    "%.17g",
                    k, ours, native, peer);
      return line;
    }
  }
  return std::string();
}

double Ratio(double a, double b) { return a > 0 && b > 0 ? a / b : -1.0; }

void PrintRatio(std::ostream &out, double ratio) {
  char cell[16];
  if (ratio > 0)
    std::snprintf(cell, sizeof cell, "%9.2f", ratio);
  else
    std::snprintf(cell, sizeof cell, "%9s", "-");
  out << cell;
}

struct GeometricMean {
  double logSum = 0.0;
  int count = 0;
  void Add(double ratio) {
    if (ratio > 0) {
      logSum += std::log(ratio);
      ++count;
    }
  }
  double Value() const { return count > 0 ? std::exp(logSum / count) : -1.0; }
};

} // namespace

int RegisterEvaluateBenchmarks(std::ostream &err) {
  int disagreements = 0;
  const Formula *formulas = BenchFormulas();
  g_timed.assign(BenchFormulaCount(), false);
  for (std::size_t i = 0; i < BenchFormulaCount(); ++i) {
    const Formula &formula = formulas[i];
    const std::string problem = Disagreement(formula);
    if (!problem.empty()) {
      err << "not timed, evaluators disagree on \"" << formula.text
          << "\": " << problem << "\n";
      ++disagreements;
      continue;
    }
    g_timed[i] = true;
    benchmark::RegisterBenchmark(Name(i).c_str(), BenchSideBySide<1>, &formula)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(TurnsName(i).c_str(), BenchSideBySide<kTurns>,
                                 &formula)
        ->Unit(benchmark::kMicrosecond);
  }
  return disagreements;
}

namespace {

void PrintEvaluateSection(const TableReporter &times, std::ostream &out,
                          const char *title, std::string (*name)(std::size_t)) {
  // The first eleven formulas are the reference set of the comparison.
  const std::size_t kReferenceSet = 11;
  GeometricMean native[2], peer[2];
  out << "\n" << title << "\n";
  char line[256];
  std::snprintf(line, sizeof line, "%3s  %-44s %8s %8s %8s %9s %9s\n", "#",
                "formula", "native", "voxeval", "muParser", "/native",
                "/muParser");
  out << line;
  const Formula *formulas = BenchFormulas();
  for (std::size_t i = 0; i < BenchFormulaCount(); ++i) {
    std::string text = formulas[i].text;
    if (text.size() > 44)
      text = text.substr(0, 41) + "...";
    if (!g_timed[i]) {
      std::snprintf(line, sizeof line, "%3zu  %-44s  disagree, not timed\n",
                    i + 1, text.c_str());
      out << line;
      continue;
    }
    const double n = times.Counter(name(i), "native");
    const double v = times.Counter(name(i), "voxeval");
    const double m = times.Counter(name(i), "muparser");
    if (n < 0 && v < 0 && m < 0)
      continue;
    std::snprintf(line, sizeof line, "%3zu  %-44s %8.2f %8.2f %8.2f", i + 1,
                  text.c_str(), n, v, m);
    out << line;
    PrintRatio(out, Ratio(v, n));
    PrintRatio(out, Ratio(v, m));
    out << "\n";
    for (int set = 0; set < 2; ++set) {
      if (set == 0 && i >= kReferenceSet)
        continue;
      native[set].Add(Ratio(v, n));
      peer[set].Add(Ratio(v, m));
    }
  }
  const char *labels[2] = {"geometric mean, formulas 1-11",
                           "geometric mean, all formulas"};
  for (int set = 0; set < 2; ++set) {
    std::snprintf(line, sizeof line, "     %-44s %26s", labels[set], "");
    out << line;
    PrintRatio(out, native[set].Value());
    PrintRatio(out, peer[set].Value());
    out << "\n";
  }
}

} // namespace

void PrintEvaluateTable(const TableReporter &times, std::ostream &out) {
  PrintEvaluateSection(times, out,
                       "Evaluate, ns per evaluation (median of interleaved "
                       "batches), one point per batch",
                       Name);
  PrintEvaluateSection(times, out,
                       "Evaluate, ns per evaluation, four expressions "
                       "(points) in turn",
                       TurnsName);
}
