// How the library reads a formula, written back as text: the groups and
// items that the compiled expression holds, and a formula with nothing
// implicit left that gives the same value.
#ifndef VOXEVAL_READING_H
#define VOXEVAL_READING_H

#include <VOXEvalExpressions.h>

#include <string>
#include <vector>

namespace voxeval {

struct Reading {
  // The items as held: "( )" a group written in parentheses, "[ ]" a group
  // made of an operator's right operand.
  std::string groups;
  // Every group in parentheses, a sign that stands where a value should be
  // as 0, and whatever evaluation drops left out.
  std::string sameAs;
  // What is worth knowing about the reading, in words; the checks for
  // values that are not finite use the variables' current values.
  std::vector<std::string> notes;
};

// False when the expression was not compiled by this library's code.
bool ReadExpression(const IVOXExpression &expression, Reading &reading);

} // namespace voxeval

#endif
