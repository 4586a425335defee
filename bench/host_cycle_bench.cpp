// The cost of a point as a host pays it: the quantities a formula reads
// change, then the formula is evaluated. The library is told the values by
// SetValue; native C++ reads them from the host's structure; muParser reads
// the host's doubles it is bound to by pointer. And SetValue alone.
#include "bench.h"
#include "formulas.h"
#include "peers.h"
#include "side_by_side.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string CycleName(std::size_t index) {
  return "cycle/" + std::to_string(index);
}

// A quantity that changes at every point.
struct Quantity {
  const char *identifier;
  // Null for the callback's value, which the library reads through the
  // context word rather than by name.
  const char16_t *name;
  double Point::*member;
};

// Benchmarks run on one thread, one after another.
int g_disagreements = 0;

const Quantity kQuantities[] = {
    {"x", u"x", &Point::x}, {"y", u"y", &Point::y}, {"z", u"z", &Point::z},
    {"t", u"t", &Point::t}, {"a", u"a", &Point::a}, {"b", u"b", &Point::b},
    {"c", u"c", &Point::c}, {"w", u"w", &Point::w}, {"cb", nullptr, &Point::q}};

// The quantities a formula's text reads, each once.
std::vector<Quantity> QuantitiesRead(const char *text) {
  std::vector<Quantity> read;
  for (const Quantity &quantity : kQuantities) {
    for (const char *p = text; *p != 0;) {
      if (!std::isalpha(static_cast<unsigned char>(*p))) {
        ++p;
        continue;
      }
      const char *start = p;
      while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_')
        ++p;
      if (std::string(start, p) == quantity.identifier) {
        read.push_back(quantity);
        break;
      }
    }
  }
  return read;
}

