// Laying a visit plan out as x86-64 code. Under the System V convention
// the code is the owner's Evaluate in all but name: it takes the owner and
// the context word, gives back the pair (true in eax, the value in xmm0),
// and jumps to the fallback itself. Under the Windows convention it takes
// nothing and gives a double that the owner tests. Either way it uses only
// registers the convention leaves free to use (rax, rcx, rdx and xmm0-xmm5
// everywhere; rsi, rdi and xmm6-xmm15 on System V only), so it saves none.
//
// Registers: xmm0 carries a value being made (and a called function's
// argument and result), xmm1 and xmm2 are scratch, the flag of failed
// finiteness tests has one register, and the running values of the groups
// being evaluated take the rest, the group at level s in the s-th. Deeper
// levels keep their running value in the stack frame. Around a call every
// live running value and the flag are stored in the frame and read back.
// Variables are read by displacement from the code when within reach,
// else from rcx, which holds the first variable's address, else by their
// full address.
//
// Plans that call host callbacks cannot be evaluated twice (the host would
// see its callbacks called twice), so their code is exact: every value the
// evaluator tests is tested on the spot, as it does. Callbacks are called
// through CallHost, which catches what they throw; the code then leaves
// its frame and jumps to Rethrow, so that the exception passes to the host
// without crossing the machine code's frame, of which the unwinder knows
// nothing. That needs the pair returned in registers (System V).
#include "evaluation/machine_program.h"

#include "builder/expression_builder.h"
#include "evaluation/flat_program.h"
#include "platform/executable_memory.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <new>
#include <vector>

// The C library's own functions, by their C names.
#include <math.h>

#if defined(__x86_64__) || defined(_M_X64)
#define VOXEVAL_MACHINE_CODE 1
#endif

#if defined(VOXEVAL_MACHINE_CODE)
namespace {

#if defined(_WIN32)
// Windows keeps xmm6-xmm15 for the caller; two levels in registers.
const int kRegisterLevels = 2;
const int kFlagRegister = 5;
#else
const int kRegisterLevels = 12;
const int kFlagRegister = 15;
// Exact code keeps the finiteness test's mask and bound in two registers
// of the levels'.
const int kExactRegisterLevels = 10;
const int kMaskRegister = 13;
const int kLimitRegister = 14;
#endif
const int kFirstLevelRegister = 3;
// The callee's home area under the Windows convention; kept everywhere.
const int kHomeArea = 32;

// Prefixes and opcodes (after 0F) of the SSE2 instructions used.
const int kScalarDouble = 0xF2;
const int kPackedDouble = 0x66;
enum SSE_OP {
  kLoad = 0x10,  // movsd xmm, m64
  kStore = 0x11, // movsd m64, xmm
  kMove = 0x28,  // movapd xmm, xmm (with 66)
  kAddOp = 0x58,
  kMulOp = 0x59,
  kSubOp = 0x5C,
  kDivOp = 0x5E,
  kCompare = 0x2E, // ucomisd (with 66)
  kAnd = 0x54,     // andpd (with 66)
  kOr = 0x56,      // orpd (with 66)
  kXor = 0x57,     // xorpd (with 66)
};

// Where a value is: a constant in the pool, a register, a slot of the
// frame, or a variable read through its address.
struct Place {
  enum Kind { kConstant, kRegister, kSlot, kVariable } kind;
  double constant;
  int index; // register or slot
  const double *variable;
};

Place Register(int r) { return Place{Place::kRegister, 0.0, r, nullptr}; }
Place Slot(int s) { return Place{Place::kSlot, 0.0, s, nullptr}; }

bool SamePlace(const Place &a, const Place &b) {
  return a.kind == b.kind && a.index == b.index &&
         (a.kind == Place::kRegister || a.kind == Place::kSlot);
}

// The few encodings the layout needs, into a byte buffer with a constant
// pool addressed relative to the instruction pointer.
class CCodeWriter {
public:
  std::vector<std::uint8_t> &Bytes() { return m_code; }

  void Byte(int b) { m_code.push_back(static_cast<std::uint8_t>(b)); }
  void Word(std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      Byte(static_cast<int>((v >> (8 * i)) & 0xFF));
  }
  void Quad(std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
      Byte(static_cast<int>((v >> (8 * i)) & 0xFF));
  }

  // REX with the high bits of the reg and rm fields, when either is set.
  void Rex(bool wide, int reg, int rm) {
    const int rex =
        0x40 | (wide ? 8 : 0) | ((reg >> 3) & 1) << 2 | ((rm >> 3) & 1);
    if (rex != 0x40)
      Byte(rex);
  }

