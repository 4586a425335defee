// Evaluation time per formula: the library through its public interface,
// the formula compiled as C++ and called through a pointer, and muParser.
#include "bench.h"
#include "formulas.h"
#include "peers.h"
#include "side_by_side.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

std::vector<bool> g_timed;

namespace {

std::string Name(std::size_t index) { return "eval/" + std::to_string(index); }
std::string TurnsName(std::size_t index) {
  return "turns/" + std::to_string(index);
}

// One evaluation of a batch: each evaluator's expression and its point.
struct Turn {
  NativeFormula native;
  const Point *point;
  const IVOXExpression *expression;
  std::uintptr_t context;
  const mu::Parser *parser;
};

// Each loop cycles through Turns evaluations: with one turn a batch
// evaluates a single formula at a single point, with more it takes turns
// between formulas, each at a point of its own.
template <std::size_t Turns> double TimeNative(const Turn *turns) {
  NativeFormula formulas[Turns];
  const Point *points[Turns];
  for (std::size_t k = 0; k < Turns; ++k) {
    formulas[k] = turns[k].native;
    points[k] = turns[k].point;
  }
  // Hides the targets so that the calls cannot be inlined.
  benchmark::DoNotOptimize(formulas);
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    double value = formulas[i % Turns](*points[i % Turns]);
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

template <std::size_t Turns> double TimeLibrary(const Turn *turns) {
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    const Turn &turn = turns[i % Turns];
    double value = turn.expression->Evaluate(turn.context).second;
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

template <std::size_t Turns> double TimeMuParser(const Turn *turns) {
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    double value = turns[i % Turns].parser->Eval();
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

// The three evaluators take turns, a batch each, the order rotating every
// round, so that whatever else the machine does falls on all of them alike.
// Each reports the median of its batches, which a preempted batch does not
// move: ns per evaluation in the counters native, voxeval and muparser.
// Batch k of a round evaluates formula first + k (the next ones in the list)
// at point round * Turns + k, so that over the rounds all points come.
template <std::size_t Turns>
void BenchSideBySide(benchmark::State &state, std::size_t first) {
  const Formula *formulas = BenchFormulas();
  const Point *points = BenchPoints();
  LibraryInstances library[Turns];
  MuParserInstances mu[Turns];
  for (std::size_t k = 0; k < Turns; ++k) {
    const char *text = formulas[(first + k) % BenchFormulaCount()].text;
    std::string error;
    if (!library[k].Build(text, points) || !mu[k].Build(text, points, error)) {
      state.SkipWithError("the text does not compile");
      return;
    }
  }

  std::vector<double> samples[3];
  std::size_t round = 0;
  for (auto _ : state) {
    Turn turns[Turns];
    for (std::size_t k = 0; k < Turns; ++k) {
      const std::size_t point = (round * Turns + k) % kPointCount;
      turns[k].native = formulas[(first + k) % BenchFormulaCount()].native;
      turns[k].point = &points[point];
      turns[k].expression = library[k].raw[point];
      turns[k].context = reinterpret_cast<std::uintptr_t>(&points[point]);
      turns[k].parser = mu[k].parsers[point].get();
    }
    for (std::size_t turn = 0; turn < 3; ++turn) {
      const std::size_t evaluator = (round + turn) % 3;
      double ns = 0.0;
      if (evaluator == 0)
        ns = TimeNative<Turns>(turns);
      else if (evaluator == 1)
        ns = TimeLibrary<Turns>(turns);
      else
        ns = TimeMuParser<Turns>(turns);
      samples[evaluator].push_back(ns / kBatch);
    }
    ++round;
  }
  state.counters["native"] = Median(samples[0]);
  state.counters["voxeval"] = Median(samples[1]);
  state.counters["muparser"] = Median(samples[2]);
}

} // namespace

double Median(std::vector<double> &samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? -1.0 : samples[samples.size() / 2];
}

bool Agree(double u, double v) {
  if (u == v)
    return true;
  return std::fabs(u - v) <= 1e-12 * std::fmax(std::fabs(u), std::fabs(v));
}

namespace {

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
    benchmark::RegisterBenchmark(Name(i).c_str(), BenchSideBySide<1>, i)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(TurnsName(i).c_str(), BenchSideBySide<kTurns>,
                                 i)
        ->Unit(benchmark::kMicrosecond);
  }
  return disagreements;
}

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

void PrintEvaluateTable(const TableReporter &times, std::ostream &out) {
  PrintEvaluateSection(times, out,
                       "Evaluate, ns per evaluation (median of interleaved "
                       "batches), one point per batch",
                       Name);
  PrintEvaluateSection(times, out,
                       "Evaluate, ns per evaluation, four formulas in turn "
                       "(row n: formulas n to n+3, each at its own point)",
                       TurnsName);
}
