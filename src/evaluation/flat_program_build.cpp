// Translation of a record tree into flat steps, in two passes: the groups
// are read as the evaluator would visit them (which items count, how each
// meets the running value, which constants can be computed now), then the
// steps are laid out, the common shapes fused into single steps.
#include "evaluation/flat_program.h"

#include "builder/expression_builder.h"
#include "platform/runtime.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace {

double Finite(double v) { return IsFinite(v) ? v : 0.0; }

// Stands in for a function record without a target: its argument is still
// evaluated, and the item gives 0.0.
double ZeroFunction(double) { return 0.0; }

// A value that passes the finiteness test where it is read: a constant
// (already tested), a variable, or a group that is neither.
struct Operand {
  enum Kind { kConstant, kVariable, kGroup } kind;
  double constant;
  const double *variable;
  std::size_t group;
};

// One visited item of a group, and how its value meets the running value.
struct Item {
  enum Kind { kValue, kApplied, kCallback } kind;
  FLAT_MODE mode;
  // kValue: the value; kApplied: the function's argument.
  Operand operand;
  EVAL_FUNCTION func;
  EVAL_CALLBACK callback;
};

struct Group {
  std::vector<Item> items;
  // Evaluating the group calls a callback.
  bool callbacks = false;
  // The group is a function's argument: with callbacks inside, it is run
  // twice (the second visit dropped), so it gets steps of its own.
  bool argument = false;
};

Operand Constant(double v) {
  Operand operand = Operand();
  operand.kind = Operand::kConstant;
  operand.constant = v;
  return operand;
}

bool IsLeaf(const Operand &operand) { return operand.kind != Operand::kGroup; }

bool IsLeafItem(const Item &item) {
  return item.kind == Item::kValue && IsLeaf(item.operand);
}

bool IsOperatorMode(FLAT_MODE mode) { return mode >= kAdd && mode <= kPow; }

// The operator item before an item decides how its value is combined; after
// a value, a group or a function the value is dropped.
FLAT_MODE ModeAfter(TOKEN_TYPE previous) {
  switch (previous) {
  case TT_NONE:
    return kFirst;
  case TT_PLUS:
    return kAdd;
  case TT_MINUS:
    return kSub;
  case TT_MUL:
    return kMul;
  case TT_DIV:
    return kDiv;
  case TT_POW:
    return kPow;
  default:
    return kDrop;
  }
}

double Combine(FLAT_MODE mode, double acc, double v) {
  switch (mode) {
  case kAdd:
    return acc + v;
  case kSub:
    return acc - v;
  case kMul:
    return acc * v;
  case kDiv:
    return acc / v;
  case kPow:
    return std::pow(acc, v);
  default:
    return v;
  }
}

// Only the standard functions are known to give the same value every time;
// those are computed now when their argument is a constant.
bool IsStandard(EVAL_FUNCTION func) {
  static const char *const kNames[] = {"sin", "cos", "tan", "exp", "log"};
  for (const char *name : kNames) {
    if (func == StandardFunction(name))
      return true;
  }
  return false;
}

// 2 or 3 when the item raises to that constant power, else 0.
std::int32_t SmallPower(FLAT_MODE mode, const Operand &operand) {
  if (mode != kPow || operand.kind != Operand::kConstant)
    return 0;
  return operand.constant == 2.0 ? 2 : operand.constant == 3.0 ? 3 : 0;
}

// The shape of a leaf op leaf step, from the first shape of its family.
FLAT_SHAPE PairShape(FLAT_SHAPE add, FLAT_SHAPE powN, const Item &second) {
  if (SmallPower(second.mode, second.operand) != 0)
    return powN;
  return static_cast<FLAT_SHAPE>(add + (second.mode - kAdd));
}

class Translator {
public:
  Translator(std::vector<FLAT_STEP> &steps, std::vector<double> &constants)
      : m_steps(steps), m_constants(constants) {}

  bool Translate(const STOKEN &root);

private:
  // Reading the tree; false for what the flat form does not cover.
  bool OperandOf(const STOKEN &record, int depth, Operand &operand);
  bool GroupOperand(const STOKEN &record, int depth, Operand &operand);
  bool ItemOf(const STOKEN *items, std::int32_t i, std::int32_t n, int depth,
              Operand &argument, Item &item);
  bool HasCallbacks(const Item &item) const;
  bool Fold(std::vector<Item> &items, double &value) const;

