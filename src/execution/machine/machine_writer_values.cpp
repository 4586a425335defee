// Values: the entry's tests of the variables, each group's running value,
// and how each item meets it (where "+" becomes an addsd: Meet).
#include "execution/machine/machine_writer.h"

#include "builder/standard_names.h"
#include "execution/machine/host_calls.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include <boost/container/small_vector.hpp>

namespace {

// One mark per item of a group; a small formula's fit without allocating.
using Marks = boost::container::small_vector<bool, 32>;

// A constant multiplier that is not 0 under every environment: neither 0
// nor subnormal, which reads as 0 where the host set denormals-are-zero.
bool NonZeroFactor(double c) { return std::isnormal(c); }

bool SamePlace(int kindA, int indexA, int kindB, int indexB) {
  return kindA == kindB && indexA == indexB;
}

// A group whose value is a square (its last item raises to 2): at least 0,
// +inf or NaN, never -inf.
bool SquareValued(const CVisitPlan &plan, const PlanItem &item) {
  if (item.kind != PlanItem::kValue || IsLeaf(item.operand))
    return false;
  const std::vector<PlanItem> &items = plan.Group(item.operand.group).items;
  return SmallPower(items.back().mode, items.back().operand) == 2;
}

// An item that meets a running value that is infinite or NaN exactly,
// raising no flag: a finite value added, subtracted or divided by
// (variables are tested at entry, groups here before they meet unless they
// are squares added to squares), a constant multiplied by that is not 0,
// and a small whole power (pow and the proofs' tests are quiet on them).
// inf * 0, inf - inf, inf / inf and the library's functions raise one.
bool Quiet(const PlanItem &item) {
  if (item.kind != PlanItem::kValue)
    return false;
  const bool constant = item.operand.kind == PlanOperand::kConstant;
  if (constant && !IsFinite(item.operand.constant))
    return false;
  switch (item.mode) {
  case kAdd:
  case kSub:
  case kDiv:
    return true;
  case kMul:
    return constant && NonZeroFactor(item.operand.constant);
  case kPow:
    return SmallPower(item.mode, item.operand) != 0;
  default:
    return false;
  }
}

// Whether item k, infinite or NaN, meets the running value before it
// without a flag and stays so: as the first item, as a square added to
// squares, or added to, subtracted from or multiplied by a first item
// that is a constant (not 0 to multiply).
bool Joins(const std::vector<PlanItem> &items, std::size_t k, bool squares) {
  const PlanItem &item = items[k];
  if (item.mode == kFirst || squares)
    return true;
  const PlanItem &first = items[0];
  if (k != 1 || !IsLeafItem(first) ||
      first.operand.kind != PlanOperand::kConstant ||
      !IsFinite(first.operand.constant))
    return false;
  return item.mode == kAdd || item.mode == kSub ||
         (item.mode == kMul && NonZeroFactor(first.operand.constant));
}

// For each item of a group, whether its value (when a group) may meet the
// group's running value untested, infinite or NaN where the evaluator has
// read 0.0: the group's own test at its end then catches it. It may when
// it joins the running value quietly (+inf + +inf raises nothing, inf - inf
// would) and every later item meets a running value that is not finite
// without a flag, leaving it not finite. One pass forward follows the
// squares, one backward the items after: linear in the group's length.
Marks QuietMeetings(const CVisitPlan &plan,
                    const std::vector<PlanItem> &items) {
  const std::size_t n = items.size();
  Marks joins(n);
  Marks quiet(n);
  bool squares = false;
  for (std::size_t i = 0; i < n; ++i) {
    const PlanItem &item = items[i];
    const bool square = item.mode == kAdd && SquareValued(plan, item);
    quiet[i] = Quiet(item) || (square && squares);
    joins[i] = Joins(items, i, square && squares);
    if (item.mode == kFirst)
      squares = SquareValued(plan, item);
    else if (SmallPower(item.mode, item.operand) == 2)
      squares = true;
    else if (!square)
      squares = false;
  }
  Marks meets(n);
  bool laterQuiet = true;
  for (std::size_t i = n; i-- > 0;) {
    meets[i] = joins[i] && laterQuiet;
    laterQuiet = laterQuiet && quiet[i];
  }
  return meets;
}

} // namespace

