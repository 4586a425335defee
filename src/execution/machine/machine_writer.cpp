#include "execution/machine/machine_writer.h"

#include "builder/standard_names.h"
#include "execution/machine/host_calls.h"

#include <cfloat>
#include <cstring>

namespace {

const Xmm kX0(0), kX1(1), kX2(2);
const int kFirstLevelRegister = 3;

#if defined(__GLIBC__)
// Squares only where the C library's pow is known well enough (glibc's is
// within kPowErrorUlps of the exact value); elsewhere pow decides.
const bool kSquaresInPlace = true;
#else
const bool kSquaresInPlace = false;
#endif

// The C library's function behind a standard function, called without the
// library's own wrapper in between; others as they are.
EVAL_FUNCTION DirectFunction(EVAL_FUNCTION func, const char *&name) {
  const STANDARD_NAME *row = StandardFunctionRow(func);
  name = row != nullptr ? row->name : "function";
  return row != nullptr ? row->library : func;
}

bool SamePlace(int kindA, int indexA, int kindB, int indexB) {
  return kindA == kindB && indexA == indexB;
}

// True when raising to the item can turn an infinite or NaN running value
// into a finite one: pow(inf, 0) and pow(NaN, 0) are 1, pow(inf, -1) is 0.
// Constant positive exponents keep them infinite or NaN.
bool LosesBase(const PlanItem &item) {
  return item.mode == kPow && !(item.kind == PlanItem::kValue &&
                                item.operand.kind == PlanOperand::kConstant &&
                                item.operand.constant > 0.0);
}

} // namespace

const double *FirstVariableOf(const CVisitPlan &plan) {
  if (plan.Top().kind == PlanOperand::kVariable)
    return plan.Top().variable;
  for (const PlanGroup &group : plan.Groups()) {
    for (const PlanItem &item : group.items) {
      if (item.operand.kind == PlanOperand::kVariable)
        return item.operand.variable;
    }
  }
  return nullptr;
}

CMachineWriter::CMachineWriter(const CVisitPlan &plan,
                               MACHINE_FALLBACK fallback,
                               const MACHINE_FEATURES &features,
                               const CALLING_CONVENTION &convention,
                               std::uintptr_t base, bool listing)
    : m_plan(plan), m_fallback(fallback), m_convention(convention),
      m_codeBase(base), m_vex(features.vex), m_listing(listing), m_out(listing),
      m_registerLevels(convention.registerLevels) {}

CMachineWriter::Place CMachineWriter::Level(int level) const {
  return level < m_registerLevels ? Register(kFirstLevelRegister + level)
                                  : Slot(level);
}

// Plans with callbacks lay out the argument groups holding them twice (the
// evaluator visits them twice), so at each level of nesting the code would
// double: past a budget such plans stay with the flat program.
bool CMachineWriter::WithinBudget() const {
  const std::size_t kBudget = 20000;
  const std::vector<PlanGroup> &groups = m_plan.Groups();
  // Groups are read inner first: a group's items point at earlier groups.
  std::vector<std::size_t> cost(groups.size(), 0);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    std::size_t total = 1;
    for (const PlanItem &item : groups[g].items) {
      if (item.kind != PlanItem::kCallback &&
          item.operand.kind == PlanOperand::kGroup && item.operand.group < g)
        total += cost[item.operand.group];
      total += 1;
      if (total > kBudget)
        return false;
    }
    cost[g] = total;
  }
  return true;
}

bool CMachineWriter::Covers() const {
  bool callbacks = false;
  for (const PlanGroup &group : m_plan.Groups()) {
    callbacks = callbacks || group.callbacks;
    for (const PlanItem &item : group.items) {
      if (item.mode == kPush)
        return false;
      if (item.kind == PlanItem::kApplied && !IsLibraryFunction(item.func))
        return false;
      callbacks = callbacks || item.kind == PlanItem::kCallback;
    }
  }
  if (!callbacks)
    return true;
  // Their throws can be passed on only from code that returns the pair.
  return m_convention.returnsPair && WithinBudget();
}

