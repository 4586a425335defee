// The function around the values: which plans it takes, its frame, the
// ways out (the value, the fallback, a callback's throw), and Write, which
// lays it all out.
#include "execution/machine/machine_writer.h"

#include "execution/machine/host_calls.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <boost/container/map.hpp>
#include <boost/container/small_vector.hpp>

namespace {

// The first variable the plan reads, or null.
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

// Plans with callbacks lay out the argument groups holding them twice (the
// evaluator visits them twice), so at each level of nesting the code would
// double: past a budget such plans stay with the flat program.
bool WithinBudget(const CVisitPlan &plan) {
  const std::size_t kBudget = 20000;
  const std::vector<PlanGroup> &groups = plan.Groups();
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

// The plans the code takes: functions only of the library's own (called
// directly), and callbacks only within a budget of code. The flat program
// serves the others.
bool Covers(const CVisitPlan &plan) {
  bool callbacks = false;
  for (const PlanGroup &group : plan.Groups()) {
    callbacks = callbacks || group.callbacks;
    for (const PlanItem &item : group.items) {
      if (item.kind == PlanItem::kApplied && !IsLibraryFunction(item.func))
        return false;
      callbacks = callbacks || item.kind == PlanItem::kCallback;
    }
  }
  return !callbacks || WithinBudget(plan);
}

} // namespace

// The entry, marked as one for indirect branch tracking; the frame, the
// arguments kept for the fallback and the pair when calls will overwrite
// them.
void CMachineWriter::Prologue(std::int32_t frame) {
  CX86Encoder prologue(m_listing, m_convention.width);
  prologue.Endbr();
  if (frame != 0)
    prologue.SubRsp(frame);
  if (m_saveArguments)
    SaveArguments(prologue, frame);
  if (m_throws)
    prologue.MovPointer(ThrownSlot(), 0);
  if (m_baseUsed)
    prologue.Mov(m_convention.base, reinterpret_cast<std::uintptr_t>(m_base),
                 "first variable");
  m_out.Prepend(prologue);
}

// 32-bit code finds its arguments on the stack, where they stay: only the
// context word is kept, for the callbacks, and what arrives in a register
// (the owner or the pair's address), which calls overwrite.
void CMachineWriter::SaveArguments(CX86Encoder &out, std::int32_t frame) const {
  if (!Wide()) {
    if (m_convention.stackOwner < 0)
      out.Mov(OwnerSlot(), m_convention.owner);
    if (m_convention.stackResult < 0)
      out.Mov(ResultSlot(), m_convention.result);
    if (m_throws) {
      out.Mov(Gpr::kRax, StackArgument(frame, m_convention.stackContext));
      out.Mov(ContextSlot(), Gpr::kRax);
    }
    return;
  }
  out.Mov(OwnerSlot(), m_convention.owner);
  out.Mov(ContextSlot(), m_convention.context);
  if (!m_convention.pairInRegisters)
    out.Mov(ResultSlot(), m_convention.result);
}

void CMachineWriter::RestoreArguments() {
  if (!Wide()) {
    if (m_convention.stackOwner < 0)
      m_out.Mov(m_convention.owner, OwnerSlot());
    if (m_convention.stackResult < 0)
      m_out.Mov(m_convention.result, ResultSlot());
    return;
  }
  m_out.Mov(m_convention.owner, OwnerSlot());
  m_out.Mov(m_convention.context, ContextSlot());
  if (!m_convention.pairInRegisters)
    m_out.Mov(m_convention.result, ResultSlot());
}

// What a callback threw leaves the frame here, and is thrown on from the
// host's return address.
void CMachineWriter::Rethrown(std::int32_t frame) {
  if (!m_throws)
    return;
  m_out.Bind(m_thrown);
  if (!Wide()) {
    // Rethrow's argument in place of the pair's address.
    m_out.Mov(Gpr::kRax, ThrownSlot());
    if (frame != 0)
      m_out.AddRsp(frame);
    m_out.Mov(StackArgument(0, 0), Gpr::kRax);
  } else {
    m_out.Mov(m_convention.arguments[0], ThrownSlot());
    if (frame != 0)
      m_out.AddRsp(frame);
  }
  m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(&Rethrow), "Rethrow");
  m_out.Jmp(Gpr::kRax);
}

