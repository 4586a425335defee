// The command line, read into plain data; nothing here touches the library.
#ifndef VOXEVAL_OPTIONS_H
#define VOXEVAL_OPTIONS_H

#include <cstddef>
#include <string>
#include <vector>

namespace voxeval {

enum class Mode { kEvaluate, kCheck, kDeps, kExplain, kHelp, kVersion };

// NAME=VALUE as typed; the value is read when it is applied.
struct Assignment {
  std::string name;
  std::string value;
  std::string argument; // the whole argument, for messages
};

// One output column of a batch run.
struct OutputColumn {
  std::string header;
  std::string formula;
};

// One swept variable: `count` evenly spaced values from start to stop.
struct GridAxis {
  std::string name;
  double start = 0.0;
  double stop = 0.0;
  std::size_t count = 0;
};

struct Options {
  Mode mode = Mode::kEvaluate;
  std::string formula; // the first positional argument, unless batch
  bool haveFormula = false;
  std::vector<Assignment> assignments;
  std::vector<OutputColumn> columns;
  std::string csvPath; // "-" is standard input
  bool haveCsv = false;
  std::vector<GridAxis> grid;
  std::string plotPath;

  bool IsBatch() const { return haveCsv || !grid.empty(); }
};

// Throws Failure for anything malformed on the command line.
Options ParseOptions(int argc, const char *const *argv);

// Parses "NAME=START:STOP:COUNT"; throws Failure.
GridAxis ParseGridAxis(const std::string &text);

// Parses "NAME=VALUE" (the value is checked later); throws Failure.
Assignment ParseAssignment(const std::string &text);

} // namespace voxeval

#endif