  // op xmm(reg), xmm(rm)
  void SseRegister(int prefix, int op, int reg, int rm) {
    Byte(prefix);
    Rex(false, reg, rm);
    Byte(0x0F);
    Byte(op);
    Byte(0xC0 | (reg & 7) << 3 | (rm & 7));
  }
  // op xmm(reg), [rsp + offset]
  void SseFrame(int prefix, int op, int reg, std::int32_t offset) {
    Byte(prefix);
    Rex(false, reg, 0);
    Byte(0x0F);
    Byte(op);
    Byte(0x84 | (reg & 7) << 3);
    Byte(0x24);
    Word(static_cast<std::uint32_t>(offset));
  }
  // op xmm(reg), [rax]
  void SseAtRax(int prefix, int op, int reg) {
    Byte(prefix);
    Rex(false, reg, 0);
    Byte(0x0F);
    Byte(op);
    Byte((reg & 7) << 3);
  }
  // op xmm(reg), [rcx + offset]
  void SseAtRcx(int prefix, int op, int reg, std::int32_t offset) {
    Byte(prefix);
    Rex(false, reg, 0);
    Byte(0x0F);
    Byte(op);
    Byte(0x81 | (reg & 7) << 3);
    Word(static_cast<std::uint32_t>(offset));
  }
  // op xmm(reg), [rip + the constant's place in the pool]
  void SseConstant(int prefix, int op, int reg, double value) {
    Byte(prefix);
    Rex(false, reg, 0);
    Byte(0x0F);
    Byte(op);
    Byte(0x05 | (reg & 7) << 3);
    PoolReference(value);
  }
  // A displacement to the constant's place in the pool, set once the pool
  // is laid out; it ends the instruction.
  void PoolReference(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    auto found = m_poolIndex.find(bits);
    if (found == m_poolIndex.end())
      found = m_poolIndex.emplace(bits, m_pool.size()).first;
    if (found->second == m_pool.size())
      m_pool.push_back(bits);
    m_poolUses.push_back(PoolUse{m_code.size(), found->second});
    Word(0);
  }

  // mov r64, imm64
  void MoveImmediate(int r, std::uint64_t v) {
    Rex(true, 0, r);
    Byte(0xB8 | (r & 7));
    Quad(v);
  }

  void CallRax() {
    Byte(0xFF);
    Byte(0xD0);
  }
  void JumpRax() {
    Byte(0xFF);
    Byte(0xE0);
  }
  // mov [rsp + offset], r64 or mov r64, [rsp + offset]
  void FrameInteger(bool store, int r, std::int32_t offset) {
    Rex(true, r, 0);
    Byte(store ? 0x89 : 0x8B);
    Byte(0x84 | (r & 7) << 3);
    Byte(0x24);
    Word(static_cast<std::uint32_t>(offset));
  }

  // The three-byte VEX prefix and opcode: map 1 is 0F, 2 is 0F38; pp 1
  // stands for 66, 3 for F2; v is the second source.
  void Vex(int map, bool w, int pp, int reg, int v, int rm, int op) {
    Byte(0xC4);
    Byte((~reg >> 3 & 1) << 7 | 1 << 6 | (~rm >> 3 & 1) << 5 | map);
    Byte((w ? 0x80 : 0) | (~v & 15) << 3 | pp);
    Byte(op);
  }
  // vOPsd xmm(d), xmm(a), xmm(b): d = a op b.
  void VexScalar(int op, int d, int a, int b) {
    Vex(1, false, 3, d, a, b, op);
    Byte(0xC0 | (d & 7) << 3 | (b & 7));
  }
  // vfmsub231sd xmm(d), xmm(a), xmm(b): d = a * b - d in one rounding.
  void FusedMultiplySubtract(int d, int a, int b) {
    Vex(2, true, 1, d, a, b, 0xBB);
    Byte(0xC0 | (d & 7) << 3 | (b & 7));
  }
  // vfmadd132sd xmm(d), xmm(a), [constant]: d = d * constant + a in one
  // rounding.
  void FusedMultiplyAddConstant(int d, int a, double constant) {
    Vex(2, true, 1, d, a, 0, 0x99);
    Byte(0x05 | (d & 7) << 3);
    PoolReference(constant);
  }
  // mov qword [rsp + offset], 0
  void ClearFrameWord(std::int32_t offset) {
    Byte(0x48);
    Byte(0xC7);
    Byte(0x84);
    Byte(0x24);
    Word(static_cast<std::uint32_t>(offset));
    Word(0);
  }
  // cmp qword [rsp + offset], 0
  void TestFrameWord(std::int32_t offset) {
    Byte(0x48);
    Byte(0x83);
    Byte(0xBC);
    Byte(0x24);
    Word(static_cast<std::uint32_t>(offset));
    Byte(0);
  }
  // lea r64, [rsp + offset]
  void FrameAddress(int r, std::int32_t offset) {
    Rex(true, r, 0);
    Byte(0x8D);
    Byte(0x84 | (r & 7) << 3);
    Byte(0x24);
    Word(static_cast<std::uint32_t>(offset));
  }
  // cmpsd xmm(reg), xmm(rm), predicate
  void CompareScalar(int reg, int rm, int predicate) {
    SseRegister(kScalarDouble, 0xC2, reg, rm);
    Byte(predicate);
  }
  // mov eax, imm32
  void MoveEax(std::uint32_t v) {
    Byte(0xB8);
    Word(v);
  }
  void AdjustStack(bool down, std::int32_t bytes) {
    Byte(0x48);
    Byte(0x81);
    Byte(down ? 0xEC : 0xC4);
    Word(static_cast<std::uint32_t>(bytes));
  }
  void Return() { Byte(0xC3); }

