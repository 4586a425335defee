// A visit plan laid out as x86-64 machine code: each group's running value
// in a register, variables read where they are, constants from a pool
// beside the code, the library's functions called directly.
//
// The evaluator tests every value it reads and every group's value for
// finiteness. The code leaves out the tests whose failure would make the
// final value not finite anyway (sums, differences, products and dividends
// carry infinity and NaN on); the others (divisors, powers, function
// arguments) set a flag that spoils the result. So the code gives exactly
// the evaluator's value whenever every tested value is finite, and a value
// that is not finite otherwise: the caller then evaluates again by the flat
// program. The evaluator's own value is always finite, so nothing is lost.
#ifndef VOXEVAL_EXECUTION_MACHINE_MACHINE_PROGRAM_H
#define VOXEVAL_EXECUTION_MACHINE_MACHINE_PROGRAM_H

#include "execution/machine/code_arena.h"
#include "execution/visit_plan.h"

#include <cstddef>
#include <cstdint>
#include <utility>

// The usual outcome of a test, so that it falls through without a jump.
#if defined(__GNUC__)
#define VOXEVAL_LIKELY(condition) __builtin_expect(!!(condition), 1)
#else
#define VOXEVAL_LIKELY(condition) (condition)
#endif

// Where the code has no value for the owner of a program: none was made,
// or a value it tested was not finite. The owner evaluates another way.
typedef std::pair<bool, double> (*MACHINE_FALLBACK)(const void *owner,
                                                    std::uintptr_t context);

// The System V convention returns the pair in registers, so the code can
// give it back to the caller itself: the owner's Evaluate then jumps into
// the code rather than calling it, and the code jumps on to the fallback.
// Elsewhere the code gives a double that the owner tests.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(_WIN32)
#define VOXEVAL_MACHINE_PAIR 1
#endif

// The processor features the code may use.
struct MACHINE_FEATURES {
  // The three-operand (VEX) forms and fused multiply-add, which spare
  // copies and let squares be taken in place (where the C library's pow is
  // known well enough to prove them).
  bool vex = false;
};

// What this processor and system offer and the library uses.
MACHINE_FEATURES DetectedMachineFeatures();

// The processor runs VEX forms and fused multiply-add, whether or not the
// library chooses them here (tests run both forms where it can).
bool ProcessorRunsVex();

class CMachineProgram {
public:
  explicit CMachineProgram(MACHINE_FALLBACK fallback)
      : m_fallback(fallback), m_entry(fallback) {}
  ~CMachineProgram();
  // The code moves to the new program; the old one has none.
  CMachineProgram(CMachineProgram &&other) noexcept;
  CMachineProgram(const CMachineProgram &) = delete;
  CMachineProgram &operator=(const CMachineProgram &) = delete;

  // Lays the plan out in a block of the arena, which must outlive the
  // program. False, leaving no code, on processors other than x86-64, where
  // the system will not give executable memory, and for plans it does not
  // take (see MachineCodeCovers); the fallback serves those. Throws
  // std::bad_alloc.
  // The salt differs between programs built in turn (an address of the
  // owner's on the heap), so that their code seldom asks for the same
  // place.
  bool Build(const CVisitPlan &plan, CCodeArena &arena,
             const MACHINE_FEATURES &features, const void *salt);

  bool Ready() const { return m_block.executable != nullptr; }

  // Where the code gives back the pair (VOXEVAL_MACHINE_PAIR): the code's
  // entry, or the fallback while there is none. An owner whose Evaluate
  // calls this itself (rather than through Run) keeps the call a tail jump:
  // the compiler copies a pair returned through two inline levels.
  MACHINE_FALLBACK Entry() const { return m_entry; }

  // (true, the value) from the code, or what the fallback gives for owner
  // and context. No branch comes before the jump or call into the code:
  // the processor predicts which code an indirect jump reaches from the
  // branches taken just before it, and with more of them there it loses
  // track of hosts that take turns between a few expressions.
  std::pair<bool, double> Run(const void *owner, std::uintptr_t context) const {
#if defined(VOXEVAL_MACHINE_PAIR)
    return Entry()(owner, context);
#else
    const double v = m_code(owner, context);
    if (VOXEVAL_LIKELY(IsFinite(v)))
      return std::pair<bool, double>(true, v);
    return m_fallback(owner, context);
#endif
  }

private:
  void Release();
  static double Unavailable(const void *, std::uintptr_t);

  MACHINE_FALLBACK m_fallback;
  // The code's entry, or the fallback while there is none.
  MACHINE_FALLBACK m_entry;
  // The code's entry where it gives a double.
  double (*m_code)(const void *, std::uintptr_t) = &Unavailable;
  CODE_BLOCK m_block;
};

#endif
