// The code generator: a visit plan laid out as x86 code (64-bit, or 32-bit
// on 32-bit x86) for one calling convention and set of processor features.
//
// Registers: xmm0 carries a value being made (and a called function's
// argument and result), xmm1 and xmm2 are scratch, the exponent bits the
// finiteness tests read take one register, and the running values of the
// groups being evaluated take the rest, the group at level s in the s-th.
// Deeper levels keep their running value in the stack frame. Around a call
// every live running value is stored in the frame and read back. Registers
// the levels leave free hold variables, read once at entry for their test,
// until the first call overwrites them.
// Variables are read by displacement from a register that holds the first
// variable's address (the convention's base), else by their full address;
// 32-bit code reads each by its address. 64-bit code runs wherever it lies
// and is laid out once; 32-bit code is linked to its place (Link).
//
// Plans that call host callbacks cannot be evaluated twice (the host would
// see its callbacks called twice), so their code is exact: every value the
// evaluator tests is tested on the spot, as it does. Callbacks are called
// through CallHost, which catches what they throw; the code then leaves
// its frame and jumps to Rethrow, so that the exception passes to the host
// without crossing the machine code's frame, whether or not the system's
// unwinder was told of it (see unwind_table.h).
#ifndef VOXEVAL_EXECUTION_MACHINE_MACHINE_WRITER_H
#define VOXEVAL_EXECUTION_MACHINE_MACHINE_WRITER_H

#include "execution/machine/calling_convention.h"
#include "execution/machine/machine_program.h"
#include "execution/machine/x86_encoder.h"
#include "execution/visit_plan.h"

#include <cstdint>
#include <string>
#include <vector>

class CMachineWriter {
public:
  // The code runs wherever it is put: it reaches variables through rcx or
  // their own addresses, and its constants from the instruction pointer.
  CMachineWriter(const CVisitPlan &plan, MACHINE_FALLBACK fallback,
                 const MACHINE_FEATURES &features,
                 const CALLING_CONVENTION &convention, bool listing = false);

  // The whole function, or false for a plan it does not take. Its
  // constants go to data, to be placed outside executable pages; Link
  // then points the code at them.
  bool Write(std::vector<std::uint8_t> &code, std::vector<std::uint8_t> &data);

  // Points the code Write gave at its data, dataDistance bytes after the
  // code's start, the code to run at address.
  void Link(std::vector<std::uint8_t> &code, std::uintptr_t address,
            std::size_t dataDistance) const {
    m_out.Link(code, address, dataDistance);
  }

  // The frame of what Write wrote, for the unwinder.
  FRAME_SHAPE Shape() const { return m_out.Shape(); }

  // What Write wrote, an instruction a line, when asked for.
  std::string Listing() const { return m_out.Listing(); }

private:
  // Where a value is: a constant in the pool, a register, a slot of the
  // frame, or a variable read through its address.
  struct Place {
    enum Kind { kConstant, kRegister, kSlot, kVariable } kind;
    double constant;
    int index; // register or slot
    const double *variable;
  };
  // xmm0 carries values, xmm1 and xmm2 are scratch, levels from xmm3 on.
  static constexpr Xmm kX0{0}, kX1{1}, kX2{2};
  static constexpr int kFirstLevelRegister = 3;
  enum ScalarOp { kMovsd, kAddsd, kSubsd, kMulsd, kDivsd };

  static Place Register(int r) {
    return Place{Place::kRegister, 0.0, r, nullptr};
  }
  static Place Slot(int s) { return Place{Place::kSlot, 0.0, s, nullptr}; }
  Place Level(int level) const;
  // The rounding test's memory across calls first, the owner's, the
  // context word's and the one for what a callback throws, then one per
  // level.
  Mem RoundingSlot() const { return Frame(0); }
  Mem OwnerSlot() const { return Frame(8); }
  Mem ContextSlot() const { return Frame(16); }
  Mem ThrownSlot() const { return Frame(24); }
  Mem LevelSlot(int slot) const { return Frame(32 + 8 * slot); }
  // Where the way to pow keeps where it goes back to, past the levels',
  // and then the pair's address where it goes through memory.
  Mem ReturnSlot() const { return Frame(32 + 8 * (m_deepestSlot + 1)); }
  Mem ResultSlot() const { return Frame(32 + 8 * (m_deepestSlot + 2)); }
  Mem Frame(std::int32_t offset) const {
    return Mem::At(Gpr::kRsp, m_convention.homeArea + offset);
  }
  // 32-bit code: the n-th pointer-sized argument on the stack above the
  // return address, below a frame of the given size.
  static Mem StackArgument(std::int32_t frame, int n) {
    return Mem::At(Gpr::kRsp, frame + 4 * (n + 1));
  }
  bool Wide() const { return m_convention.width == CodeWidth::k64; }
  // 32-bit code calls 32-bit x86 glibc's pow, which computes on the x87
  // unit (see RoundsToNearest and kPowFlagsEveryPower).
  bool X87Pow() const { return !Wide(); }

