#include "options.h"

#include "failure.h"
#include "text.h"

#include <charconv>

namespace voxeval {

namespace {

// More rows than this is almost certainly a typo in a count.
constexpr std::size_t kMaxGridRows = 1000000000;

Failure UsageFailure(const std::string &message) {
  return Failure{kExitUsage,
                 message + "\n(run 'voxeval --help' for the options)"};
}

// "--name=value" gives name and value; "--name" gives no value.
bool SplitLongOption(const std::string &arg, std::string &name,
                     std::string &value) {
  const std::size_t eq = arg.find('=');
  name = arg.substr(0, eq);
  if (eq == std::string::npos)
    return false;
  value = arg.substr(eq + 1);
  return true;
}

std::size_t ParseCount(std::string_view text, const std::string &axis) {
  std::size_t count = 0;
  const char *end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, count);
  if (text.empty() || r.ptr != end || r.ec != std::errc() || count == 0 ||
      count > kMaxGridRows)
    throw UsageFailure("--grid " + Quoted(axis) +
                       ": COUNT must be a whole number from 1 to 1000000000");
  return count;
}

double ParseBound(std::string_view text, const std::string &axis) {
  double value = 0.0;
  if (ParseNumber(text, value) != NumberStatus::kOk)
    throw UsageFailure("--grid " + Quoted(axis) + ": " +
                       Quoted(std::string(text)) + " is not a finite number");
  return value;
}

OutputColumn ParseColumn(const std::string &text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos)
    return OutputColumn{text, text};
  if (eq == 0)
    throw UsageFailure("--expr " + Quoted(text) +
                       ": the column name before '=' is missing");
  return OutputColumn{text.substr(0, eq), text.substr(eq + 1)};
}

void CheckGridRows(const std::vector<GridAxis> &grid) {
  std::size_t rows = 1;
  for (const GridAxis &axis : grid) {
    if (rows > kMaxGridRows / axis.count)
      throw UsageFailure("the grid has more than 1000000000 points");
    rows *= axis.count;
  }
}

struct Parser {
  Options options;
  std::vector<std::string> positional;

  // Takes the value of an option that needs one, from "--opt=value" or from
  // the next argument.
  std::string TakeValue(const std::string &option, bool inlineValue,
                        const std::string &value, int &i, int argc,
                        const char *const *argv) {
    if (inlineValue)
      return value;
    if (i + 1 >= argc)
      throw UsageFailure("option " + option + " needs a value");
    return argv[++i];
  }

  void Option(const std::string &arg, int &i, int argc,
              const char *const *argv) {
    std::string name, value;
    const bool inlineValue =
        arg.rfind("--", 0) == 0 && SplitLongOption(arg, name, value);
    if (!inlineValue)
      name = arg;
    if (name == "-h" || name == "--help") {
      options.mode = Mode::kHelp;
    } else if (name == "--version") {
      options.mode = Mode::kVersion;
    } else if (name == "--check" || name == "--deps" || name == "--explain") {
      SetMode(name == "--check"  ? Mode::kCheck
              : name == "--deps" ? Mode::kDeps
                                 : Mode::kExplain);
    } else if (name == "-e" || name == "--expr") {
      options.columns.push_back(
          ParseColumn(TakeValue(name, inlineValue, value, i, argc, argv)));
    } else if (name == "--csv") {
      if (options.haveCsv)
        throw UsageFailure("--csv is given twice");
      options.csvPath = TakeValue(name, inlineValue, value, i, argc, argv);
      options.haveCsv = true;
    } else if (name == "--grid") {
      options.grid.push_back(
          ParseGridAxis(TakeValue(name, inlineValue, value, i, argc, argv)));
    } else if (name == "--plot") {
      options.plotPath = TakeValue(name, inlineValue, value, i, argc, argv);
      if (options.plotPath.empty())
        throw UsageFailure("--plot needs a file name");
    } else {
      throw UsageFailure("unknown option " + Quoted(name));
    }
  }

  void SetMode(Mode mode) {
    if (options.mode == Mode::kHelp || options.mode == Mode::kVersion)
      return;
    if (options.mode != Mode::kEvaluate && options.mode != mode)
      throw UsageFailure("--check, --deps and --explain cannot be combined");
    options.mode = mode;
  }

