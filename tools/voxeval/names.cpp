#include "names.h"

#include "failure.h"
#include "text.h"

#include <set>

namespace voxeval {

namespace {

const char kNameRule[] =
    "a new name starts with an ASCII letter or '_' and goes on with ASCII "
    "letters, digits and '_', or starts with a character outside ASCII";

enum class RowNameKind { kVariable, kConstant, kNotSettable, kUnreadable };

// Tells a variable from a constant: a compiled formula sees a variable's new
// value but keeps the constant it was compiled with. The value is restored.
RowNameKind ProbeKnownName(IVOXExpressionParser &parser,
                           const std::u16string &name) {
  const boost::shared_ptr<IVOXExpression> probe =
      parser.CreateExpression(name.c_str());
  if (!probe)
    return RowNameKind::kUnreadable;
  const double before = probe->Evaluate(0).second;
  const double marker = before == 1.0 ? 2.0 : 1.0;
  if (!parser.SetValue(name.c_str(), marker))
    return RowNameKind::kNotSettable;
  const bool variable = probe->Evaluate(0).second == marker;
  parser.SetValue(name.c_str(), before);
  return variable ? RowNameKind::kVariable : RowNameKind::kConstant;
}

// True when a formula made of the name alone reads the variable: tried with
// two values, so that text such as "x+y" does not pass for a name.
bool FormulaReads(IVOXExpressionParser &parser, const std::u16string &name) {
  const boost::shared_ptr<IVOXExpression> probe =
      parser.CreateExpression(name.c_str());
  if (!probe)
    return false;
  for (double marker : {1.5, -2.25}) {
    parser.SetValue(name.c_str(), marker);
    if (probe->Evaluate(0).second != marker)
      return false;
  }
  return parser.SetValue(name.c_str(), 0.0);
}

Failure Unreadable(const std::string &name, int code) {
  return Failure{code, "no formula can read " + Quoted(name) +
                           " as a name: " + kNameRule};
}

enum class Added { kNew, kKnown, kUnreadable };

// Makes an unknown name a host variable. The library takes any name, so
// whether formulas can read it is tried.
Added AddVariable(IVOXExpressionParser &parser, const std::u16string &name) {
  if (!parser.AddVariable(name.c_str()))
    return Added::kKnown;
  return FormulaReads(parser, name) ? Added::kNew : Added::kUnreadable;
}

Failure NotSettable(const std::string &name, int code) {
  return Failure{code, Quoted(name) +
                           " cannot be set: the library knows it, but as a "
                           "function, an operator or the placeholder gol, not "
                           "as a variable"};
}

double AssignedValue(const Assignment &a) {
  double value = 0.0;
  switch (ParseNumber(a.value, value)) {
  case NumberStatus::kOk:
    return value;
  case NumberStatus::kNotFinite:
    throw Failure{kExitAssignment,
                  Quoted(a.argument) + ": " + Quoted(a.value) +
                      " is not a finite number (the library would read it "
                      "as 0)"};
  case NumberStatus::kNotANumber:
    break;
  }
  throw Failure{kExitAssignment, Quoted(a.argument) + ": " + Quoted(a.value) +
                                     " is not a number"};
}

void Assign(IVOXExpressionParser &parser, const Assignment &a) {
  const double value = AssignedValue(a);
  const std::u16string name =
      ToLibraryText(a.name, "the name in " + Quoted(a.argument));
  if (parser.SetValue(name.c_str(), value))
    return;
  const Added added = AddVariable(parser, name);
  if (added == Added::kKnown)
    throw NotSettable(a.name, kExitAssignment);
  if (added == Added::kUnreadable)
    throw Unreadable(a.name, kExitAssignment);
  parser.SetValue(name.c_str(), value);
}

} // namespace

std::u16string ToLibraryText(const std::string &utf8, const std::string &what) {
  std::u16string out;
  std::size_t bad = 0;
  if (!Utf8ToUtf16(utf8, out, bad))
    throw Failure{kExitUtf8, what + " is not valid UTF-8 (byte " +
                                 std::to_string(bad + 1) + " of " +
                                 std::to_string(utf8.size()) + ")"};
  return out;
}

void ApplyAssignments(IVOXExpressionParser &parser,
                      const std::vector<Assignment> &assignments) {
  std::set<std::string> seen;
  for (const Assignment &a : assignments) {
    if (!seen.insert(a.name).second)
      throw Failure{kExitAssignment, Quoted(a.name) + " is given twice"};
    Assign(parser, a);
  }
}

void DeclareRowVariable(IVOXExpressionParser &parser, const std::string &name,
                        const std::string &where, int code) {
  const std::u16string wide = ToLibraryText(name, where);
  const Added added = AddVariable(parser, wide);
  if (added == Added::kNew)
    return;
  if (added == Added::kUnreadable)
    throw Failure{code, where + ": " + Unreadable(name, code).message};
  switch (ProbeKnownName(parser, wide)) {
  case RowNameKind::kVariable:
    return;
  case RowNameKind::kConstant:
    throw Failure{code, where + ": " + Quoted(name) +
                            " is a constant: formulas take its value when "
                            "they compile, so it cannot change per row; set "
                            "it once with " +
                            name + "=VALUE"};
  case RowNameKind::kNotSettable:
    break;
  case RowNameKind::kUnreadable:
    throw Failure{code, where + ": " + Unreadable(name, code).message};
  }
  throw Failure{code, where + ": " + NotSettable(name, code).message};
}

} // namespace voxeval