// Code that can start again tests every variable it reads once, before any
// arithmetic: a value that is not finite hands the whole evaluation to the
// fallback. The largest of their exponent bits (which are never a NaN, so
// max stays quiet) is all ones when any of them is not finite. With VEX,
// variables are held in the registers the levels leave free, so that each
// is read once, and tested two to a register; those left over are read
// for the test and again where used, two to a register put together by
// halves: never two side by side read as one 16-byte operand, since a host
// has usually just set them by SetValue, and a load spanning two recent
// stores waits for both to reach the cache (several ns a point).
void CMachineWriter::TestVariables() {
  if (m_exact)
    return;
  std::size_t items = 0;
  for (const PlanGroup &group : m_plan.Groups())
    items += group.items.size();
  std::vector<const double *> variables;
  variables.reserve(items);
  for (const PlanGroup &group : m_plan.Groups())
    for (const PlanItem &item : group.items)
      if (item.kind != PlanItem::kCallback &&
          item.operand.kind == PlanOperand::kVariable)
        variables.push_back(item.operand.variable);
  if (variables.empty())
    return;
  std::sort(variables.begin(), variables.end(), std::less<const double *>());
  variables.erase(std::unique(variables.begin(), variables.end()),
                  variables.end());
  HoldVariables(variables);
  // Each step leaves the exponent bits of one or two variables in kX1 (the
  // first) or kX2, folded into kX1.
  bool first = true;
  bool pairs = false;
  const auto step = [&](bool pair) {
    if (!first)
      m_out.Maxpd(kX1, kX2);
    first = false;
    pairs = pairs || pair;
  };
  for (std::size_t k = 0; k < m_held.size(); k += 2) {
    const Xmm reg = first ? kX1 : kX2;
    const Xmm held(m_held[k].reg);
    const bool pair = k + 1 < m_held.size();
    if (pair) {
      m_out.Vunpcklpd(reg, held, Xmm(m_held[k + 1].reg));
      m_out.Andpd(reg, m_convention.mask);
    } else {
      m_out.Vandpd(reg, held, m_convention.mask);
    }
    step(pair);
  }
  for (std::size_t k = 0; k < variables.size(); ++k) {
    const Xmm reg = first ? kX1 : kX2;
    const bool pair = m_vex && k + 1 < variables.size();
    m_out.Movsd(reg, VariableMemory(variables[k]));
    if (pair)
      m_out.Movhpd(reg, VariableMemory(variables[k + 1]));
    m_out.Andpd(reg, m_convention.mask);
    step(pair);
    k += pair ? 1 : 0;
  }
  if (!pairs) {
    m_out.Ucomisd(kX1, m_convention.mask);
    m_out.Jcc(Condition::kEqual, m_notFinite);
    return;
  }
  // A half equal to the exponent bits turns all ones, its sign bit set.
  m_out.Vpcmpeqq(kX1, kX1, m_convention.mask);
  m_out.Vtestpd(kX1, kX1);
  m_out.Jcc(Condition::kNotEqual, m_notFinite);
}

// With VEX, the first variables go to the registers above those the
// plan's levels need (which then keep to them), read once here; the rest
// stay in the list, read where used.
void CMachineWriter::HoldVariables(std::vector<const double *> &variables) {
  if (!m_vex)
    return;
  const int levels = DeepestLevel(m_plan.Top(), 0) + 1;
  if (levels < m_registerLevels)
    m_registerLevels = levels;
  const std::size_t free =
      static_cast<std::size_t>(m_convention.registerLevels - m_registerLevels);
  const std::size_t count = std::min(free, variables.size());
  m_held.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const int reg =
        kFirstLevelRegister + m_registerLevels + static_cast<int>(k);
    m_held.push_back(Held{variables[k], reg});
  }
  variables.erase(variables.begin(),
                  variables.begin() + static_cast<std::ptrdiff_t>(count));
  ReloadHeld();
}

