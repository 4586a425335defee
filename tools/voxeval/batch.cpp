#include "batch.h"

#include "csv.h"
#include "failure.h"
#include "formula.h"
#include "grid.h"
#include "names.h"
#include "platform.h"
#include "progress.h"
#include "svg_plot.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>

namespace voxeval {

namespace {

struct Column {
  std::string header;
  boost::shared_ptr<IVOXExpression> formula;
};

// The variables that change per row, set through the parser before each row.
struct RowVariables {
  std::vector<std::string> names;
  std::vector<std::u16string> wide;
};

std::vector<Column> CompileColumns(IVOXExpressionParser &parser,
                                   const Options &options) {
  std::vector<Column> compiled;
  std::vector<std::string> formulas;
  for (const OutputColumn &c : options.columns) {
    compiled.push_back(Column{c.header, Compile(parser, c.formula, c.header)});
    formulas.push_back(c.formula);
  }
  WarnUnused(parser, options.assignments, formulas);
  return compiled;
}

void CheckNotAssigned(const Options &options, const std::string &name,
                      const std::string &where, int code) {
  for (const Assignment &a : options.assignments)
    if (a.name == name)
      throw Failure{code, where + ": " + Quoted(name) +
                              " changes per row and cannot also be given "
                              "as " +
                              Quoted(a.argument)};
}

void Declare(IVOXExpressionParser &parser, const Options &options,
             RowVariables &vars, const std::string &name,
             const std::string &where, int code) {
  if (name.empty())
    throw Failure{code, where + ": the name is empty"};
  for (const std::string &known : vars.names)
    if (known == name)
      throw Failure{code, where + ": " + Quoted(name) + " appears twice"};
  CheckNotAssigned(options, name, where, code);
  DeclareRowVariable(parser, name, where, code);
  vars.names.push_back(name);
  vars.wide.push_back(ToLibraryText(name, where));
}

void SetRow(IVOXExpressionParser &parser, const RowVariables &vars,
            const std::vector<double> &values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    parser.SetValue(vars.wide[i].c_str(), values[i]);
}

std::vector<std::string> Header(const RowVariables &vars,
                                const std::vector<Column> &columns) {
  std::vector<std::string> header = vars.names;
  for (const Column &c : columns)
    header.push_back(c.header);
  return header;
}

// The row's inputs followed by each column's value.
void WriteRow(const std::vector<double> &inputs,
              const std::vector<Column> &columns) {
  std::vector<std::string> fields;
  for (double v : inputs)
    fields.push_back(FormatNumber(v));
  for (const Column &c : columns)
    fields.push_back(FormatNumber(c.formula->Evaluate(0).second));
  WriteCsvRow(stdout, fields);
}

std::vector<double> RowValues(const std::vector<std::string> &fields,
                              const RowVariables &vars, std::size_t line) {
  if (fields.size() != vars.names.size())
    throw Failure{kExitData, "line " + std::to_string(line) + ": " +
                                 std::to_string(fields.size()) +
                                 (fields.size() == 1 ? " field" : " fields") +
                                 ", but the header names " +
                                 std::to_string(vars.names.size())};
  std::vector<double> values(fields.size());
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const NumberStatus status = ParseNumber(fields[k], values[k]);
    if (status == NumberStatus::kOk)
      continue;
    throw Failure{kExitData, "line " + std::to_string(line) + ", column " +
                                 Quoted(vars.names[k]) + ": " +
                                 Quoted(std::string(TrimSpaces(fields[k]))) +
                                 (status == NumberStatus::kNotFinite
                                      ? " is not a finite number"
                                      : " is not a number")};
  }
  return values;
}

std::string ColumnWhere(std::size_t k) {
  return "line 1 (header), column " + std::to_string(k + 1);
}

void WriteFile(const std::string &path, const std::string &content) {
  std::FILE *file = OpenFile(path, "wb");
  bool ok = file != nullptr;
  if (ok) {
    ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = std::fclose(file) == 0 && ok;
  }
  if (!ok)
    throw Failure{kExitIo,
                  "cannot write " + Quoted(path) + ": " + std::strerror(errno)};
}

} // namespace

int RunCsv(IVOXExpressionParser &parser, const Options &options) {
  std::ifstream file;
  const bool fromStdin = options.csvPath == "-";
  if (!fromStdin) {
    file.open(FilePath(options.csvPath), std::ios::binary);
    if (!file)
      throw Failure{kExitIo, "cannot read " + Quoted(options.csvPath) + ": " +
                                 std::strerror(errno)};
  }
  CsvReader reader(fromStdin ? std::cin : file);
  std::vector<std::string> fields;
  if (!reader.ReadRow(fields))
    throw Failure{kExitData, "the CSV input is empty; its first line must "
                             "name the variables"};
  RowVariables vars;
  for (std::size_t k = 0; k < fields.size(); ++k)
    Declare(parser, options, vars, std::string(TrimSpaces(fields[k])),
            ColumnWhere(k), kExitData);
  const std::vector<Column> columns = CompileColumns(parser, options);
  WriteCsvRow(stdout, Header(vars, columns));
  Progress progress(0);
  while (reader.ReadRow(fields)) {
    const std::vector<double> values = RowValues(fields, vars, reader.Line());
    SetRow(parser, vars, values);
    WriteRow(values, columns);
    progress.Row();
  }
  if (file.bad() || std::cin.bad())
    throw Failure{kExitIo, "reading " + Quoted(options.csvPath) + " failed"};
  return kExitOk;
}

int RunGrid(IVOXExpressionParser &parser, const Options &options) {
  RowVariables vars;
  for (const GridAxis &axis : options.grid)
    Declare(parser, options, vars, axis.name, "--grid " + Quoted(axis.name),
            kExitUsage);
  const std::vector<Column> columns = CompileColumns(parser, options);
  const bool plot = !options.plotPath.empty();
  Chart chart{options.grid[0].name, {}, {}};
  for (const Column &c : columns)
    chart.series.push_back(Series{c.header, {}});
  if (!plot)
    WriteCsvRow(stdout, Header(vars, columns));
  Progress progress(GridRows(options.grid));
  GridCursor cursor(options.grid);
  do {
    const std::vector<double> values = cursor.Values();
    SetRow(parser, vars, values);
    if (plot) {
      chart.x.push_back(values[0]);
      for (std::size_t i = 0; i < columns.size(); ++i)
        chart.series[i].values.push_back(
            columns[i].formula->Evaluate(0).second);
    } else {
      WriteRow(values, columns);
    }
    progress.Row();
  } while (cursor.Next());
  if (plot) {
    WriteFile(options.plotPath, ChartSvg(chart));
    std::printf(
        "wrote %s: %s curve%s over %s, %s point%s\n", options.plotPath.c_str(),
        std::to_string(columns.size()).c_str(), columns.size() == 1 ? "" : "s",
        chart.xName.c_str(), std::to_string(chart.x.size()).c_str(),
        chart.x.size() == 1 ? "" : "s");
  }
  return kExitOk;
}

} // namespace voxeval
