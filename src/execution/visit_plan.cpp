// Reading a record tree the way the evaluator visits it.
#include "execution/visit_plan.h"

#include "builder/standard_names.h"

#include <cmath>
#include <utility>

namespace {

// Stands in for a function record without a target: its argument is still
// evaluated, and the item gives 0.0.
double ZeroFunction(double) { return 0.0; }

PlanOperand Constant(double v) {
  PlanOperand operand = PlanOperand();
  operand.kind = PlanOperand::kConstant;
  operand.constant = v;
  return operand;
}

} // namespace

// The value as EvaluateSToken reads the record.
bool CVisitPlan::OperandOf(const STOKEN &record, int depth,
                           PlanOperand &operand) {
  switch (record.type) {
  case TT_INT:
    operand = Constant(FiniteOrZero(record.value.ival));
    return true;
  case TT_FLOAT:
    operand = Constant(FiniteOrZero(record.value.fval));
    return true;
  case TT_DOUBLE:
    operand = Constant(FiniteOrZero(record.value.dval));
    return true;
  case TT_INT_REF:
  case TT_FLOAT_REF:
    // Never bound by the registry; only a null one is covered.
    operand = Constant(0.0);
    return record.value.iref == nullptr;
  case TT_DOUBLE_REF:
    operand = Constant(0.0);
    if (record.value.dref != nullptr) {
      operand.kind = PlanOperand::kVariable;
      operand.variable = record.value.dref;
    }
    return true;
  case TT_GROUP:
    return GroupOperand(record, depth + 1, operand);
  default:
    operand = Constant(0.0);
    return true;
  }
}

// A group of constants becomes its value, a group of one leaf or one group
// that item; anything else stays a group.
bool CVisitPlan::GroupOperand(const STOKEN &record, int depth,
                              PlanOperand &operand) {
  if (depth > kMaxDepth)
    return false;
  const std::int32_t n = record.value.group.count;
  const STOKEN *records = record.value.group.items;
  operand = Constant(0.0);
  if (n <= 0)
    return true;
  PlanGroup group;
  group.items.reserve(static_cast<std::size_t>(n));
  PlanOperand argument = Constant(0.0);
  for (std::int32_t i = 0; i < n; ++i) {
    const TOKEN_TYPE previous = i == 0 ? TT_NONE : records[i - 1].type;
    PlanItem item = PlanItem();
    const bool visited = previous == TT_FUNCTION && records[i].type == TT_GROUP;
    if (visited) {
      // Already read as the function's argument: visited again only for
      // the callbacks it holds.
      item.kind = PlanItem::kValue;
      item.operand = argument;
    } else if (!ItemOf(records, i, n, depth, argument, item)) {
      return false;
    }
    item.mode = ModeAfter(previous);
    if (!HasSteps(item.mode))
      return false;
    // A dropped leaf leaves no trace; another dropped value is still made,
    // as the evaluator makes it: its arithmetic raises flags.
    if (item.mode == kDrop &&
        (IsLeafItem(item) || (visited && !HasCallbacks(item))))
      continue;
    group.callbacks = group.callbacks || HasCallbacks(item);
    group.items.push_back(item);
  }
  double value = 0.0;
  if (!group.callbacks && Fold(group.items, value)) {
    operand = Constant(value);
    return true;
  }
  if (group.items.size() == 1 && group.items[0].kind == PlanItem::kValue) {
    // [v] gives v: a leaf or group value has passed the test already.
    operand = group.items[0].operand;
    return true;
  }
  operand.kind = PlanOperand::kGroup;
  operand.group = m_groups.size();
  m_groups.push_back(std::move(group));
  return true;
}

// The item's own visit. A function's argument is read here and handed back
// for the argument's own visit, so that each group is read once.
bool CVisitPlan::ItemOf(const STOKEN *items, std::int32_t i, std::int32_t n,
                        int depth, PlanOperand &argument, PlanItem &item) {
  const STOKEN &record = items[i];
  item.kind = PlanItem::kValue;
  if (record.type == TT_CALLBACK) {
    item.operand = Constant(0.0);
    if (record.value.callback != nullptr) {
      item.kind = PlanItem::kCallback;
      item.callback = record.value.callback;
    }
    return true;
  }
  if (record.type != TT_FUNCTION)
    return OperandOf(record, depth, item.operand);
  // A function without an argument gives 0.0 and is not called.
  item.operand = Constant(0.0);
  if (i + 1 >= n)
    return true;
  if (!OperandOf(items[i + 1], depth, argument))
    return false;
  EVAL_FUNCTION func = record.value.func;
  if (func == nullptr)
    func = ZeroFunction;
  if (argument.kind == PlanOperand::kGroup)
    m_groups[argument.group].argument = true;
  if (argument.kind == PlanOperand::kConstant &&
      StandardFunctionRow(func) != nullptr) {
    const double v = func(argument.constant);
    // A result that is not finite enters the running value as it is; only
    // finite ones can stand as a leaf.
    if (IsFinite(v)) {
      item.operand = Constant(v);
      return true;
    }
  }
  item.kind = PlanItem::kApplied;
  item.func = func;
  item.operand = argument;
  return true;
}

bool CVisitPlan::HasCallbacks(const PlanItem &item) const {
  if (item.kind == PlanItem::kCallback)
    return true;
  return item.operand.kind == PlanOperand::kGroup &&
         m_groups[item.operand.group].callbacks;
}

// Runs of constants at the start of a group are computed now, exactly as
// the evaluator would. True when the whole group is constant; its value has
// then passed the test for finiteness.
bool CVisitPlan::Fold(std::vector<PlanItem> &items, double &value) const {
  double acc = 0.0;
  std::size_t k = 0;
  while (k < items.size() && items[k].kind == PlanItem::kValue &&
         items[k].operand.kind == PlanOperand::kConstant) {
    acc = Combine(items[k].mode, acc, items[k].operand.constant);
    ++k;
  }
  if (k == items.size()) {
    value = FiniteOrZero(acc);
    return true;
  }
  // A leaf must be finite; a run that is not stays as it is.
  if (k >= 2 && IsFinite(acc)) {
    items.erase(items.begin() + 1, items.begin() + static_cast<long>(k));
    items[0].operand = Constant(acc);
    items[0].mode = kFirst;
  }
  return false;
}

std::int32_t SmallPower(FLAT_MODE mode, const PlanOperand &operand) {
  if (mode != kPow || operand.kind != PlanOperand::kConstant)
    return 0;
  return SmallExponent(operand.constant);
}

bool IsLibraryFunction(EVAL_FUNCTION func) {
  return func == ZeroFunction || StandardFunctionRow(func) != nullptr;
}

bool CVisitPlan::Read(const STOKEN &root) {
  m_groups.clear();
  m_top = Constant(0.0);
  if (OperandOf(root, 0, m_top))
    return true;
  m_groups.clear();
  return false;
}