bool CMachineWriter::WithinReach(const double *variable) const {
  if (m_codeBase == 0)
    return false;
  const std::intptr_t distance = reinterpret_cast<std::intptr_t>(variable) -
                                 static_cast<std::intptr_t>(m_codeBase);
  // Code longer than the margin is caught by Finish.
  const std::intptr_t reach = 0x7FFFFFFF - (std::intptr_t(1) << 28);
  return distance > -reach && distance < reach;
}

XmmOrMem CMachineWriter::Operand(const Place &value) {
  switch (value.kind) {
  case Place::kConstant:
    return Mem::Constant(value.constant);
  case Place::kRegister:
    return Xmm(value.index);
  case Place::kSlot:
    return LevelSlot(value.index);
  case Place::kVariable:
    break;
  }
  if (WithinReach(value.variable))
    return Mem::Absolute(value.variable, "variable");
  // Near the first variable (the host's variables usually are), through
  // rcx, which holds its address; elsewhere through its own.
  const std::intptr_t offset = reinterpret_cast<std::intptr_t>(value.variable) -
                               reinterpret_cast<std::intptr_t>(m_base);
  if (m_base != nullptr && offset > -0x70000000 && offset < 0x70000000) {
    m_baseUsed = true;
    return Mem::At(Gpr::kRcx, static_cast<std::int32_t>(offset));
  }
  m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(value.variable),
            "variable");
  return Mem::At(Gpr::kRax);
}

void CMachineWriter::Op(ScalarOp op, Xmm reg, const Place &value) {
  const XmmOrMem source = Operand(value);
  switch (op) {
  case kMovsd:
    if (source.isRegister)
      m_out.Movapd(reg, source.reg);
    else
      m_out.Movsd(reg, source.mem);
    return;
  case kAddsd:
    m_out.Addsd(reg, source);
    return;
  case kSubsd:
    m_out.Subsd(reg, source);
    return;
  case kMulsd:
    m_out.Mulsd(reg, source);
    return;
  case kDivsd:
    m_out.Divsd(reg, source);
    return;
  }
}

void CMachineWriter::Load(int reg, const Place &value) {
  if (value.kind == Place::kRegister && value.index == reg)
    return;
  Op(kMovsd, Xmm(reg), value);
}

void CMachineWriter::StoreLevel(int level, int reg) {
  const Place place = Level(level);
  if (place.kind == Place::kRegister) {
    Load(place.index, Register(reg));
    return;
  }
  m_out.Movsd(LevelSlot(place.index), Xmm(reg));
}

// Exact code: reg = reg when finite, else 0.0, as the evaluator has it.
// Otherwise flag |= reg - reg: zero for a finite value, a NaN (all of
// whose exponent bits and quiet bit are set) for infinity or NaN.
void CMachineWriter::Test(Xmm reg) {
  if (m_vex && !m_exact) {
    m_out.Vsubsd(kX2, reg, reg);
    m_out.Orpd(m_convention.flag, kX2);
    m_flag = true;
    return;
  }
  m_out.Movapd(kX2, reg);
  if (m_exact) {
    m_out.Andpd(kX2, m_convention.mask);
    m_out.Cmpsd(kX2, m_convention.limit, 2); // |reg| <= DBL_MAX
    m_out.Andpd(reg, kX2);
    return;
  }
  m_out.Subsd(kX2, reg);
  m_out.Orpd(m_convention.flag, kX2);
  m_flag = true;
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

// Exact code: the mask of a double's magnitude bits, and DBL_MAX.
void CMachineWriter::LoadTestConstants() {
  if (!m_exact)
    return;
  const std::uint64_t bits = 0x7FFFFFFFFFFFFFFFull;
  double mask;
  std::memcpy(&mask, &bits, sizeof mask);
  m_out.Movsd(m_convention.mask, Mem::Constant(mask));
  m_out.Movsd(m_convention.limit, Mem::Constant(DBL_MAX));
}

// Calls function(xmm0, xmm1) with the running values of levels below live
// kept in the frame.
void CMachineWriter::Call(const void *function, const char *name, int live) {
  const int saved = live < m_registerLevels ? live : m_registerLevels;
  for (int level = 0; level < saved; ++level)
    m_out.Movsd(LevelSlot(level), Xmm(kFirstLevelRegister + level));
  m_out.Movsd(FlagSlot(), m_convention.flag);
  m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(function), name);
  m_out.Call(Gpr::kRax);
  if (m_base != nullptr)
    m_out.Mov(Gpr::kRcx, reinterpret_cast<std::uintptr_t>(m_base),
              "first variable");
  LoadTestConstants();
  for (int level = 0; level < saved; ++level)
    m_out.Movsd(Xmm(kFirstLevelRegister + level), LevelSlot(level));
  m_out.Movsd(m_convention.flag, FlagSlot());
  m_calls = true;
  if (saved - 1 > m_deepestSlot)
    m_deepestSlot = saved - 1;
}