// The deepest level a group of the operand runs at, as GroupValue lays
// them out from the given level; -1 without a group.
int CMachineWriter::DeepestLevel(const PlanOperand &operand, int level) const {
  if (operand.kind != PlanOperand::kGroup)
    return -1;
  int deepest = level;
  for (const PlanItem &item : m_plan.Group(operand.group).items) {
    if (item.kind == PlanItem::kCallback)
      continue;
    const int at = item.mode == kFirst ? level : level + 1;
    deepest = std::max(deepest, DeepestLevel(item.operand, at));
  }
  return deepest;
}

void CMachineWriter::TestLevel(int level) {
  const Place place = Level(level);
  if (place.kind == Place::kRegister) {
    Test(Xmm(place.index));
    return;
  }
  Load(1, place);
  Test(kX1);
  if (m_exact)
    StoreLevel(level, 1);
}

// The group's running value at its level. With tested set, its value is
// tested for finiteness at its end. Every item's value is tested before it
// meets another (variables at entry): the evaluator reads a value that is
// not finite as 0.0, and carrying it on instead would compute inf - inf or
// inf * 0, raising the invalid flag (a trap, where the host unmasked it)
// the evaluator does not.
void CMachineWriter::GroupValue(std::size_t group, int level, bool tested) {
  if (level >= m_registerLevels) {
    m_memoryLevels = true;
    if (level > m_deepestSlot)
      m_deepestSlot = level;
  }
  const std::vector<PlanItem> &items = m_plan.Group(group).items;
  const Marks meetsQuietly = QuietMeetings(m_plan, items);
  for (std::size_t k = 0; k < items.size(); ++k) {
    const PlanItem &item = items[k];
    // A first item that is a group runs at this level: nothing is there
    // yet.
    const bool first = item.mode == kFirst;
    const Place value =
        ItemValue(item, first ? level : level + 1, !meetsQuietly[k]);
    Meet(item.mode, level, value);
  }
  if (tested || m_exact)
    TestLevel(level);
}

// An item's value, made at the given level when it is a group.
CMachineWriter::Place CMachineWriter::ItemValue(const PlanItem &item, int level,
                                                bool tested) {
  if (item.kind == PlanItem::kCallback) {
    CallBack(item.callback, level);
    return Register(0);
  }
  if (item.kind != PlanItem::kApplied)
    return OperandValue(item.operand, level, tested);
  Load(0, OperandValue(item.operand, level, true));
  // The level's own running value is not live while its first item is
  // made; saving it anyway is harmless.
  const STANDARD_NAME *row = StandardFunctionRow(item.func);
  Call(reinterpret_cast<const void *>(DirectFunction(item.func)),
       row != nullptr ? row->name : "function", level, 1);
  return Register(0);
}

CMachineWriter::Place CMachineWriter::OperandValue(const PlanOperand &operand,
                                                   int level, bool tested) {
  switch (operand.kind) {
  case PlanOperand::kConstant:
    return Place{Place::kConstant, operand.constant, 0, nullptr};
  case PlanOperand::kVariable: {
    const Place variable = Place{Place::kVariable, 0.0, 0, operand.variable};
    // Tested at entry, or on the spot in exact code.
    if (!m_exact)
      return variable;
    Load(0, variable);
    Test(kX0);
    return Register(0);
  }
  default:
    GroupValue(operand.group, level, tested);
    return Level(level);
  }
}

// The running value at level meets value by mode.
void CMachineWriter::Meet(FLAT_MODE mode, int level, const Place &value) {
  if (mode == kDrop)
    return;
  const Place running = Level(level);
  if (mode == kFirst) {
    const bool stored =
        value.kind == Place::kRegister || value.kind == Place::kSlot;
    if (stored &&
        SamePlace(running.kind, running.index, value.kind, value.index))
      return;
    if (running.kind == Place::kRegister) {
      Load(running.index, value);
    } else {
      Load(1, value);
      StoreLevel(level, 1);
    }
    return;
  }
  if (mode == kPow) {
    Power(level, value);
    return;
  }
  const ScalarOp op = mode == kAdd   ? kAddsd
                      : mode == kSub ? kSubsd
                      : mode == kMul ? kMulsd
                                     : kDivsd;
  if (running.kind == Place::kRegister) {
    Op(op, Xmm(running.index), value);
    return;
  }
  Load(1, running);
  Op(op, kX1, value);
  StoreLevel(level, 1);
}