// The value in xmm0 goes back as (true, value), when it is finite;
// otherwise the code jumps on to the fallback with the arguments it was
// given.
void CMachineWriter::Return(std::int32_t frame) {
  // Exact code's value is the evaluator's own.
  if (!m_exact)
    Test(kX0);
  if (m_convention.pairInRegisters) {
    m_out.MovEax(1);
  } else {
    if (!Wide() && m_convention.stackResult >= 0)
      m_out.Mov(Gpr::kRax, StackArgument(frame, m_convention.stackResult));
    else if (m_saveArguments)
      m_out.Mov(Gpr::kRax, ResultSlot());
    else
      m_out.Lea(Gpr::kRax, Mem::At(m_convention.result));
    m_out.MovPointer(Mem::At(Gpr::kRax), 1);
    m_out.Movsd(Mem::At(Gpr::kRax, m_convention.pairValue), kX0);
  }
  if (frame != 0)
    m_out.AddRsp(frame);
  m_out.Ret(m_convention.popped);
  if (m_exact) {
    Rethrown(frame);
    return;
  }
  m_out.Bind(m_notFinite);
  if (m_saveArguments)
    RestoreArguments();
  if (frame != 0)
    m_out.AddRsp(frame);
  if (m_convention.handOver) {
    // HandOver stores what the fallback gives through the pair's pointer;
    // it takes the fallback after the arguments (64-bit), or in edx beside
    // what arrived in ecx (32-bit).
    m_out.Mov(Wide() ? m_convention.arguments[3] : Gpr::kRdx,
              reinterpret_cast<std::uintptr_t>(m_fallback), "fallback");
#if defined(VOXEVAL_PAIR_THROUGH_POINTER)
    m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(&HandOver),
              "HandOver");
#else
    m_out.Mov(Gpr::kRax, 0, "HandOver");
#endif
  } else {
    m_out.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(m_fallback),
              "fallback");
  }
  m_out.Jmp(Gpr::kRax);
}

bool CMachineWriter::Write(std::vector<std::uint8_t> &code,
                           std::vector<std::uint8_t> &data) {
  if (!Covers(m_plan))
    return false;
  // A single value is left untested: the result is tested at the end.
  m_base = Wide() ? FirstVariableOf(m_plan) : nullptr;
  if (!Wide() && m_listing)
    m_out.NameAddresses(
        reinterpret_cast<std::uintptr_t>(FirstVariableOf(m_plan)),
        "first variable");
  for (const PlanGroup &group : m_plan.Groups())
    m_exact = m_exact || group.callbacks;
  m_notFinite = m_out.NewLabel();
  std::size_t items = 0, powers = 0;
  for (const PlanGroup &group : m_plan.Groups())
    for (const PlanItem &item : group.items) {
      ++items;
      powers += SquaresInPlace() && SmallPower(item.mode, item.operand) != 0;
    }
  m_squares = powers != 0;
  // Room for the code at once: a long formula's lists do not grow by
  // copies, each of them touching fresh pages.
  m_out.Reserve(256 + 16 * items + 128 * powers, items + 3 * powers,
                16 + 6 * powers, 16 + 3 * powers);
  m_squaresByPow.reserve(powers);
  LoadTestConstants();
  ForgetRounding();
  TestVariables();
  Load(0, OperandValue(m_plan.Top(), 0, false));
  // A frame for the slots used (and the way to pow's return slot), the
  // stack aligned for calls.
  std::int32_t frame = m_convention.homeArea + 32 + 8 * (m_deepestSlot + 1);
  if (!m_squaresByPow.empty() || !m_convention.pairInRegisters)
    frame += 8;
  if (!m_convention.pairInRegisters)
    frame += 8;
  // The stack 16-aligned at calls, below the return address.
  const std::int32_t pointer = Wide() ? 8 : 4;
  frame += (16 - (frame + pointer) % 16) % 16;
  if (m_calls || m_memoryLevels) {
    m_frame = frame;
    m_saveArguments = m_calls || !m_squaresByPow.empty();
  } else if (!m_squaresByPow.empty()) {
    m_coldFrame = frame;
  }
  Return(m_frame);
  SquaresByPow();
  Prologue(m_frame);
  if (!m_out.Finish(data))
    return false;
  code.swap(m_out.Bytes());
  return true;
}

std::string ListMachineCode(const CVisitPlan &plan,
                            const MACHINE_FEATURES &features,
                            const CALLING_CONVENTION &convention) {
  CMachineWriter writer(plan, nullptr, features, convention, true);
  std::vector<std::uint8_t> code, data;
  return writer.Write(code, data) ? writer.Listing() : std::string();
}