  // A jump whose target is set later; cc < 0 for an unconditional one.
  std::size_t Jump(int cc) {
    if (cc < 0) {
      Byte(0xE9);
    } else {
      Byte(0x0F);
      Byte(0x80 | cc);
    }
    Word(0);
    return m_code.size();
  }
  // jmp to a place already written.
  void JumpBack(std::size_t target) {
    Byte(0xE9);
    Word(static_cast<std::uint32_t>(target - (m_code.size() + 4)));
  }
  void Land(std::size_t jumpEnd) {
    const std::uint32_t distance =
        static_cast<std::uint32_t>(m_code.size() - jumpEnd);
    std::memcpy(&m_code[jumpEnd - 4], &distance, 4);
  }

  // op xmm(reg), [rip + displacement to target]: the code's own address
  // must be known, and the target within reach of it.
  void SseAbsolute(int prefix, int op, int reg, const void *target) {
    Byte(prefix);
    Rex(false, reg, 0);
    Byte(0x0F);
    Byte(op);
    Byte(0x05 | (reg & 7) << 3);
    m_absoluteUses.push_back(
        AbsoluteUse{m_code.size(), reinterpret_cast<std::uintptr_t>(target)});
    Word(0);
  }

  // Puts bytes before all that is written: the pool's users move along.
  void Prepend(const std::vector<std::uint8_t> &bytes) {
    m_code.insert(m_code.begin(), bytes.begin(), bytes.end());
    for (PoolUse &use : m_poolUses)
      use.at += bytes.size();
    for (AbsoluteUse &use : m_absoluteUses)
      use.at += bytes.size();
  }

  // Appends the pool after the code and points its users at it, and the
  // users of addresses outside at those, for code placed at base. False
  // when one of those is out of reach.
  bool Finish(std::uintptr_t base) {
    PlacePool();
    bool reached = true;
    for (const AbsoluteUse &use : m_absoluteUses) {
      const std::intptr_t distance =
          static_cast<std::intptr_t>(use.target - (base + use.at + 4));
      reached = reached && distance >= INT32_MIN && distance <= INT32_MAX;
      const std::uint32_t bits = static_cast<std::uint32_t>(distance);
      std::memcpy(&m_code[use.at], &bits, 4);
    }
    return reached;
  }

  // Appends the pool after the code and points its users at it.
  void PlacePool() {
    while (m_code.size() % 8 != 0)
      Byte(0xCC);
    const std::size_t start = m_code.size();
    for (std::uint64_t bits : m_pool)
      Quad(bits);
    for (const PoolUse &use : m_poolUses) {
      const std::uint32_t distance =
          static_cast<std::uint32_t>(start + 8 * use.index - (use.at + 4));
      std::memcpy(&m_code[use.at], &distance, 4);
    }
  }

private:
  struct PoolUse {
    std::size_t at;
    std::size_t index;
  };
  struct AbsoluteUse {
    std::size_t at;
    std::uintptr_t target;
  };
  std::vector<AbsoluteUse> m_absoluteUses;
  std::vector<std::uint8_t> m_code;
  std::vector<std::uint64_t> m_pool;
  std::map<std::uint64_t, std::size_t> m_poolIndex;
  std::vector<PoolUse> m_poolUses;
};

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

#if defined(__GLIBC__) && defined(__GNUC__)
// Squares are taken without pow where this processor (and the system, which
// must keep the wider registers) can multiply and add in one rounding.
bool HasFusedMultiply() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx");
}
#else
// Squares only where the C library's pow is known well enough (glibc's is
// within 0.54 ulp of the exact value); elsewhere pow decides.
bool HasFusedMultiply() { return false; }
#endif

#if defined(VOXEVAL_MACHINE_PAIR)
// What CallHost leaves in the code's slot when the callback throws and no
// memory is left to keep the exception in.
void *const kLostException = reinterpret_cast<void *>(1);

