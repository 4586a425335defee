// Translation of a record tree into flat steps: the tree is read as the
// evaluator would visit it (the visit plan), then the steps are laid out,
// the common shapes fused into single steps.
#include "execution/flat_program.h"

#include "builder/standard_names.h"
#include "execution/flat_program_run.h"

#include <algorithm>

#include <cstddef>
#include <utility>

namespace {

// The shape of a leaf op leaf step, from the first shape of its family.
FLAT_SHAPE PairShape(FLAT_SHAPE add, FLAT_SHAPE powN, const PlanItem &second) {
  if (SmallPower(second.mode, second.operand) != 0)
    return powN;
  return static_cast<FLAT_SHAPE>(add + (second.mode - kAdd));
}

class Translator {
public:
  Translator(const CVisitPlan &plan, std::vector<FLAT_STEP> &steps,
             std::vector<double> &constants)
      : m_plan(plan), m_steps(steps), m_constants(constants) {}

  void Translate();

private:
  // Laying out the steps.
  void EmitBody(std::size_t group, FLAT_MODE firstMode);
  void EmitItem(const PlanItem &item, FLAT_MODE mode);
  void EmitOperand(const PlanOperand &operand, FLAT_MODE mode);
  void EmitGroupValue(std::size_t group, FLAT_MODE mode);
  bool IsInlineGroup(const PlanOperand &operand) const;
  bool EmitLeafThenGroup(const PlanItem &leaf, const PlanItem &next,
                         FLAT_MODE firstMode);
  void EmitPair(FLAT_SHAPE add, FLAT_SHAPE powN, const PlanItem &first,
                const PlanItem &second, FLAT_MODE mode);
  void EmitApplied(EVAL_FUNCTION applied, const PlanOperand &argument,
                   FLAT_MODE mode);
  void EmitSubGroups();
  void EndProgram();
  FLAT_STEP &Emit(std::uint16_t code);
  FLAT_STEP &Emit(FLAT_SHAPE shape, FLAT_MODE mode) {
    return Emit(static_cast<std::uint16_t>(shape * kModeCount + mode));
  }
  void SetLeaf(std::size_t step, bool second, const PlanOperand &operand);
  void SetTarget(std::size_t step, std::size_t group);
  bool IsLeafPair(const PlanGroup &group) const;

