// Compile cost: CreateExpression beside muParser's parse of the same texts,
// its growth with the length of the text and with a large name table.
#include "bench.h"
#include "formulas.h"
#include "peers.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kTableSize = 10000;

std::string Name(std::size_t index, const char *evaluator) {
  return "compile/" + std::to_string(index) + "/" + evaluator;
}

// A host name of 1,000 characters.
const std::string &LongName() {
  static const std::string name = "v" + std::string(999, 'w');
  return name;
}

// Each iteration compiles and releases one expression.
void TimeCompiles(benchmark::State &state, IVOXExpressionParser &parser,
                  const std::string &text) {
  const std::u16string wide = ToUtf16(text);
  for (auto _ : state) {
    boost::shared_ptr<IVOXExpression> expression =
        parser.CreateExpression(wide.c_str());
    if (!expression) {
      state.SkipWithError("the text does not compile");
      break;
    }
    benchmark::DoNotOptimize(expression.get());
  }
}

void CompileLibrary(benchmark::State &state, const std::string &text) {
  boost::shared_ptr<IVOXExpressionParser> parser = MakeBenchParser();
  TimeCompiles(state, *parser, text);
}

void CompileWithLongName(benchmark::State &state, const std::string &text) {
  boost::shared_ptr<IVOXExpressionParser> parser = MakeBenchParser();
  parser->AddVariable(ToUtf16(LongName()).c_str());
  TimeCompiles(state, *parser, text);
}

// muParser parses on the first evaluation after SetExpr; the evaluation it
// adds is negligible beside the parse.
void CompileMuParser(benchmark::State &state, const std::string &text) {
  Point point = BenchPoints()[0];
  mu::Parser parser;
  DefineBenchNames(parser, point);
  try {
    for (auto _ : state) {
      parser.SetExpr(text);
      double value = parser.Eval();
      benchmark::DoNotOptimize(value);
    }
  } catch (const mu::Parser::exception_type &e) {
    state.SkipWithError(e.GetMsg().c_str());
  }
}

// Texts that grow with n: a flat sum, a flat product, a sum of products
// (each product a nested group), and parentheses nested n deep.
std::string FlatText(int terms, const char *op) {
  static const char *const kNames[] = {"x", "y", "z", "t"};
  std::string text;
  for (int i = 0; i < terms; ++i) {
    if (i > 0)
      text += op;
    text += kNames[i % 4];
  }
  return text;
}

std::string SumOfProducts(int terms) {
  std::string text;
  for (int i = 0; i < terms; i += 2) {
    if (i > 0)
      text += "+";
    text += i % 4 == 0 ? "x*y" : "z*t";
  }
  return text;
}

std::string Nested(int depth) {
  return std::string(depth, '(') + "x" + [depth] {
    std::string tail;
    for (int i = 0; i < depth; ++i)
      tail += "+1)";
    return tail;
  }();
}

std::string NestedFunctions(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i)
    text += "sin(";
  return text + "x" + std::string(depth, ')');
}

// Sums and chains of powers (each square proven in place, with its way to
// pow), a sum of callback calls, and a sum of one long host name. The sum
// of squares of one variable has a twin with each square written as a
// product.
std::string SumOf(int terms, const char *term) {
  std::string text;
  for (int i = 0; i < terms; ++i)
    text += (i > 0 ? "+" : "") + std::string(term);
  return text;
}

std::string SumOfSquares(int terms) { return SumOf(terms, "x^2"); }

std::string SumOfSelfProducts(int terms) { return SumOf(terms, "x*x"); }

std::string PowerChain(int squares) {
  std::string text = "y";
  for (int i = 0; i < squares; ++i)
    text += "^2";
  return text;
}

std::string SumOfCallbacks(int terms) { return SumOf(terms, "cb()"); }

std::string SumOfLongNames(int terms) {
  return SumOf(terms, LongName().c_str());
}

typedef std::string (*TextMaker)(int);

struct Family {
  const char *name;
  TextMaker make;
  std::vector<int> sizes;
};