  Mem VariableMemory(const double *variable);
  int DeepestLevel(const PlanOperand &operand, int level) const;

  void GroupValue(std::size_t group, int level, bool tested);
  Place ItemValue(const PlanItem &item, int level, bool tested);
  Place OperandValue(const PlanOperand &operand, int level, bool tested);
  void Meet(FLAT_MODE mode, int level, const Place &value);
  void Power(int level, const Place &exponent);
  void TestRange(Xmm base, int limit, Label pow);
  void LeaveExactToPow(Xmm residual, Label pow);
  void Square(Xmm base, int live);
  void WholePower(Xmm base, int live, std::int32_t n);
  void TestRoundsToNearest(Label other);
  void ProveRounding(Label other, double exponent);
  bool SquaresInPlace() const;
  void ForgetRounding();
  void SquaresByPow();

  XmmOrMem Operand(const Place &value);
  void Op(ScalarOp op, Xmm reg, const Place &value);
  void Load(int reg, const Place &value);
  void StoreLevel(int level, int reg);
  void Test(Xmm reg);
  void TestVariables();
  void HoldVariables(std::vector<const double *> &variables);
  void ReloadHeld();
  void TestLevel(int level);
  // Calls function with its double arguments in xmm0 and xmm1 (doubles of
  // them) or its integer ones placed by the caller; the result in xmm0.
  void Call(const void *function, const char *name, int live, int doubles);
  void CallBack(EVAL_CALLBACK callback, int live);
  void LoadTestConstants();

  void SaveArguments(CX86Encoder &out, std::int32_t frame) const;
  void RestoreArguments();
  void Return(std::int32_t frame);
  void Rethrown(std::int32_t frame);
  void Prologue(std::int32_t frame);

  const CVisitPlan &m_plan;
  MACHINE_FALLBACK m_fallback;
  const CALLING_CONVENTION &m_convention;
  // The three-operand (VEX) forms and fused multiply-add, which spare
  // copies and prove squares.
  bool m_vex;
  bool m_listing;
  CX86Encoder m_out;
  int m_deepestSlot = -1;
  int m_registerLevels;
  // Every tested value tested on the spot: the plan calls callbacks.
  bool m_exact = false;
  // The code proves powers in place; the convention's roundingKnown is
  // set once a rounding test passed, kept across calls of the library's
  // functions and cleared by a callback's.
  bool m_squares = false;
  // A power since entry or the last callback tests the rounding
  // mode on its way (it is the first of them); those after it test
  // roundingKnown.
  bool m_modeTested = false;
  // Callbacks are called: their throws leave through one label.
  bool m_throws = false;
  Label m_thrown = Label();
  bool m_calls = false;
  // Some levels keep their running values in the frame.
  bool m_memoryLevels = false;
  // The frame's size when the usual path has one, else 0; the squares left
  // to pow then make one of their own, of coldFrame bytes.
  std::int32_t m_frame = 0;
  std::int32_t m_coldFrame = 0;
  // The arguments are kept in the frame for the fallback and the pair.
  bool m_saveArguments = false;
  // Where a value that is not finite hands over to the fallback.
  Label m_notFinite = Label();
  // Powers whose tests failed: where their jumps go and where
  // they return.
  struct SquareByPow {
    Label pow;
    Label back;
    Label first; // the rounding mode not yet proven
    Xmm base;
    int live;
    bool reload; // the held variables, which the call overwrites
    bool later;  // the first power since entry or a callback tested the mode
    double exponent; // 2 to kMaxProvenExponent
  };
  SquareByPow LeftToPow(Xmm base, int live, double exponent);
  void Proven(const SquareByPow &cold);
  void WayToPow(Label label, const SquareByPow &cold);
  std::vector<SquareByPow> m_squaresByPow;
  // Variables read once at entry into the registers above the levels'
  // (code that can start again, with VEX): until the first call, the
  // reads of the formula take them from there.
  struct Held {
    const double *variable;
    int reg;
  };
  std::vector<Held> m_held;
  bool m_heldValid = false;
  // The variable whose address the base register holds.
  const double *m_base = nullptr;
  bool m_baseUsed = false;
};

// The code for the plan as a listing; empty for
// plans the code does not take.
std::string ListMachineCode(const CVisitPlan &plan,
                            const MACHINE_FEATURES &features,
                            const CALLING_CONVENTION &convention);

#endif