  const CVisitPlan &m_plan;
  std::vector<FLAT_STEP> &m_steps;
  std::vector<double> &m_constants;

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

bool Translator::IsLeafPair(const PlanGroup &group) const {
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
                         const PlanOperand &operand) {
  if (operand.kind == PlanOperand::kVariable) {
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
void Translator::EmitPair(FLAT_SHAPE add, FLAT_SHAPE powN,
                          const PlanItem &first, const PlanItem &second,
                          FLAT_MODE mode) {
  Emit(PairShape(add, powN, second), mode).target =
      SmallPower(second.mode, second.operand);
  SetLeaf(m_steps.size() - 1, false, first.operand);
  SetLeaf(m_steps.size() - 1, true, second.operand);
}

// The group's items; the first meets the enclosing value by firstMode. A
// first pair of leaves is one step; a first leaf followed by a nested group
// is read when the group ends.
void Translator::EmitBody(std::size_t group, FLAT_MODE firstMode) {
  const std::vector<PlanItem> &items = m_plan.Group(group).items;
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
bool Translator::IsInlineGroup(const PlanOperand &operand) const {
  if (operand.kind != PlanOperand::kGroup)
    return false;
  const PlanGroup &g = m_plan.Group(operand.group);
  return !g.callbacks && !IsLeafPair(g);
}

// leaf op group, or leaf op function(group): the group runs in the running
// value's place and meets the leaf at its end, so nothing is saved.
bool Translator::EmitLeafThenGroup(const PlanItem &leaf, const PlanItem &next,
                                   FLAT_MODE firstMode) {
  if (!IsOperatorMode(next.mode) || next.kind == PlanItem::kCallback ||
      !IsInlineGroup(next.operand))
    return false;
  EmitBody(next.operand.group, firstMode);
  if (next.kind == PlanItem::kApplied) {
    Emit(kApplyCloseLeaf, next.mode).a.func = DirectFunction(next.func);
    SetLeaf(m_steps.size() - 1, true, leaf.operand);
  } else {
    Emit(kCloseLeaf, next.mode);
    SetLeaf(m_steps.size() - 1, false, leaf.operand);
  }
  return true;
}

void Translator::EmitItem(const PlanItem &item, FLAT_MODE mode) {
  switch (item.kind) {
  case PlanItem::kCallback:
    Emit(kCall, mode).a.callback = item.callback;
    return;
  case PlanItem::kApplied:
    EmitApplied(item.func, item.operand, mode);
    return;
  default:
    EmitOperand(item.operand, mode);
    return;
  }
}

void Translator::EmitOperand(const PlanOperand &operand, FLAT_MODE mode) {
  if (operand.kind == PlanOperand::kGroup) {
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
  const PlanGroup &g = m_plan.Group(group);
  if (g.callbacks && g.argument) {
    Emit(kSubGroup, mode);
    SetTarget(m_steps.size() - 1, group);
    return;
  }
  if (IsLeafPair(g)) {
    const PlanItem first = g.items[0];
    const PlanItem second = g.items[1];
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

void Translator::EmitApplied(EVAL_FUNCTION applied, const PlanOperand &argument,
                             FLAT_MODE mode) {
  const EVAL_FUNCTION func = DirectFunction(applied);
  if (IsLeaf(argument)) {
    Emit(kApplyLeaf, mode).a.func = func;
    SetLeaf(m_steps.size() - 1, true, argument);
    return;
  }
  const std::size_t group = argument.group;
  if (m_plan.Group(group).callbacks) {
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

void Translator::Translate() {
  const PlanOperand &top = m_plan.Top();
  m_groupStart.assign(m_plan.Groups().size(), -1);
  if (top.kind == PlanOperand::kGroup)
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
}

// The most running values the (sub-)program at start holds saved at once,
// its sub-programs' included: a nested group's first step saves one, its
// closing step takes it back; a sub-program runs on top of what its caller
// holds. Each program is read once (known holds those read, else -1, once
// there are sub-programs): programs may run each other twice at every
// level.
int SavedDepth(const std::vector<FLAT_STEP> &steps, std::size_t start,
               std::vector<int> &known) {
  if (!known.empty() && known[start] >= 0)
    return known[start];
  int depth = 0;
  int deepest = 0;
  for (std::size_t i = start; i < steps.size(); ++i) {
    const bool last = steps[i].code >= kFinalStep;
    const unsigned code = last ? steps[i].code - kFinalStep : steps[i].code;
    const unsigned shape = code / kModeCount;
    const unsigned mode = code % kModeCount;
    if (code < kShapeCount * kModeCount) {
      if (shape == kSubGroup || shape == kApplySub) {
        if (known.empty())
          known.assign(steps.size(), -1);
        const std::size_t sub = i + static_cast<std::size_t>(steps[i].target);
        deepest = std::max(deepest, depth + SavedDepth(steps, sub, known));
      }
      if (mode == kPush)
        deepest = std::max(deepest, ++depth);
      else if ((shape == kClose || shape == kApplyClose) && mode != kFirst)
        --depth;
    }
    if (last)
      break;
  }
  if (!known.empty())
    known[start] = deepest;
  return deepest;
}

} // namespace

void CFlatProgram::Build(const CVisitPlan &plan) {
  m_leaf = nullptr;
  m_steps.clear();
  m_constants.clear();
  Translator translator(plan, m_steps, m_constants);
  translator.Translate();
  // Leaves point into the constants, which therefore stay where they are.
  m_steps.shrink_to_fit();
  if (m_steps.size() == 1 &&
      m_steps[0].code == kLeaf * kModeCount + kFirst + kFinalStep)
    m_leaf = m_steps[0].a.leaf;
  ChooseWalk();
}

void CFlatProgram::ChooseWalk() {
  bool callsNothing = true;
  for (const FLAT_STEP &step : m_steps)
    callsNothing = callsNothing && flat_walk::IsInlineStep(step.code);
  std::vector<int> known;
  m_walkKind = callsNothing ? FlatWalk::kInline
               : SavedDepth(m_steps, 0, known) <= flat_walk::kShallowDepth
                   ? FlatWalk::kShallow
                   : FlatWalk::kDeep;
  switch (m_walkKind) {
  case FlatWalk::kInline:
    m_walk = &flat_walk::RunWalk<FlatWalk::kInline>;
    break;
  case FlatWalk::kShallow:
    m_walk = &flat_walk::RunWalk<FlatWalk::kShallow>;
    break;
  case FlatWalk::kDeep:
    m_walk = &flat_walk::RunWalk<FlatWalk::kDeep>;
    break;
  }
}