const std::vector<Family> &Families() {
  static const std::vector<Family> families = {
      // Each up to about 1 MB of text: the time per character stays flat.
      {"sum",
       [](int n) { return FlatText(n, "+"); },
       {10, 100, 1000, 10000, 100000, 500000}},
      {"product",
       [](int n) { return FlatText(n, "*"); },
       {10, 100, 1000, 10000, 100000, 500000}},
      {"sum_of_products",
       SumOfProducts,
       {10, 100, 1000, 10000, 100000, 500000}},
      {"sum_of_squares", SumOfSquares, {10, 100, 1000, 16000, 100000, 250000}},
      {"sum_of_self_products",
       SumOfSelfProducts,
       {10, 100, 1000, 16000, 100000, 250000}},
      {"power_chain", PowerChain, {10, 100, 1000, 10000, 100000, 500000}},
      {"sum_of_callbacks",
       SumOfCallbacks,
       {10, 100, 1000, 10000, 100000, 200000}},
      {"sum_of_long_names", SumOfLongNames, {1, 10, 100, 1000}},
      // The root group counts as one level: 255 brackets reach the bound.
      {"nested_brackets", Nested, {1, 16, 64, 128, 255}},
      {"nested_functions", NestedFunctions, {1, 16, 64, 128, 255}},
  };
  return families;
}

// Host names: identifiers, or names in braces, which the lexer finds as
// symbols rather than as whole identifiers.
std::string TableName(int i, bool braced = false) {
  const std::string name = "v" + std::to_string(i);
  return braced ? "{" + name + "}" : name;
}

// A flat sum of n host names spread over the whole table.
std::string TableSum(int terms, bool braced = false) {
  std::string text;
  for (int i = 0; i < terms; ++i) {
    if (i > 0)
      text += "+";
    text += TableName(static_cast<int>((i * 7919LL) % kTableSize), braced);
  }
  return text;
}

void AddVariablesLibrary(benchmark::State &state) {
  std::vector<std::u16string> names;
  for (int i = 0; i < kTableSize; ++i)
    names.push_back(ToUtf16(TableName(i)));
  for (auto _ : state) {
    boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
    for (const std::u16string &name : names)
      parser->AddVariable(name.c_str());
    benchmark::DoNotOptimize(parser->GetCount());
  }
}

void AddVariablesMuParser(benchmark::State &state) {
  std::vector<std::string> names;
  for (int i = 0; i < kTableSize; ++i)
    names.push_back(TableName(i));
  std::vector<double> storage(kTableSize);
  for (auto _ : state) {
    mu::Parser parser;
    for (int i = 0; i < kTableSize; ++i)
      parser.DefineVar(names[i], &storage[i]);
    benchmark::DoNotOptimize(parser.GetVar().size());
  }
}

void CompileWithTableLibrary(benchmark::State &state, bool braced) {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  for (int i = 0; i < kTableSize; ++i)
    parser->AddVariable(ToUtf16(TableName(i, braced)).c_str());
  TimeCompiles(state, *parser,
               TableSum(static_cast<int>(state.range(0)), braced));
}

void CompileWithTableMuParser(benchmark::State &state) {
  mu::Parser parser;
  std::vector<double> storage(kTableSize);
  for (int i = 0; i < kTableSize; ++i)
    parser.DefineVar(TableName(i), &storage[i]);
  const std::string text = TableSum(static_cast<int>(state.range(0)));
  try {
    for (auto _ : state) {
      parser.SetExpr(text);
      double value = parser.Eval();
      benchmark::DoNotOptimize(value);
    }
  } catch (const mu::Parser::exception_type &e) {
    state.SkipWithError(e.GetMsg().c_str());
  }
}

const std::vector<int> kTableSums = {10, 100, 1000, 10000, 100000};

void PrintLine(std::ostream &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

void PrintLine(std::ostream &out, const char *format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out << line;
}

// A time in microseconds and per character, or dashes where the benchmark
// did not run (muParser refuses texts beyond its length limit).
std::string Cells(double ns, double chars) {
  char cells[64];
  if (ns < 0)
    std::snprintf(cells, sizeof cells, " %11s %8s", "-", "-");
  else
    std::snprintf(cells, sizeof cells, " %11.1f %8.1f", ns / 1e3, ns / chars);
  return cells;
}

} // namespace