  // Long options and the two short ones are options; any other argument
  // that starts with '-' is a formula such as "-x" or "-2*t".
  static bool IsOption(const std::string &arg) {
    return arg.rfind("--", 0) == 0 || arg == "-e" || arg == "-h";
  }

  void Arguments(int argc, const char *const *argv) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (!optionsEnded && arg == "--") {
        optionsEnded = true;
      } else if (!optionsEnded && IsOption(arg)) {
        Option(arg, i, argc, argv);
      } else {
        positional.push_back(arg);
      }
    }
  }

  void Positional() {
    std::size_t first = 0;
    if (!options.IsBatch() && !positional.empty()) {
      options.formula = positional[0];
      options.haveFormula = true;
      first = 1;
    }
    for (std::size_t i = first; i < positional.size(); ++i)
      options.assignments.push_back(ParseAssignment(positional[i]));
  }

  void CheckCombination() const {
    const Options &o = options;
    if (o.haveCsv && !o.grid.empty())
      throw UsageFailure("--csv and --grid cannot be combined");
    if (o.mode != Mode::kEvaluate && (o.IsBatch() || !o.columns.empty()))
      throw UsageFailure(std::string(o.mode == Mode::kCheck  ? "--check"
                                     : o.mode == Mode::kDeps ? "--deps"
                                                             : "--explain") +
                         " takes one formula, not -e, --csv or --grid");
    if (!o.IsBatch() && !o.columns.empty())
      throw UsageFailure("-e and --expr need --csv or --grid; to evaluate "
                         "once, give the formula as the first argument");
    if (o.IsBatch() && o.columns.empty())
      throw UsageFailure("give at least one output column with -e EXPR");
    if (!o.plotPath.empty() && (o.grid.size() != 1 || o.haveCsv))
      throw UsageFailure("--plot needs exactly one --grid and no --csv");
    if (!o.IsBatch() && !o.haveFormula)
      throw UsageFailure("no formula given");
  }

  void CheckGridNames() const {
    const std::vector<GridAxis> &grid = options.grid;
    for (std::size_t i = 0; i < grid.size(); ++i)
      for (std::size_t k = i + 1; k < grid.size(); ++k)
        if (grid[i].name == grid[k].name)
          throw UsageFailure("--grid sweeps " + Quoted(grid[i].name) +
                             " twice");
    CheckGridRows(grid);
  }
};

} // namespace

Assignment ParseAssignment(const std::string &text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos)
    throw Failure{kExitAssignment,
                  Quoted(text) + " is not of the form NAME=VALUE"};
  if (eq == 0)
    throw Failure{kExitAssignment,
                  Quoted(text) + ": the name before '=' is missing"};
  return Assignment{text.substr(0, eq), text.substr(eq + 1), text};
}

GridAxis ParseGridAxis(const std::string &text) {
  const std::size_t eq = text.find('=');
  const std::size_t colon1 =
      eq == std::string::npos ? eq : text.find(':', eq + 1);
  const std::size_t colon2 =
      colon1 == std::string::npos ? colon1 : text.find(':', colon1 + 1);
  if (eq == 0 || colon2 == std::string::npos ||
      text.find(':', colon2 + 1) != std::string::npos)
    throw UsageFailure("--grid " + Quoted(text) +
                       " is not of the form NAME=START:STOP:COUNT");
  const std::string_view all(text);
  GridAxis axis;
  axis.name = text.substr(0, eq);
  axis.start = ParseBound(all.substr(eq + 1, colon1 - eq - 1), text);
  axis.stop = ParseBound(all.substr(colon1 + 1, colon2 - colon1 - 1), text);
  axis.count = ParseCount(all.substr(colon2 + 1), text);
  return axis;
}

Options ParseOptions(int argc, const char *const *argv) {
  Parser parser;
  parser.Arguments(argc, argv);
  const Mode mode = parser.options.mode;
  if (mode == Mode::kHelp || mode == Mode::kVersion)
    return parser.options;
  parser.Positional();
  parser.CheckCombination();
  parser.CheckGridNames();
  return parser.options;
}

} // namespace voxeval