// Calls the host's callback. What it throws is kept on the heap and its
// address left in *thrown, for the code to hand to Rethrow.
double CallHost(EVAL_CALLBACK callback, std::uintptr_t context, void **thrown) {
  try {
    return callback(context);
  } catch (...) {
    std::exception_ptr *kept =
        new (std::nothrow) std::exception_ptr(std::current_exception());
    *thrown = kept != nullptr ? static_cast<void *>(kept) : kLostException;
    return 0.0;
  }
}

// Jumped to with the host's return address on the stack: throws on from
// there what CallHost kept.
[[noreturn]] void Rethrow(void *thrown) {
  if (thrown == kLostException)
    throw std::bad_alloc();
  std::exception_ptr *kept = static_cast<std::exception_ptr *>(thrown);
  const std::exception_ptr exception = *kept;
  delete kept;
  std::rethrow_exception(exception);
}
#endif

const int kRax = 0;
const int kRcx = 1;
const int kRdx = 2;
const int kRsi = 6;
const int kRdi = 7;
const int kBelow = 2;
const int kNotEqual = 5;
const int kParity = 10;

// The C library's function behind a standard function of the name table,
// called without the library's own wrapper in between; others as they are.
EVAL_FUNCTION DirectFunction(EVAL_FUNCTION func) {
  static const char *const kNames[] = {"sin", "cos", "tan", "exp", "log"};
  static double (*const kTargets[])(double) = {::sin, ::cos, ::tan, ::exp,
                                               ::log};
  for (std::size_t i = 0; i < 5; ++i) {
    if (func == StandardFunction(kNames[i]))
      return kTargets[i];
  }
  return func;
}

class CMachineWriter {
public:
  // With a base, the code is laid out to run there and reach variables
  // within 2 GiB of it directly (see Reached). Without one, it runs
  // anywhere.
  CMachineWriter(const CVisitPlan &plan, MACHINE_FALLBACK fallback,
                 std::uintptr_t base = 0)
      : m_plan(plan), m_fallback(fallback), m_codeBase(base) {}

  // False when code laid out for a base came out too long to reach all
  // the variables it reads directly; it must then be laid out anew.
  bool Reached() const { return m_reached; }

  // The whole function, or false for a plan it does not take.
  bool Write(std::vector<std::uint8_t> &code);

private:
  bool Covers() const;
  Place Level(int level) const {
    return level < m_registerLevels ? Register(kFirstLevelRegister + level)
                                    : Slot(level);
  }
  // The flag's slot first, the owner's, the context word's and the one
  // for what a callback throws, then one per level.
  std::int32_t FlagOffset() const { return kHomeArea; }
  std::int32_t OwnerOffset() const { return kHomeArea + 8; }
  std::int32_t ContextOffset() const { return kHomeArea + 16; }
  std::int32_t ThrownOffset() const { return kHomeArea + 24; }
  std::int32_t SlotOffset(int slot) const { return kHomeArea + 32 + 8 * slot; }

  void GroupValue(std::size_t group, int level, bool tested);
  Place ItemValue(const PlanItem &item, int level, bool tested);
  Place OperandValue(const PlanOperand &operand, int level, bool tested);
  void Meet(FLAT_MODE mode, int level, const Place &value);
  void Power(int level, const Place &exponent);
  void Square(int base, int live);
  void SquaresByPow();

  void Op(int op, int reg, const Place &value);
  void Load(int reg, const Place &value);
  void StoreLevel(int level, int reg);
  void Test(int reg);
  void TestLevel(int level);
  void Call(const void *function, int live);
  void CallBack(EVAL_CALLBACK callback, int live);
  void LoadTestConstants();
  bool WithinBudget() const;

  void Return(std::int32_t frame);
  void Prologue(std::int32_t frame);

  bool WithinReach(const double *variable) const;

  const CVisitPlan &m_plan;
  MACHINE_FALLBACK m_fallback;
  std::uintptr_t m_codeBase;
  bool m_reached = true;
  CCodeWriter m_out;
  int m_deepestSlot = -1;
  int m_registerLevels = kRegisterLevels;
  // Every tested value tested on the spot: the plan calls callbacks.
  bool m_exact = false;
  // Callbacks are called: their throws leave through one jump.
  std::vector<std::size_t> m_throws;
  bool m_calls = false;
  // Some levels keep their running values in the frame.
  bool m_memoryLevels = false;
  // The frame's size when the usual path has one, else 0; the squares left
  // to pow then make one of their own, of coldFrame bytes.
  std::int32_t m_frame = 0;
  std::int32_t m_coldFrame = 0;
  // The owner and context word are kept in the frame for the fallback.
  bool m_saveArguments = false;
  bool m_flag = false;
  // The processor and system offer fused multiply-add, and with it the
  // three-operand (VEX) forms, which spare copies.
  bool m_vex = false;
  // Squares whose tests failed: where their jumps go and where they
  // return.
  struct SquareByPow {
    std::size_t jumps[2];
    std::size_t back;
    int base;
    int live;
  };
  std::vector<SquareByPow> m_squaresByPow;
  // The variable whose address rcx holds.
  const double *m_base = nullptr;
  bool m_baseUsed = false;
};

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
#if !defined(VOXEVAL_MACHINE_PAIR)
  // Their throws cannot be passed on from the code here.
  return false;