  // Laying out the steps.
  void EmitBody(std::size_t group, FLAT_MODE firstMode);
  void EmitItem(const Item &item, FLAT_MODE mode);
  void EmitOperand(const Operand &operand, FLAT_MODE mode);
  void EmitGroupValue(std::size_t group, FLAT_MODE mode);
  bool IsInlineGroup(const Operand &operand) const;
  bool EmitLeafThenGroup(const Item &leaf, const Item &next,
                         FLAT_MODE firstMode);
  void EmitPair(FLAT_SHAPE add, FLAT_SHAPE powN, const Item &first,
                const Item &second, FLAT_MODE mode);
  void EmitApplied(EVAL_FUNCTION func, const Operand &argument, FLAT_MODE mode);
  void EmitSubGroups();
  void EndProgram();
  FLAT_STEP &Emit(std::uint16_t code);
  FLAT_STEP &Emit(FLAT_SHAPE shape, FLAT_MODE mode) {
    return Emit(static_cast<std::uint16_t>(shape * kModeCount + mode));
  }
  void SetLeaf(std::size_t step, bool second, const Operand &operand);
  void SetTarget(std::size_t step, std::size_t group);
  bool IsLeafPair(const Group &group) const;

  std::vector<FLAT_STEP> &m_steps;
  std::vector<double> &m_constants;
  std::vector<Group> m_groups;

  struct Fixup {
    std::size_t step;
    bool second;
    std::size_t index;
  };
  // Leaves that point at constants: the pool is filled first, pointed at
  // once it no longer moves.
  std::vector<Fixup> m_constantLeaves;
  // Steps that run a group of their own, and where each group starts.
  std::vector<std::pair<std::size_t, std::size_t>> m_targets;
  std::vector<std::size_t> m_pendingGroups;
  std::vector<std::int32_t> m_groupStart;
};