// xmm0 = callback(context), through CallHost; a throw leaves the code.
void CMachineWriter::CallBack(EVAL_CALLBACK callback, int live) {
  const Gpr *arguments = m_convention.arguments;
  m_out.Mov(arguments[0], reinterpret_cast<std::uintptr_t>(callback),
            "callback");
  m_out.Mov(arguments[1], ContextSlot());
  m_out.Lea(arguments[2], ThrownSlot());
  Call(reinterpret_cast<const void *>(&CallHost), "CallHost", live);
  m_out.CmpQword(ThrownSlot(), 0);
  if (!m_throws)
    m_thrown = m_out.NewLabel();
  m_throws = true;
  m_out.Jcc(Condition::kNotEqual, m_thrown);
}

// The group's running value at its level. With tested set, its value is
// tested for finiteness at its end. An item's value needs a test of its own
// where infinity might not reach the end: as a divisor or an exponent, or
// when a power of the running value follows.
void CMachineWriter::GroupValue(std::size_t group, int level, bool tested) {
  if (level >= m_registerLevels) {
    m_memoryLevels = true;
    if (level > m_deepestSlot)
      m_deepestSlot = level;
  }
  const std::vector<PlanItem> &items = m_plan.Group(group).items;
  std::vector<bool> powerFollows(items.size(), false);
  for (std::size_t k = items.size(); k-- > 1;)
    powerFollows[k - 1] = powerFollows[k] || LosesBase(items[k]);
  for (std::size_t k = 0; k < items.size(); ++k) {
    const FLAT_MODE mode = items[k].mode;
    const bool lossy =
        m_exact || mode == kDiv || mode == kPow || powerFollows[k];
    // A first item that is a group runs at this level: nothing is there yet.
    const Place value =
        ItemValue(items[k], mode == kFirst ? level : level + 1, lossy);
    Meet(mode, level, value);
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
  if (item.mode == kDrop) {
    // Only the argument's callbacks are seen; the function's value is not.
    OperandValue(item.operand, level, true);
    return Register(0);
  }
  Load(0, OperandValue(item.operand, level, true));
  // The level's own running value is not live while its first item is
  // made; saving it anyway is harmless.
  const char *name = nullptr;
  const EVAL_FUNCTION direct = DirectFunction(item.func, name);
  Call(reinterpret_cast<const void *>(direct), name, level);
  return Register(0);
}

CMachineWriter::Place CMachineWriter::OperandValue(const PlanOperand &operand,
                                                   int level, bool tested) {
  switch (operand.kind) {
  case PlanOperand::kConstant:
    return Place{Place::kConstant, operand.constant, 0, nullptr};
  case PlanOperand::kVariable: {
    const Place variable = Place{Place::kVariable, 0.0, 0, operand.variable};
    if (!tested && !m_exact)
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

void CMachineWriter::Power(int level, const Place &exponent) {
  const Place running = Level(level);
  if (m_vex && kSquaresInPlace && exponent.kind == Place::kConstant &&
      exponent.constant == 2.0) {
    if (running.kind == Place::kRegister) {
      Square(Xmm(running.index), level);
      return;
    }
    Load(0, running);
    Square(kX0, level);
    StoreLevel(level, 0);
    return;
  }
  Load(1, exponent);
  Load(0, running);
  Call(reinterpret_cast<const void *>(&PowerOf), "PowerOf", level);
  StoreLevel(level, 0);
}

// base = base ^ 2 in its register. The product p is what pow gives when the
// exact square lies within kPowProofUlps of p's spacing on its side (see
// evaluation/arithmetic.h): that is when p + e / (2 * kPowProofUlps) rounds
// back to p, e = a * a - p being exact from a fused multiply-add.
// Squares under 2^-970 (where e might not be exact) and NaN go to pow.
void CMachineWriter::Square(Xmm base, int live) {
  // The call below saves the live levels' registers in their slots.
  const int saved = live < m_registerLevels ? live : m_registerLevels;
  if (saved - 1 > m_deepestSlot)
    m_deepestSlot = saved - 1;
  SquareByPow cold{m_out.NewLabel(), m_out.NewLabel(), base, live};
  m_out.Vmulsd(kX1, base, base);
  m_out.Ucomisd(kX1, Mem::Constant(0x1p-970));
  m_out.Jcc(Condition::kBelow, cold.pow);
  m_out.Movapd(kX2, kX1);
  m_out.Vfmsub231sd(kX2, base, base);
  m_out.Vfmadd132sd(kX2, kX1, Mem::Constant(0.5 / kPowProofUlps));
  m_out.Ucomisd(kX2, kX1);
  // Unordered only when p is infinite, which pow gives too: ZF is set
  // then, and p stands.
  m_out.Jcc(Condition::kNotEqual, cold.pow);
  m_out.Movapd(base, kX1);
  m_out.Bind(cold.back);
  m_squaresByPow.push_back(cold);
}

// The squares left to pow, after the function's end so that the usual
// path runs straight on; each jumps back with the square in its register.
void CMachineWriter::SquaresByPow() {
  for (const SquareByPow &cold : m_squaresByPow) {
    m_out.Bind(cold.pow);
    // Without a frame on the usual path, this one makes its own and keeps
    // the owner and context word in it across the call.
    const bool keep = m_coldFrame != 0 && m_convention.returnsPair;
    if (m_coldFrame != 0)
      m_out.SubRsp(m_coldFrame);
    if (keep) {
      m_out.Mov(OwnerSlot(), m_convention.owner);
      m_out.Mov(ContextSlot(), m_convention.context);
    }
    Load(0, Register(cold.base.index));
    Load(1, Place{Place::kConstant, 2.0, 0, nullptr});
    Call(reinterpret_cast<const void *>(&PowerOf), "PowerOf", cold.live);
    Load(cold.base.index, Register(0));
    if (keep) {
      m_out.Mov(m_convention.owner, OwnerSlot());
      m_out.Mov(m_convention.context, ContextSlot());
    }
    if (m_coldFrame != 0)
      m_out.AddRsp(m_coldFrame);
    m_out.Jmp(cold.back);
  }
}

// The frame, the owner and context word kept for the fallback when
// calls will overwrite them, the flag cleared.
void CMachineWriter::Prologue(std::int32_t frame) {
  CX86Encoder prologue(m_listing);
  if (frame != 0)
    prologue.SubRsp(frame);
  if (m_saveArguments && m_convention.returnsPair) {
    prologue.Mov(OwnerSlot(), m_convention.owner);
    prologue.Mov(ContextSlot(), m_convention.context);
  }
  if (m_throws)
    prologue.MovQword(ThrownSlot(), 0);
  if (m_flag)
    prologue.Xorpd(m_convention.flag, m_convention.flag);
  if (m_baseUsed)
    prologue.Mov(Gpr::kRcx, reinterpret_cast<std::uintptr_t>(m_base),
                 "first variable");
  m_out.Prepend(prologue);
}

// The value in xmm0 goes back. As a pair, when it is finite; otherwise
// the code jumps on to the fallback with the owner and context word.
void CMachineWriter::Return(std::int32_t frame) {
  if (!m_convention.returnsPair) {
    if (frame != 0)
      m_out.AddRsp(frame);
    m_out.Ret();
    return;
  }
  if (m_exact) {
    // The value is the evaluator's own; what a callback threw leaves here.
    m_out.MovEax(1);
    if (frame != 0)
      m_out.AddRsp(frame);
    m_out.Ret();
    if (m_throws) {
      m_out.Bind(m_thrown);
      m_out.Mov(m_convention.arguments[0], ThrownSlot());
      if (frame != 0)
        m_out.AddRsp(frame);
      m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(&Rethrow),
                "Rethrow");
      m_out.Jmp(Gpr::kRax);
    }
    return;
  }
  // v - v is NaN for infinity and NaN; so is the flag once set.
  if (m_vex) {
    m_out.Vsubsd(kX1, kX0, kX0);
  } else {
    m_out.Movapd(kX1, kX0);
    m_out.Subsd(kX1, kX0);
  }
  if (m_flag)
    m_out.Orpd(kX1, m_convention.flag);
  m_out.Ucomisd(kX1, kX1);
  const Label notFinite = m_out.NewLabel();
  m_out.Jcc(Condition::kParity, notFinite);
  m_out.MovEax(1);
  if (frame != 0)
    m_out.AddRsp(frame);
  m_out.Ret();
  m_out.Bind(notFinite);
  if (m_saveArguments) {
    m_out.Mov(m_convention.owner, OwnerSlot());
    m_out.Mov(m_convention.context, ContextSlot());
  }
  if (frame != 0)
    m_out.AddRsp(frame);
  m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(m_fallback),
            "fallback");
  m_out.Jmp(Gpr::kRax);
}

bool CMachineWriter::Write(std::vector<std::uint8_t> &code) {
  if (!Covers())
    return false;
  // A single value is left untested: the result is tested at the end.
  m_base = FirstVariableOf(m_plan);
  for (const PlanGroup &group : m_plan.Groups())
    m_exact = m_exact || group.callbacks;
  if (m_exact)
    m_registerLevels = m_convention.exactRegisterLevels;
  LoadTestConstants();
  Load(0, OperandValue(m_plan.Top(), 0, false));
  // The caller tests the double: a failed test must spoil it.
  if (!m_convention.returnsPair && m_flag)
    m_out.Orpd(kX0, m_convention.flag);
  // A frame for the slots used, the stack aligned for calls.
  std::int32_t frame = m_convention.homeArea + 32 + 8 * (m_deepestSlot + 1);
  if (frame % 16 != 8)
    frame += 8;
  if (m_calls || m_memoryLevels) {
    m_frame = frame;
    m_saveArguments = m_calls || !m_squaresByPow.empty();
  } else if (!m_squaresByPow.empty()) {
    m_coldFrame = frame;
  }
  Return(m_frame);
  SquaresByPow();
  Prologue(m_frame);
  m_reached = m_out.Finish(m_codeBase);
  code.swap(m_out.Bytes());
  return true;
}

std::string ListMachineCode(const CVisitPlan &plan,
                            const MACHINE_FEATURES &features,
                            const CALLING_CONVENTION &convention) {
  CMachineWriter writer(plan, nullptr, features, convention, 0, true);
  std::vector<std::uint8_t> code;
  return writer.Write(code) ? writer.Listing() : std::string();
}