// Each batch cycles through the points, so every value changes at every
// evaluation.
double CycleNative(NativeFormula formula, const Point *points) {
  // Hides the target so that the call cannot be inlined.
  benchmark::DoNotOptimize(formula);
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    double value = formula(points[i % kPointCount]);
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

double CycleLibrary(IVOXExpressionParser &parser,
                    const IVOXExpression &expression,
                    const std::vector<Quantity> &named, const Point *points) {
  const Quantity *quantities = named.data();
  const std::size_t count = named.size();
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    const Point &point = points[i % kPointCount];
    for (std::size_t j = 0; j < count; ++j)
      parser.SetValue(quantities[j].name, point.*quantities[j].member);
    double value =
        expression.Evaluate(reinterpret_cast<std::uintptr_t>(&point)).second;
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

double CycleMuParser(const mu::Parser &parser, Point &bound,
                     const std::vector<Quantity> &read, const Point *points) {
  const Quantity *quantities = read.data();
  const std::size_t count = read.size();
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < kBatch; ++i) {
    const Point &point = points[i % kPointCount];
    for (std::size_t j = 0; j < count; ++j)
      bound.*quantities[j].member = point.*quantities[j].member;
    double value = parser.Eval();
    benchmark::DoNotOptimize(value);
  }
  return NanosecondsSince(start);
}

// One parser and one expression per evaluator, the values set at every
// point; the three take turns a batch each, as in the other tables.
void BenchHostCycle(benchmark::State &state, std::size_t index) {
  const Formula &formula = BenchFormulas()[index];
  const Point *points = BenchPoints();
  const boost::shared_ptr<IVOXExpressionParser> parser = MakeBenchParser();
  const boost::shared_ptr<IVOXExpression> expression =
      parser->CreateExpression(ToUtf16(formula.text).c_str());
  Point bound = points[0];
  mu::Parser mu;
  DefineBenchNames(mu, bound);
  const std::vector<Quantity> read = QuantitiesRead(formula.text);
  std::vector<Quantity> named;
  for (const Quantity &quantity : read)
    if (quantity.name != nullptr)
      named.push_back(quantity);
  try {
    mu.SetExpr(formula.text);
    mu.Eval();
  } catch (const mu::Parser::exception_type &e) {
    state.SkipWithError(e.GetMsg().c_str());
    return;
  }
  if (!expression) {
    state.SkipWithError("the text does not compile");
    return;
  }
  // The values must arrive: one cycle agrees with native at every point.
  for (std::size_t k = 0; k < kPointCount; ++k) {
    const Point &point = points[k];
    for (const Quantity &quantity : read) {
      if (quantity.name != nullptr &&
          !parser->SetValue(quantity.name, point.*quantity.member)) {
        state.SkipWithError("SetValue refused a variable");
        ++g_disagreements;
        return;
      }
      bound.*quantity.member = point.*quantity.member;
    }
    const double native = formula.native(point);
    const double ours =
        expression->Evaluate(reinterpret_cast<std::uintptr_t>(&point)).second;
    if (!Agree(ours, native) || !Agree(mu.Eval(), native)) {
      state.SkipWithError("the evaluators disagree when values are set");
      ++g_disagreements;
      return;
    }
  }

  std::vector<double> samples[3];
  std::size_t round = 0;
  for (auto _ : state) {
    for (std::size_t turn = 0; turn < 3; ++turn) {
      const std::size_t evaluator = (round + turn) % 3;
      double ns = 0.0;
      if (evaluator == 0)
        ns = CycleNative(formula.native, points);
      else if (evaluator == 1)
        ns = CycleLibrary(*parser, *expression, named, points);
      else
        ns = CycleMuParser(mu, bound, read, points);
      samples[evaluator].push_back(ns / kBatch);
    }
    ++round;
  }
  state.counters["native"] = Median(samples[0]);
  state.counters["voxeval"] = Median(samples[1]);
  state.counters["muparser"] = Median(samples[2]);
}

const int kHostNameCount = 10000;

// SetValue alone: predefined names and host names of 1, 8 and 40 units, in
// a parser with only those host names and in one with 10,000 more.
struct SetValueRow {
  const char *label;
  const char16_t *name;
};

const SetValueRow kSetValueRows[] = {
    {"x (predefined)", u"x"},
    {"Density (predefined)", u"Density"},
    {"host name, 1 unit", u"h"},
    {"host name, 8 units", u"inflow_u"},
    {"host name, 40 units", u"inlet_boundary_layer_thickness_at_x_zero"},
};

std::string SetValueName(std::size_t row, bool large) {
  return "setvalue/" + std::to_string(row) + (large ? "/table10k" : "/fresh");
}

void BenchSetValue(benchmark::State &state, const char16_t *name, bool large) {
  const boost::shared_ptr<IVOXExpressionParser> parser =
      CreateExpressionParser();
  if (large)
    for (int i = 0; i < kHostNameCount; ++i)
      parser->AddVariable(ToUtf16("v" + std::to_string(i)).c_str());
  for (const SetValueRow &row : kSetValueRows)
    parser->AddVariable(row.name);
  double values[kPointCount];
  for (std::size_t k = 0; k < kPointCount; ++k)
    values[k] = BenchPoints()[k].x;
  if (!parser->SetValue(name, values[0])) {
    state.SkipWithError("SetValue refused the name");
    return;
  }
  IVOXExpressionParser &host = *parser;
  std::vector<double> samples;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < kBatch; ++i) {
      bool set = host.SetValue(name, values[i % kPointCount]);
      benchmark::DoNotOptimize(set);
    }
    samples.push_back(NanosecondsSince(start) / kBatch);
  }
  state.counters["ns"] = Median(samples);
}

} // namespace

int HostCycleDisagreements() { return g_disagreements; }

void RegisterHostCycleBenchmarks() {
  for (std::size_t i = 0; i < BenchFormulaCount(); ++i)
    if (g_timed[i])
      benchmark::RegisterBenchmark(CycleName(i).c_str(), BenchHostCycle, i)
          ->Unit(benchmark::kMicrosecond);
  for (std::size_t row = 0; row < sizeof kSetValueRows / sizeof *kSetValueRows;
       ++row)
    for (bool large : {false, true})
      benchmark::RegisterBenchmark(SetValueName(row, large).c_str(),
                                   BenchSetValue, kSetValueRows[row].name,
                                   large)
          ->Unit(benchmark::kMicrosecond);
}

void PrintHostCycleTables(const TableReporter &times, std::ostream &out) {
  PrintEvaluateSection(times, out,
                       "Host cycle, ns per point: each value the formula "
                       "reads changes (library: SetValue), then one "
                       "evaluation",
                       CycleName);
  out << "\nSetValue alone, ns per call (median of batches)\n";
  char line[256];
  std::snprintf(line, sizeof line, "%-26s %14s %18s\n", "name", "fresh parser",
                "10,000 host names");
  out << line;
  for (std::size_t row = 0; row < sizeof kSetValueRows / sizeof *kSetValueRows;
       ++row) {
    const double fresh = times.Counter(SetValueName(row, false), "ns");
    const double large = times.Counter(SetValueName(row, true), "ns");
    if (fresh < 0 && large < 0)
      continue;
    std::snprintf(line, sizeof line, "%-26s %14.2f %18.2f\n",
                  kSetValueRows[row].label, fresh, large);
    out << line;
  }
}