#endif
  return WithinBudget();
}

void CMachineWriter::Op(int op, int reg, const Place &value) {
  switch (value.kind) {
  case Place::kConstant:
    m_out.SseConstant(kScalarDouble, op, reg, value.constant);
    return;
  case Place::kRegister:
    if (op == kLoad)
      m_out.SseRegister(kPackedDouble, kMove, reg, value.index);
    else
      m_out.SseRegister(kScalarDouble, op, reg, value.index);
    return;
  case Place::kSlot:
    m_out.SseFrame(kScalarDouble, op, reg, SlotOffset(value.index));
    return;
  case Place::kVariable: {
    if (WithinReach(value.variable)) {
      m_out.SseAbsolute(kScalarDouble, op, reg, value.variable);
      return;
    }
    // Near the first variable (the host's variables usually are), through
    // rcx, which holds its address; elsewhere through its own.
    const std::intptr_t offset =
        reinterpret_cast<std::intptr_t>(value.variable) -
        reinterpret_cast<std::intptr_t>(m_base);
    if (m_base != nullptr && offset > -0x70000000 && offset < 0x70000000) {
      m_out.SseAtRcx(kScalarDouble, op, reg, static_cast<std::int32_t>(offset));
      m_baseUsed = true;
      return;
    }
    m_out.MoveImmediate(kRax, reinterpret_cast<std::uintptr_t>(value.variable));
    m_out.SseAtRax(kScalarDouble, op, reg);
    return;
  }
  }
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

void CMachineWriter::Load(int reg, const Place &value) {
  if (value.kind == Place::kRegister && value.index == reg)
    return;
  Op(kLoad, reg, value);
}

void CMachineWriter::StoreLevel(int level, int reg) {
  const Place place = Level(level);
  if (place.kind == Place::kRegister) {
    Load(place.index, Register(reg));
    return;
  }
  m_out.SseFrame(kScalarDouble, kStore, reg, SlotOffset(place.index));
}

// Exact code: reg = reg when finite, else 0.0, as the evaluator has it.
// Otherwise flag |= reg - reg: zero for a finite value, a NaN (all of
// whose exponent bits and quiet bit are set) for infinity or NaN.
void CMachineWriter::Test(int reg) {
  if (m_vex && !m_exact) {
    m_out.VexScalar(kSubOp, 2, reg, reg);
    m_out.SseRegister(kPackedDouble, kOr, kFlagRegister, 2);
    m_flag = true;
    return;
  }
  m_out.SseRegister(kPackedDouble, kMove, 2, reg);
  if (m_exact) {
#if defined(VOXEVAL_MACHINE_PAIR)
    m_out.SseRegister(kPackedDouble, kAnd, 2, kMaskRegister);
    m_out.CompareScalar(2, kLimitRegister, 2); // |reg| <= DBL_MAX
    m_out.SseRegister(kPackedDouble, kAnd, reg, 2);
#endif
    return;
  }
  m_out.SseRegister(kScalarDouble, kSubOp, 2, reg);
  m_out.SseRegister(kPackedDouble, kOr, kFlagRegister, 2);
  m_flag = true;
}

void CMachineWriter::TestLevel(int level) {
  const Place place = Level(level);
  if (place.kind == Place::kRegister) {
    Test(place.index);
    return;
  }
  Load(1, place);
  Test(1);
  if (m_exact)
    StoreLevel(level, 1);
}

// The mask of a double's magnitude bits, and DBL_MAX.
void CMachineWriter::LoadTestConstants() {
#if defined(VOXEVAL_MACHINE_PAIR)
  if (!m_exact)
    return;
  std::uint64_t bits = 0x7FFFFFFFFFFFFFFFull;
  double mask;
  std::memcpy(&mask, &bits, sizeof mask);
  m_out.SseConstant(kScalarDouble, kLoad, kMaskRegister, mask);
  m_out.SseConstant(kScalarDouble, kLoad, kLimitRegister, DBL_MAX);
#endif
}

// Calls function(xmm0, xmm1) with the running values of levels below live
// kept in the frame.
void CMachineWriter::Call(const void *function, int live) {
  const int saved = live < m_registerLevels ? live : m_registerLevels;
  for (int level = 0; level < saved; ++level)
    m_out.SseFrame(kScalarDouble, kStore, kFirstLevelRegister + level,
                   SlotOffset(level));
  m_out.SseFrame(kScalarDouble, kStore, kFlagRegister, FlagOffset());
  m_out.MoveImmediate(kRax, reinterpret_cast<std::uintptr_t>(function));
  m_out.CallRax();
  if (m_base != nullptr)
    m_out.MoveImmediate(kRcx, reinterpret_cast<std::uintptr_t>(m_base));
  LoadTestConstants();
  for (int level = 0; level < saved; ++level)
    m_out.SseFrame(kScalarDouble, kLoad, kFirstLevelRegister + level,
                   SlotOffset(level));
  m_out.SseFrame(kScalarDouble, kLoad, kFlagRegister, FlagOffset());
  m_calls = true;
  if (saved - 1 > m_deepestSlot)
    m_deepestSlot = saved - 1;
}

// True when raising to the item can turn an infinite or NaN running value
// into a finite one: pow(inf, 0) and pow(NaN, 0) are 1, pow(inf, -1) is 0.
// Constant positive exponents keep them infinite or NaN.
bool LosesBase(const PlanItem &item) {
  return item.mode == kPow && !(item.kind == PlanItem::kValue &&
                                item.operand.kind == PlanOperand::kConstant &&
                                item.operand.constant > 0.0);
}

// xmm0 = callback(context), through CallHost; a throw leaves the code.
void CMachineWriter::CallBack(EVAL_CALLBACK callback, int live) {
#if defined(VOXEVAL_MACHINE_PAIR)
  m_out.MoveImmediate(kRdi, reinterpret_cast<std::uintptr_t>(callback));
  m_out.FrameInteger(false, kRsi, ContextOffset());
  m_out.FrameAddress(kRdx, ThrownOffset());
  Call(reinterpret_cast<const void *>(&CallHost), live);
  m_out.TestFrameWord(ThrownOffset());
  m_throws.push_back(m_out.Jump(kNotEqual));
#else
  (void)callback;
  (void)live;
#endif
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
Place CMachineWriter::ItemValue(const PlanItem &item, int level, bool tested) {
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
  Call(reinterpret_cast<const void *>(DirectFunction(item.func)), level);
  return Register(0);
}

Place CMachineWriter::OperandValue(const PlanOperand &operand, int level,
                                   bool tested) {
  switch (operand.kind) {
  case PlanOperand::kConstant:
    return Place{Place::kConstant, operand.constant, 0, nullptr};
  case PlanOperand::kVariable: {
    const Place variable = Place{Place::kVariable, 0.0, 0, operand.variable};
    if (!tested && !m_exact)
      return variable;
    Load(0, variable);
    Test(0);
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
    if (SamePlace(running, value))
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
  const int op = mode == kAdd   ? kAddOp
                 : mode == kSub ? kSubOp
                 : mode == kMul ? kMulOp
                                : kDivOp;
  if (running.kind == Place::kRegister) {
    Op(op, running.index, value);
    return;
  }
  Load(1, running);
  Op(op, 1, value);
  StoreLevel(level, 1);
}

void CMachineWriter::Power(int level, const Place &exponent) {
  const Place running = Level(level);
  if (m_vex && exponent.kind == Place::kConstant && exponent.constant == 2.0) {
    if (running.kind == Place::kRegister) {
      Square(running.index, level);
      return;
    }
    Load(0, running);
    Square(0, level);
    StoreLevel(level, 0);
    return;
  }
  Load(1, exponent);
  Load(0, running);
  Call(reinterpret_cast<const void *>(&PowerOf), level);
  StoreLevel(level, 0);
}

// base = base ^ 2 in its register. The product p is what pow gives when the
// exact square lies within 0.459 ulp of p (glibc's pow is within 0.54 ulp of
// it, and the neighbours of p are a whole ulp away): that is when p + 1.09 * e
// rounds back to p, e = a * a - p being exact from a fused multiply-add.
// Squares under 2^-970 (where e might not be exact) and NaN go to pow.
void CMachineWriter::Square(int base, int live) {
  // The call below saves the live levels' registers in their slots.
  const int saved = live < m_registerLevels ? live : m_registerLevels;
  if (saved - 1 > m_deepestSlot)
    m_deepestSlot = saved - 1;
  m_out.VexScalar(kMulOp, 1, base, base);
  m_out.SseConstant(kPackedDouble, kCompare, 1, 0x1p-970);
  SquareByPow cold;
  cold.base = base;
  cold.live = live;
  cold.jumps[0] = m_out.Jump(kBelow);
  m_out.SseRegister(kPackedDouble, kMove, 2, 1);
  m_out.FusedMultiplySubtract(2, base, base);
  m_out.FusedMultiplyAddConstant(2, 1, 1.09);
  m_out.SseRegister(kPackedDouble, kCompare, 2, 1);
  // Unordered only when p is infinite, which pow gives too: ZF is set
  // then, and p stands.
  cold.jumps[1] = m_out.Jump(kNotEqual);
  m_out.SseRegister(kPackedDouble, kMove, base, 1);
  cold.back = m_out.Bytes().size();
  m_squaresByPow.push_back(cold);
}

// The squares left to pow, after the function's end so that the usual
// path runs straight on; each jumps back with the square in xmm0.
void CMachineWriter::SquaresByPow() {
  for (const SquareByPow &cold : m_squaresByPow) {
    for (std::size_t jump : cold.jumps)
      m_out.Land(jump);
    // Without a frame on the usual path, this one makes its own and keeps
    // the owner and context word in it across the call.
    if (m_coldFrame != 0) {
      m_out.AdjustStack(true, m_coldFrame);
      m_out.FrameInteger(true, kRdi, OwnerOffset());
      m_out.FrameInteger(true, kRsi, ContextOffset());
    }
    Load(0, Register(cold.base));
    Load(1, Place{Place::kConstant, 2.0, 0, nullptr});
    Call(reinterpret_cast<const void *>(&PowerOf), cold.live);
    Load(cold.base, Register(0));
    if (m_coldFrame != 0) {
      m_out.FrameInteger(false, kRdi, OwnerOffset());
      m_out.FrameInteger(false, kRsi, ContextOffset());
      m_out.AdjustStack(false, m_coldFrame);
    }
    m_out.JumpBack(cold.back);
  }
}

// The frame, the owner and context word kept for the fallback when
// calls will overwrite them, the flag cleared.
void CMachineWriter::Prologue(std::int32_t frame) {
  CCodeWriter prologue;
  if (frame != 0)
    prologue.AdjustStack(true, frame);
#if defined(VOXEVAL_MACHINE_PAIR)
  if (m_saveArguments) {
    prologue.FrameInteger(true, kRdi, OwnerOffset());
    prologue.FrameInteger(true, kRsi, ContextOffset());
  }
#endif
  if (!m_throws.empty())
    prologue.ClearFrameWord(ThrownOffset());
  if (m_flag)
    prologue.SseRegister(kPackedDouble, kXor, kFlagRegister, kFlagRegister);
  if (m_baseUsed)
    prologue.MoveImmediate(kRcx, reinterpret_cast<std::uintptr_t>(m_base));
  m_out.Prepend(prologue.Bytes());
}

// The value in xmm0 goes back. As a pair, when it is finite; otherwise
// the code jumps on to the fallback with the owner and context word.
void CMachineWriter::Return(std::int32_t frame) {
#if defined(VOXEVAL_MACHINE_PAIR)
  if (m_exact) {
    // The value is the evaluator's own; what a callback threw leaves here.
    m_out.MoveEax(1);
    if (frame != 0)
      m_out.AdjustStack(false, frame);
    m_out.Return();
    for (std::size_t jump : m_throws)
      m_out.Land(jump);
    if (!m_throws.empty()) {
      m_out.FrameInteger(false, kRdi, ThrownOffset());
      if (frame != 0)
        m_out.AdjustStack(false, frame);
      m_out.MoveImmediate(kRax, reinterpret_cast<std::uintptr_t>(&Rethrow));
      m_out.JumpRax();
    }
    return;
  }
  // v - v is NaN for infinity and NaN; so is the flag once set.
  if (m_vex) {
    m_out.VexScalar(kSubOp, 1, 0, 0);
  } else {
    m_out.SseRegister(kPackedDouble, kMove, 1, 0);
    m_out.SseRegister(kScalarDouble, kSubOp, 1, 0);
  }
  if (m_flag)
    m_out.SseRegister(kPackedDouble, kOr, 1, kFlagRegister);
  m_out.SseRegister(kPackedDouble, kCompare, 1, 1);
  const std::size_t notFinite = m_out.Jump(kParity);
  m_out.MoveEax(1);
  if (frame != 0)
    m_out.AdjustStack(false, frame);
  m_out.Return();
  m_out.Land(notFinite);
  if (m_saveArguments) {
    m_out.FrameInteger(false, kRdi, OwnerOffset());
    m_out.FrameInteger(false, kRsi, ContextOffset());
  }
  if (frame != 0)
    m_out.AdjustStack(false, frame);
  m_out.MoveImmediate(kRax, reinterpret_cast<std::uintptr_t>(m_fallback));
  m_out.JumpRax();
#else
  if (frame != 0)
    m_out.AdjustStack(false, frame);
  m_out.Return();
#endif
}

bool CMachineWriter::Write(std::vector<std::uint8_t> &code) {
  if (!Covers())
    return false;
  m_vex = HasFusedMultiply();
  // A single value is left untested: the result is tested at the end.
  m_base = FirstVariableOf(m_plan);
  for (const PlanGroup &group : m_plan.Groups())
    m_exact = m_exact || group.callbacks;
#if defined(VOXEVAL_MACHINE_PAIR)
  if (m_exact)
    m_registerLevels = kExactRegisterLevels;
#endif
  LoadTestConstants();
  Load(0, OperandValue(m_plan.Top(), 0, false));
#if !defined(VOXEVAL_MACHINE_PAIR)
  if (m_flag)
    m_out.SseRegister(kPackedDouble, kOr, 0, kFlagRegister);
#endif
  // A frame for the slots used, the stack aligned for calls.
  std::int32_t frame = SlotOffset(m_deepestSlot + 1);
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

} // namespace
#endif

#if defined(VOXEVAL_MACHINE_CODE)
namespace {

// Where to ask for the pages of code that reads the variable: in the GiB
// below it less 256 MiB (the heap grows upward from a free space), at a
// 64 KiB step chosen by salt, so that expressions compiled in turn seldom
// ask for the same place. Null for no variable.
const void *PlaceNear(const double *variable, const void *salt) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(variable);
  const std::uintptr_t below = std::uintptr_t(1) << 28;
  const std::uintptr_t step = std::uintptr_t(1) << 16;
  const std::uintptr_t steps = (std::uintptr_t(1) << 30) / step;
  if (variable == nullptr || at < below + (steps + 1) * step)
    return nullptr;
  const std::uintptr_t mixed =
      (reinterpret_cast<std::uintptr_t>(salt) >> 4) * 0x9E3779B97F4A7C15ull;
  const std::uintptr_t k = (mixed >> 40) % steps;
  return reinterpret_cast<const void *>(((at - below) & ~(step - 1)) -
                                        k * step);
}

} // namespace
#endif

CMachineProgram::~CMachineProgram() { Release(); }

double CMachineProgram::Unavailable() {
  return std::numeric_limits<double>::quiet_NaN();
}

#if defined(VOXEVAL_MACHINE_CODE)
namespace {

// The code for the given place (null: anywhere). False for plans the code
// does not take.
bool LayOut(const CVisitPlan &plan, MACHINE_FALLBACK fallback,
            const void *place, std::vector<std::uint8_t> &code) {
  CMachineWriter there(plan, fallback, reinterpret_cast<std::uintptr_t>(place));
  if (!there.Write(code))
    return false;
  if (there.Reached())
    return true;
  CMachineWriter anywhere(plan, fallback);
  return anywhere.Write(code);
}

} // namespace
#endif

bool CMachineProgram::Build(const CVisitPlan &plan, CCodeArena &arena) {
  Release();
#if defined(VOXEVAL_MACHINE_CODE)
  // Laid out for where the arena's next block starts. Should the block go
  // elsewhere (a new chunk), laid out again for that place, or, when that
  // is longer, for anywhere, in a block of its own if need be.
  const void *next = arena.Next();
  std::vector<std::uint8_t> code;
  if (!LayOut(plan, m_fallback, next, code))
    return false;
  const void *near = PlaceNear(FirstVariableOf(plan), this);
  CODE_BLOCK block;
  if (!arena.Allocate(code.size(), near, block))
    return false;
  if (block.executable != next) {
    const std::size_t room = code.size();
    std::vector<std::uint8_t> placed;
    try {
      LayOut(plan, m_fallback, block.executable, placed);
      if (placed.size() > room)
        LayOut(plan, m_fallback, nullptr, placed);
    } catch (...) {
      CCodeArena::Free(block);
      throw;
    }
    code.swap(placed);
    if (code.size() > room) {
      CCodeArena::Free(block);
      if (!arena.Allocate(code.size(), near, block))
        return false;
    }
  }
  std::memcpy(block.writable, code.data(), code.size());
  m_block = block;
  m_size = code.size();
#if defined(VOXEVAL_MACHINE_PAIR)
  m_entry = reinterpret_cast<MACHINE_FALLBACK>(
      const_cast<void *>(m_block.executable));
#else
  m_code =
      reinterpret_cast<double (*)()>(const_cast<void *>(m_block.executable));
#endif
  return true;
#else
  (void)plan;
  (void)arena;
  return false;
#endif
}

void CMachineProgram::Release() {
  CCodeArena::Free(m_block);
  m_size = 0;
  m_entry = m_fallback;
  m_code = &Unavailable;
}
