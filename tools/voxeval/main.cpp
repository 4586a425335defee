// voxeval: the library's formulas from the command line, through the public
// header as any host would use them; only --explain looks further in.
#include "batch.h"
#include "explain.h"
#include "failure.h"
#include "formula.h"
#include "names.h"
#include "options.h"
#include "platform.h"
#include "usage.h"

#include <VOXEvalExpressions.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>

#include "text.h"

namespace voxeval {

namespace {

int Evaluate(IVOXExpressionParser &parser, const Options &options) {
  const boost::shared_ptr<IVOXExpression> formula =
      Compile(parser, options.formula, "");
  WarnUnused(parser, options.assignments, {options.formula});
  std::printf("%s\n", FormatNumber(formula->Evaluate(0).second).c_str());
  return kExitOk;
}

int Deps(IVOXExpressionParser &parser, const Options &options) {
  const boost::shared_ptr<IVOXExpression> formula =
      Compile(parser, options.formula, "");
  std::printf("space: %s\ntime: %s\n", formula->DependsOnSpace() ? "yes" : "no",
              formula->DependsOnTime() ? "yes" : "no");
  return kExitOk;
}

int Run(int argc, const char *const *argv) {
  const Options options = ParseOptions(argc, argv);
  if (options.mode == Mode::kHelp) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.mode == Mode::kVersion) {
    std::printf("voxeval %s\n", VOXEVAL_VERSION);
    return kExitOk;
  }
  const boost::shared_ptr<IVOXExpressionParser> parser =
      CreateExpressionParser();
  ApplyAssignments(*parser, options.assignments);
  if (options.mode == Mode::kCheck)
    return ReportCheck(*parser, options.formula);
  if (options.mode == Mode::kDeps)
    return Deps(*parser, options);
  if (options.mode == Mode::kExplain)
    return Explain(*parser, options);
  if (options.haveCsv)
    return RunCsv(*parser, options);
  if (!options.grid.empty())
    return RunGrid(*parser, options);
  return Evaluate(*parser, options);
}

// Each line of the message; the first carries the program's name.
void PrintFailure(const Failure &failure) {
  std::fflush(stdout);
  std::fprintf(stderr, "voxeval: %s\n", failure.message.c_str());
}

// Output that could not be written must not pass for success.
int FinishOutput(int code) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout))
    return code;
  std::fprintf(stderr, "voxeval: cannot write the output: %s\n",
               std::strerror(errno));
  return kExitIo;
}

} // namespace

} // namespace voxeval

int main(int argc, char **argv) {
  using namespace voxeval;
  std::ios::sync_with_stdio(false);
  const Utf8Console console;
  int code;
  try {
    const Utf8Arguments arguments(argc, argv);
    code = Run(arguments.Count(), arguments.Values());
  } catch (const Failure &failure) {
    PrintFailure(failure);
    code = failure.code;
  } catch (const std::bad_alloc &) {
    std::fputs("voxeval: out of memory\n", stderr);
    code = kExitIo;
  }
  return FinishOutput(code);
}