void RegisterCompileBenchmarks() {
  const Formula *formulas = BenchFormulas();
  for (std::size_t i = 0; i < BenchFormulaCount(); ++i) {
    const std::string text = formulas[i].text;
    benchmark::RegisterBenchmark(Name(i, "voxeval").c_str(), CompileLibrary,
                                 text)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(Name(i, "muparser").c_str(), CompileMuParser,
                                 text)
        ->Unit(benchmark::kMicrosecond);
  }
  for (const Family &family : Families()) {
    for (int n : family.sizes) {
      const std::string text = family.make(n);
      const std::string base =
          std::string("scale/") + family.name + "/" + std::to_string(n) + "/";
      const bool longName = family.make == SumOfLongNames;
      benchmark::RegisterBenchmark(
          (base + "voxeval").c_str(),
          longName ? CompileWithLongName : CompileLibrary, text)
          ->Unit(benchmark::kMicrosecond);
      // muParser knows no such name.
      if (!longName)
        benchmark::RegisterBenchmark((base + "muparser").c_str(),
                                     CompileMuParser, text)
            ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::RegisterBenchmark("table10k/add_variables/voxeval",
                               AddVariablesLibrary)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("table10k/add_variables/muparser",
                               AddVariablesMuParser)
      ->Unit(benchmark::kMillisecond);
  for (int n : kTableSums) {
    benchmark::RegisterBenchmark("table10k/sum/voxeval",
                                 CompileWithTableLibrary, false)
        ->Arg(n)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("table10k/sum/muparser",
                                 CompileWithTableMuParser)
        ->Arg(n)
        ->Unit(benchmark::kMicrosecond);
  }
  // muParser knows no such names.
  benchmark::RegisterBenchmark("table10k/braced_sum/voxeval",
                               CompileWithTableLibrary, true)
      ->Arg(1000)
      ->Unit(benchmark::kMicrosecond);
}

void PrintCompileTables(const TableReporter &times, std::ostream &out) {
  out << "\nCompile, microseconds per text (CPU time)\n";
  PrintLine(out, "%3s  %-44s %9s %9s %9s\n", "#", "formula", "voxeval",
            "muParser", "ratio");
  double logSum = 0.0;
  int count = 0;
  const Formula *formulas = BenchFormulas();
  for (std::size_t i = 0; i < BenchFormulaCount(); ++i) {
    const double v = times.Nanoseconds(Name(i, "voxeval"));
    const double m = times.Nanoseconds(Name(i, "muparser"));
    if (v < 0 || m < 0)
      continue;
    std::string text = formulas[i].text;
    if (text.size() > 44)
      text = text.substr(0, 41) + "...";
    PrintLine(out, "%3zu  %-44s %9.2f %9.2f %9.2f\n", i + 1, text.c_str(),
              v / 1e3, m / 1e3, v / m);
    logSum += std::log(v / m);
    ++count;
  }
  if (count > 0)
    PrintLine(out, "     %-44s %19s %9.2f\n", "geometric mean", "",
              std::exp(logSum / count));

  out << "\nCompile time by length: microseconds, and ns per character\n";
  PrintLine(out, "%-20s %7s %8s %11s %8s %11s %8s\n", "text", "n", "chars",
            "voxeval", "ns/char", "muParser", "ns/char");
  for (const Family &family : Families()) {
    for (int n : family.sizes) {
      const std::string base =
          std::string("scale/") + family.name + "/" + std::to_string(n) + "/";
      const double v = times.Nanoseconds(base + "voxeval");
      const double m = times.Nanoseconds(base + "muparser");
      if (v < 0 && m < 0)
        continue;
      const double chars = static_cast<double>(family.make(n).size());
      PrintLine(out, "%-20s %7d %8.0f%s%s\n", family.name, n, chars,
                Cells(v, chars).c_str(), Cells(m, chars).c_str());
    }
  }

  out << "\nA table of " << kTableSize << " host variables\n";
  const double addV = times.Nanoseconds("table10k/add_variables/voxeval");
  const double addM = times.Nanoseconds("table10k/add_variables/muparser");
  if (addV >= 0 || addM >= 0)
    PrintLine(out, "%-36s %11.2f ms (muParser DefineVar: %.2f ms)\n",
              "new parser + AddVariable of all", addV / 1e6, addM / 1e6);
  PrintLine(out, "%-18s %7s %8s %11s %8s %11s %8s\n", "sum of host names", "n",
            "chars", "voxeval", "ns/char", "muParser", "ns/char");
  for (int n : kTableSums) {
    const std::string suffix = "/" + std::to_string(n);
    const double v = times.Nanoseconds("table10k/sum/voxeval" + suffix);
    const double m = times.Nanoseconds("table10k/sum/muparser" + suffix);
    if (v < 0 && m < 0)
      continue;
    const double chars = static_cast<double>(TableSum(n).size());
    PrintLine(out, "%-18s %7d %8.0f%s%s\n", "", n, chars,
              Cells(v, chars).c_str(), Cells(m, chars).c_str());
  }
  const double braced = times.Nanoseconds("table10k/braced_sum/voxeval/1000");
  if (braced >= 0) {
    const double chars = static_cast<double>(TableSum(1000, true).size());
    PrintLine(out, "%-18s %7d %8.0f%s\n", "... names in braces", 1000, chars,
              Cells(braced, chars).c_str());
  }
}
