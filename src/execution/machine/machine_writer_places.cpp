// Places and calls: where each value lives (a register, a level's slot,
// a variable, a constant) and how it moves, the constants the tests read,
// and calls, which keep the live running values in the frame across them.
// The rest of the writer builds on these.
#include "execution/machine/machine_writer.h"

#include "execution/machine/host_calls.h"

#include <cstdint>
#include <limits>

CMachineWriter::CMachineWriter(const CVisitPlan &plan,
                               MACHINE_FALLBACK fallback,
                               const MACHINE_FEATURES &features,
                               const CALLING_CONVENTION &convention,
                               bool listing)
    : m_plan(plan), m_fallback(fallback), m_convention(convention),
      m_vex(features.vex), m_listing(listing), m_out(listing, convention.width),
      m_registerLevels(convention.registerLevels) {}

CMachineWriter::Place CMachineWriter::Level(int level) const {
  return level < m_registerLevels ? Register(kFirstLevelRegister + level)
                                  : Slot(level);
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
  if (m_heldValid)
    for (const Held &held : m_held)
      if (held.variable == value.variable)
        return Xmm(held.reg);
  return VariableMemory(value.variable);
}

Mem CMachineWriter::VariableMemory(const double *variable) {
  if (!Wide())
    return Mem::Absolute(
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(variable)));
  // Near the first variable (the host's variables usually are), through
  // the base register, which holds its address; elsewhere through its own.
  const std::intptr_t offset = reinterpret_cast<std::intptr_t>(variable) -
                               reinterpret_cast<std::intptr_t>(m_base);
  if (m_base != nullptr && offset > -0x70000000 && offset < 0x70000000) {
    m_baseUsed = true;
    return Mem::At(m_convention.base, static_cast<std::int32_t>(offset));
  }
  m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(variable), "variable");
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

// The finiteness tests raise no floating-point flag: they look at the
// exponent bits alone (reg & mask, where mask holds the exponent bits, the
// bits of +inf), which are never a NaN, so even a comparison cannot signal.
// Exact code (which calls callbacks, and so cannot start again): reg =
// reg when finite, else 0.0, as the evaluator has it. Otherwise a value
// that is not finite hands the evaluation to the fallback at once, before
// any arithmetic on it; the branch stays off the values' dependency chain.
void CMachineWriter::Test(Xmm reg) {
  if (m_vex) {
    m_out.Vandpd(kX2, reg, m_convention.mask);
  } else {
    m_out.Movapd(kX2, reg);
    m_out.Andpd(kX2, m_convention.mask);
  }
  if (m_exact) {
    m_out.Cmpsd(kX2, m_convention.mask, 4); // exponent bits != all ones
    m_out.Andpd(reg, kX2);
    return;
  }
  m_out.Ucomisd(kX2, m_convention.mask);
  m_out.Jcc(Condition::kEqual, m_notFinite);
}

// Reads the held variables into their registers: at entry, and after a
// square's call of pow, which overwrites them.
void CMachineWriter::ReloadHeld() {
  for (const Held &held : m_held)
    m_out.Movsd(Xmm(held.reg), VariableMemory(held.variable));
  m_heldValid = !m_held.empty();
}

// The exponent bits, which every finiteness test reads.
void CMachineWriter::LoadTestConstants() {
  const Mem infinity = Mem::Constant(std::numeric_limits<double>::infinity());
  if (m_vex)
    m_out.Movddup(m_convention.mask, infinity); // for pairs of variables
  else
    m_out.Movsd(m_convention.mask, infinity);
}

// Clears the memory of a passed rounding test, at entry and after
// callbacks.
void CMachineWriter::ForgetRounding() {
  m_modeTested = false;
  if (m_squares)
    m_out.Clear32(m_convention.roundingKnown);
}

// Calls function with the running values of levels below live kept in the
// frame. 32-bit code passes the doubles on the stack, and takes the result
// from the x87 stack.
void CMachineWriter::Call(const void *function, const char *name, int live,
                          int doubles) {
  const int saved = live < m_registerLevels ? live : m_registerLevels;
  for (int level = 0; level < saved; ++level)
    m_out.Movsd(LevelSlot(level), Xmm(kFirstLevelRegister + level));
  // The library's functions leave the rounding mode as it is; a host's
  // callback may change it.
  const bool host = function == reinterpret_cast<const void *>(&CallHost);
  if (m_squares && !host)
    m_out.Mov(RoundingSlot(), m_convention.roundingKnown);
  for (int k = 0; !Wide() && k < doubles; ++k)
    m_out.Movsd(Mem::At(Gpr::kRsp, 8 * k), Xmm(k));
  m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(function), name);
  m_out.Call(Gpr::kRax);
  if (!Wide()) {
    m_out.Fstp(Mem::At(Gpr::kRsp));
    m_out.Movsd(kX0, Mem::At(Gpr::kRsp));
  }
  if (m_base != nullptr)
    m_out.Mov(m_convention.base, reinterpret_cast<std::uintptr_t>(m_base),
              "first variable");
  LoadTestConstants();
  if (m_squares && !host)
    m_out.Mov(m_convention.roundingKnown, RoundingSlot());
  else
    ForgetRounding();
  for (int level = 0; level < saved; ++level)
    m_out.Movsd(Xmm(kFirstLevelRegister + level), LevelSlot(level));
  m_calls = true;
  m_heldValid = false;
  if (saved - 1 > m_deepestSlot)
    m_deepestSlot = saved - 1;
}

// xmm0 = callback(context), through CallHost; a throw leaves the code.
void CMachineWriter::CallBack(EVAL_CALLBACK callback, int live) {
  if (Wide()) {
    const Gpr *arguments = m_convention.arguments;
    m_out.Mov(arguments[0], reinterpret_cast<std::uintptr_t>(callback),
              "callback");
    m_out.Mov(arguments[1], ContextSlot());
    m_out.Lea(arguments[2], ThrownSlot());
  } else {
    m_out.MovPointer(
        Mem::At(Gpr::kRsp),
        static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(callback)));
    m_out.Mov(Gpr::kRax, ContextSlot());
    m_out.Mov(Mem::At(Gpr::kRsp, 4), Gpr::kRax);
    m_out.Lea(Gpr::kRax, ThrownSlot());
    m_out.Mov(Mem::At(Gpr::kRsp, 8), Gpr::kRax);
  }
  Call(reinterpret_cast<const void *>(&CallHost), "CallHost", live, 0);
  m_out.CmpPointer(ThrownSlot(), 0);
  if (!m_throws)
    m_thrown = m_out.NewLabel();
  m_throws = true;
  m_out.Jcc(Condition::kNotEqual, m_thrown);
}