// The value as EvaluateSToken reads the record.
bool Translator::OperandOf(const STOKEN &record, int depth, Operand &operand) {
  switch (record.type) {
  case TT_INT:
    operand = Constant(Finite(record.value.ival));
    return true;
  case TT_FLOAT:
    operand = Constant(Finite(record.value.fval));
    return true;
  case TT_DOUBLE:
    operand = Constant(Finite(record.value.dval));
    return true;
  case TT_INT_REF:
  case TT_FLOAT_REF:
    // Never bound by the registry; only a null one is covered.
    operand = Constant(0.0);
    return record.value.iref == nullptr;
  case TT_DOUBLE_REF:
    operand = Constant(0.0);
    if (record.value.dref != nullptr) {
      operand.kind = Operand::kVariable;
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
bool Translator::GroupOperand(const STOKEN &record, int depth,
                              Operand &operand) {
  if (depth > CFlatProgram::kMaxDepth)
    return false;
  const std::int32_t n = record.value.group.count;
  const STOKEN *records = record.value.group.items;
  operand = Constant(0.0);
  if (n <= 0)
    return true;
  Group group;
  Operand argument = Constant(0.0);
  for (std::int32_t i = 0; i < n; ++i) {
    const TOKEN_TYPE previous = i == 0 ? TT_NONE : records[i - 1].type;
    Item item = Item();
    if (previous == TT_FUNCTION && records[i].type == TT_GROUP) {
      // Already read as the function's argument.
      item.kind = Item::kValue;
      item.operand = argument;
    } else if (!ItemOf(records, i, n, depth, argument, item)) {
      return false;
    }
    item.mode = ModeAfter(previous);
    if (item.mode == kDrop && !HasCallbacks(item))
      continue;
    group.callbacks = group.callbacks || HasCallbacks(item);
    group.items.push_back(item);
  }
  double value = 0.0;
  if (!group.callbacks && Fold(group.items, value)) {
    operand = Constant(value);
    return true;
  }
  if (group.items.size() == 1 && group.items[0].kind == Item::kValue) {
    // [v] gives v: a leaf or group value has passed the test already.
    operand = group.items[0].operand;
    return true;
  }
  operand.kind = Operand::kGroup;
  operand.group = m_groups.size();
  m_groups.push_back(std::move(group));
  return true;
}

// The item's own visit. A function's argument is read here and handed back
// for the argument's own visit, so that each group is read once.
bool Translator::ItemOf(const STOKEN *items, std::int32_t i, std::int32_t n,
                        int depth, Operand &argument, Item &item) {
  const STOKEN &record = items[i];
  item.kind = Item::kValue;
  if (record.type == TT_CALLBACK) {
    item.operand = Constant(0.0);
    if (record.value.callback != nullptr) {
      item.kind = Item::kCallback;
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
  if (argument.kind == Operand::kGroup)
    m_groups[argument.group].argument = true;
  if (argument.kind == Operand::kConstant && IsStandard(func)) {
    const double v = func(argument.constant);
    // A result that is not finite enters the running value as it is; only
    // finite ones can stand as a leaf.
    if (IsFinite(v)) {
      item.operand = Constant(v);
      return true;
    }
  }
  item.kind = Item::kApplied;
  item.func = func;
  item.operand = argument;
  return true;
}

bool Translator::HasCallbacks(const Item &item) const {
  if (item.kind == Item::kCallback)
    return true;
  return item.operand.kind == Operand::kGroup &&
         m_groups[item.operand.group].callbacks;
}

// Runs of constants at the start of a group are computed now, exactly as
// the evaluator would. True when the whole group is constant; its value has
// then passed the test for finiteness.
bool Translator::Fold(std::vector<Item> &items, double &value) const {
  double acc = 0.0;
  std::size_t k = 0;
  while (k < items.size() && items[k].kind == Item::kValue &&
         items[k].operand.kind == Operand::kConstant) {
    acc = Combine(items[k].mode, acc, items[k].operand.constant);
    ++k;
  }
  if (k == items.size()) {
    value = Finite(acc);
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

bool Translator::IsLeafPair(const Group &group) const {
  return group.items.size() == 2 && IsLeafItem(group.items[0]) &&
         IsLeafItem(group.items[1]) && IsOperatorMode(group.items[1].mode);
}

FLAT_STEP &Translator::Emit(std::uint16_t code) {
  FLAT_STEP step = FLAT_STEP();
  step.code = code;
  m_steps.push_back(step);
  return m_steps.back();
}

void Translator::SetLeaf(std::size_t step, bool second,
                         const Operand &operand) {
  if (operand.kind == Operand::kVariable) {
    if (second)
      m_steps[step].b = operand.variable;
    else
      m_steps[step].a.leaf = operand.variable;
    return;
  }
  m_constantLeaves.push_back(Fixup{step, second, m_constants.size()});
  m_constants.push_back(operand.constant);
}

void Translator::SetTarget(std::size_t step, std::size_t group) {
  if (m_groupStart[group] == -1) {
    m_groupStart[group] = -2;
    m_pendingGroups.push_back(group);
  }
  m_targets.emplace_back(step, group);
}

// Two leaves as one step; for the small powers the exponent goes along.
void Translator::EmitPair(FLAT_SHAPE add, FLAT_SHAPE powN, const Item &first,
                          const Item &second, FLAT_MODE mode) {
  Emit(PairShape(add, powN, second), mode).target =
      SmallPower(second.mode, second.operand);
  SetLeaf(m_steps.size() - 1, false, first.operand);
  SetLeaf(m_steps.size() - 1, true, second.operand);
}

// The group's items; the first meets the enclosing value by firstMode. A
// first pair of leaves is one step; a first leaf followed by a nested group
// is read when the group ends.
void Translator::EmitBody(std::size_t group, FLAT_MODE firstMode) {
  const std::vector<Item> &items = m_groups[group].items;
  std::size_t k = 1;
  if (items.size() >= 2 && IsLeafItem(items[0]) && IsLeafItem(items[1]) &&
      IsOperatorMode(items[1].mode)) {
    EmitPair(kPairAdd, kPairPowN, items[0], items[1], firstMode);
    k = 2;
  } else if (items.size() >= 2 && IsLeafItem(items[0]) &&
             EmitLeafThenGroup(items[0], items[1], firstMode)) {
    k = 2;
  } else {
    EmitItem(items[0], firstMode);
  }
  for (; k < items.size(); ++k)
    EmitItem(items[k], items[k].mode);
}

// A group laid out in place whose run calls no callback: nothing can change
// a variable between the leaf's place and the group's end.
bool Translator::IsInlineGroup(const Operand &operand) const {
  if (operand.kind != Operand::kGroup)
    return false;
  const Group &g = m_groups[operand.group];
  return !g.callbacks && !IsLeafPair(g);
}

// leaf op group, or leaf op function(group): the group runs in the running
// value's place and meets the leaf at its end, so nothing is saved.
bool Translator::EmitLeafThenGroup(const Item &leaf, const Item &next,
                                   FLAT_MODE firstMode) {
  if (!IsOperatorMode(next.mode) || next.kind == Item::kCallback ||
      !IsInlineGroup(next.operand))
    return false;
  EmitBody(next.operand.group, firstMode);
  if (next.kind == Item::kApplied) {
    Emit(kApplyCloseLeaf, next.mode).a.func = next.func;
    SetLeaf(m_steps.size() - 1, true, leaf.operand);
  } else {
    Emit(kCloseLeaf, next.mode);
    SetLeaf(m_steps.size() - 1, false, leaf.operand);
  }
  return true;
}

void Translator::EmitItem(const Item &item, FLAT_MODE mode) {
  switch (item.kind) {
  case Item::kCallback:
    Emit(kCall, mode).a.callback = item.callback;
    return;
  case Item::kApplied:
    EmitApplied(item.func, item.operand, mode);
    return;
  default:
    EmitOperand(item.operand, mode);
    return;
  }
}

void Translator::EmitOperand(const Operand &operand, FLAT_MODE mode) {
  if (operand.kind == Operand::kGroup) {
    EmitGroupValue(operand.group, mode);
    return;
  }
  if (const std::int32_t n = SmallPower(mode, operand)) {
    Emit(kPowN).target = n;
    SetLeaf(m_steps.size() - 1, true, operand);
    return;
  }
  if (IsOperatorMode(mode) && !m_steps.empty() &&
      m_steps.back().code == kFinish) {
    // The group that just ended meets this leaf in the same step.
    m_steps.back().code =
        static_cast<std::uint16_t>(kFinishLeaf * kModeCount + mode);
    SetLeaf(m_steps.size() - 1, false, operand);
    return;
  }
  Emit(kLeaf, mode);
  SetLeaf(m_steps.size() - 1, false, operand);
}

// A nested group runs in the running value's place: the enclosing value is
// saved by its first step and met again by the closing one.
void Translator::EmitGroupValue(std::size_t group, FLAT_MODE mode) {
  const Group &g = m_groups[group];
  if (g.callbacks && g.argument) {
    Emit(kSubGroup, mode);
    SetTarget(m_steps.size() - 1, group);
    return;
  }
  if (IsLeafPair(g)) {
    const Item first = g.items[0];
    const Item second = g.items[1];
    EmitPair(kGroupAdd, kGroupPowN, first, second, mode);
    return;
  }
  if (mode == kFirst || mode == kPush) {
    EmitBody(group, mode);
    Emit(kFinish);
    return;
  }
  EmitBody(group, kPush);
  Emit(kClose, mode);
}

void Translator::EmitApplied(EVAL_FUNCTION func, const Operand &argument,
                             FLAT_MODE mode) {
  if (mode == kDrop) {
    // Only the argument's callbacks are seen; the function's value is not.
    EmitOperand(argument, kDrop);
    return;
  }
  if (IsLeaf(argument)) {
    Emit(kApplyLeaf, mode).a.func = func;
    SetLeaf(m_steps.size() - 1, true, argument);
    return;
  }
  const std::size_t group = argument.group;
  if (m_groups[group].callbacks) {
    Emit(kApplySub, mode).a.func = func;
    SetTarget(m_steps.size() - 1, group);
    return;
  }
  if (mode == kFirst || mode == kPush) {
    EmitBody(group, mode);
    Emit(kApplyFinish).a.func = func;
    return;
  }
  EmitBody(group, kPush);
  Emit(kApplyClose, mode).a.func = func;
}

// The last step gives the (sub-)program's value; every program has one.
void Translator::EndProgram() {
  m_steps.back().code =
      static_cast<std::uint16_t>(m_steps.back().code + kFinalStep);
}

// Groups run twice get steps of their own after the main ones, each ending
// with its value.
void Translator::EmitSubGroups() {
  while (!m_pendingGroups.empty()) {
    const std::size_t group = m_pendingGroups.back();
    m_pendingGroups.pop_back();
    m_groupStart[group] = static_cast<std::int32_t>(m_steps.size());
    EmitBody(group, kFirst);
    EndProgram();
  }
  // Relative, so that a step finds its group without the program's start.
  for (const auto &target : m_targets)
    m_steps[target.first].target =
        m_groupStart[target.second] - static_cast<std::int32_t>(target.first);
}

bool Translator::Translate(const STOKEN &root) {
  Operand top;
  if (!OperandOf(root, 0, top))
    return false;
  m_groupStart.assign(m_groups.size(), -1);
  if (top.kind == Operand::kGroup)
    EmitBody(top.group, kFirst);
  else
    EmitOperand(top, kFirst);
  EndProgram();
  EmitSubGroups();
  for (const Fixup &fixup : m_constantLeaves) {
    const double *leaf = &m_constants[fixup.index];
    if (fixup.second)
      m_steps[fixup.step].b = leaf;
    else
      m_steps[fixup.step].a.leaf = leaf;
  }
  return true;
}

} // namespace

bool CFlatProgram::Build(const STOKEN &root) {
  m_leaf = nullptr;
  m_callsNothing = false;
  m_steps.clear();
  m_constants.clear();
  Translator translator(m_steps, m_constants);
  if (!translator.Translate(root)) {
    m_steps.clear();
    m_constants.clear();
    return false;
  }
  // Leaves point into the constants, which therefore stay where they are.
  m_steps.shrink_to_fit();
  if (m_steps.size() == 1 &&
      m_steps[0].code == kLeaf * kModeCount + kFirst + kFinalStep)
    m_leaf = m_steps[0].a.leaf;
  m_callsNothing = true;
  for (const FLAT_STEP &step : m_steps)
    m_callsNothing = m_callsNothing && FlatStepCallsNothing(step.code);
  return true;
}
