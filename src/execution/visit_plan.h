// What the evaluator does with a record tree, read once: which items of each
// group are visited, how each value meets its group's running value, and
// which constants can be computed in advance. The flat program and the
// machine code are both laid out from this reading.
#ifndef VOXEVAL_EXECUTION_VISIT_PLAN_H
#define VOXEVAL_EXECUTION_VISIT_PLAN_H

#include "evaluation/arithmetic.h"
#include "evaluation/stoken.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// A value that passes the finiteness test where it is read: a constant
// (already tested), a variable, or a group that is neither.
struct PlanOperand {
  enum Kind { kConstant, kVariable, kGroup } kind;
  double constant;
  const double *variable;
  std::size_t group;
};

// One visited item of a group, and how its value meets the running value.
struct PlanItem {
  enum Kind { kValue, kApplied, kCallback } kind;
  FLAT_MODE mode;
  // kValue: the value; kApplied: the function's argument.
  PlanOperand operand;
  EVAL_FUNCTION func;
  EVAL_CALLBACK callback;
};

struct PlanGroup {
  std::vector<PlanItem> items;
  // Evaluating the group calls a callback.
  bool callbacks = false;
  // The group is a function's argument: with callbacks inside, it is run
  // twice (the second visit dropped).
  bool argument = false;
};

inline bool IsLeaf(const PlanOperand &operand) {
  return operand.kind != PlanOperand::kGroup;
}

inline bool IsLeafItem(const PlanItem &item) {
  return item.kind == PlanItem::kValue && IsLeaf(item.operand);
}

// n when the item raises to the constant power n, a small whole number
// (SmallExponent), else 0.
std::int32_t SmallPower(FLAT_MODE mode, const PlanOperand &operand);

// True for the functions of the library's own name table, and for the one
// that stands in for a missing function: they give the same value for the
// same argument every time, and never throw.
bool IsLibraryFunction(EVAL_FUNCTION func);

class CVisitPlan {
public:
  // Reads the tree. False for trees the plan does not cover: hand-made
  // ones, and those with an operator whose mode has no steps (HasSteps).
  // Throws std::bad_alloc.
  bool Read(const STOKEN &root);

  const PlanOperand &Top() const { return m_top; }
  const std::vector<PlanGroup> &Groups() const { return m_groups; }
  const PlanGroup &Group(std::size_t i) const { return m_groups[i]; }

  // Nesting the plan takes; the parser stops at 256.
  static const int kMaxDepth = 264;

private:
  bool OperandOf(const STOKEN &record, int depth, PlanOperand &operand);
  bool GroupOperand(const STOKEN &record, int depth, PlanOperand &operand);
  bool ItemOf(const STOKEN *items, std::int32_t i, std::int32_t n, int depth,
              PlanOperand &argument, PlanItem &item);
  bool HasCallbacks(const PlanItem &item) const;
  bool Fold(std::vector<PlanItem> &items, double &value) const;

  PlanOperand m_top = PlanOperand();
  std::vector<PlanGroup> m_groups;
};

#endif
