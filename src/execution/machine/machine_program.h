// A visit plan laid out as x86 machine code (64-bit, and 32-bit on 32-bit
// x86 Linux): each group's running value
// in a register, variables read where they are, constants from read-only
// data beside the code, the library's functions called directly.
//
// The evaluator reads every value that is not finite as 0.0. The code
// tests every variable once at entry and every group's value before it
// meets another, by exponent bits (no flag raised): a value that is not
// finite hands the evaluation to the flat program before any arithmetic on
// it, so the code raises no floating-point flag the evaluator does not.
// Function results are not tested, as the evaluator does not; the result
// is tested at the end. The evaluator's own value is always finite, so
// nothing is lost.
#ifndef VOXEVAL_EXECUTION_MACHINE_MACHINE_PROGRAM_H
#define VOXEVAL_EXECUTION_MACHINE_MACHINE_PROGRAM_H

#include "execution/machine/code_arena.h"
#include "execution/visit_plan.h"

#include <cstddef>
#include <cstdint>
#include <utility>

// Where the code has no value for the owner of a program: none was made,
// or a value it tested was not finite. The owner evaluates another way.
typedef std::pair<bool, double> (*MACHINE_FALLBACK)(const void *owner,
                                                    std::uintptr_t context);

// 32-bit x86: Linux and Windows, where the compiler does double
// arithmetic in SSE2, as the code does (x87 arithmetic would round
// differently).
#if defined(__x86_64__) || defined(_M_X64) ||                                  \
    ((defined(__i386__) || defined(_M_IX86)) &&                                \
     (defined(__linux__) || defined(_WIN32)) &&                                \
     (defined(__SSE2_MATH__) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)))
#define VOXEVAL_MACHINE_CODE 1
#endif

// The code is entered as its owner's Evaluate(context) and gives back the
// pair itself (see calling_convention.h), jumping on to the fallback when
// it has no value. On System V the pair comes back in registers (x86-64)
// or through a pointer both the code and the fallback take first (i386),
// so the entry has the fallback's own type. On Windows a member function
// returns the pair through a pointer, passed after `this` in Microsoft's C++
// ABI and before it in GCC's; there the code hands over through HandOver, the
// fallback in the fourth argument. On 32-bit Windows a member function
// takes `this` (Microsoft's ABI) or the pair's address (GCC's) in ecx and
// the other and the context word on the stack, which it pops: the form of
// a fastcall function whose second argument (edx) the code leaves alone;
// HandOver takes the fallback there.
#if defined(VOXEVAL_MACHINE_CODE) && defined(_WIN32)
#define VOXEVAL_PAIR_THROUGH_POINTER 1
#endif
typedef std::pair<bool, double> MACHINE_PAIR;
#if !defined(VOXEVAL_PAIR_THROUGH_POINTER)
typedef MACHINE_FALLBACK MACHINE_ENTRY;
#elif defined(_M_IX86) && defined(_MSC_VER)
typedef MACHINE_PAIR *(__fastcall *MACHINE_ENTRY)(const void *owner,
                                                  MACHINE_FALLBACK fallback,
                                                  MACHINE_PAIR *result,
                                                  std::uintptr_t context);
#elif defined(__i386__)
typedef MACHINE_PAIR *(__fastcall *MACHINE_ENTRY)(MACHINE_PAIR *result,
                                                  MACHINE_FALLBACK fallback,
                                                  const void *owner,
                                                  std::uintptr_t context);
#elif defined(_MSC_VER)
typedef MACHINE_PAIR *(*MACHINE_ENTRY)(const void *owner, MACHINE_PAIR *result,
                                       std::uintptr_t context,
                                       MACHINE_FALLBACK fallback);
#else
typedef MACHINE_PAIR *(*MACHINE_ENTRY)(MACHINE_PAIR *result, const void *owner,
                                       std::uintptr_t context,
                                       MACHINE_FALLBACK fallback);
#endif

#if defined(VOXEVAL_PAIR_THROUGH_POINTER)
// *result = fallback(owner, context); gives back result.
#if defined(_M_IX86) && defined(_MSC_VER)
MACHINE_PAIR *__fastcall HandOver(const void *owner, MACHINE_FALLBACK fallback,
                                  MACHINE_PAIR *result, std::uintptr_t context);
#elif defined(__i386__)
MACHINE_PAIR *__fastcall HandOver(MACHINE_PAIR *result,
                                  MACHINE_FALLBACK fallback, const void *owner,
                                  std::uintptr_t context);
#elif defined(_MSC_VER)
MACHINE_PAIR *HandOver(const void *owner, MACHINE_PAIR *result,
                       std::uintptr_t context, MACHINE_FALLBACK fallback);
#else
MACHINE_PAIR *HandOver(MACHINE_PAIR *result, const void *owner,
                       std::uintptr_t context, MACHINE_FALLBACK fallback);
#endif
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
      : m_fallback(fallback), m_entry(NoCode(fallback)) {}
  ~CMachineProgram();
  // The code moves to the new program; the old one has none.
  CMachineProgram(CMachineProgram &&other) noexcept;
  CMachineProgram(const CMachineProgram &) = delete;
  CMachineProgram &operator=(const CMachineProgram &) = delete;

  // Lays the plan out in a block of the arena, which must outlive the
  // program. False, leaving no code, where there is no machine code, where
  // the system will not give memory for code, and for plans it does not
  // take (see Covers in machine_writer_function.cpp); the fallback serves
  // those. Throws std::bad_alloc.
  bool Build(const CVisitPlan &plan, CCodeArena &arena,
             const MACHINE_FEATURES &features);

  bool Ready() const { return m_block.executable != nullptr; }
  // The code's entry, or null.
  const void *Code() const { return m_block.executable; }

  // The code's entry, or what hands over to the fallback while there is
  // none. An owner whose Evaluate calls this itself (rather than through
  // Run) keeps the call a tail jump on System V: the compiler copies a pair
  // returned through two inline levels.
  MACHINE_ENTRY Entry() const { return m_entry; }

  // (true, the value) from the code, or what the fallback gives for owner
  // and context. No branch comes before the jump or call into the code:
  // the processor predicts which code an indirect jump reaches from the
  // branches taken just before it, and with more of them there it loses
  // track of hosts that take turns between a few expressions.
  std::pair<bool, double> Run(const void *owner, std::uintptr_t context) const {
#if !defined(VOXEVAL_PAIR_THROUGH_POINTER)
    return m_entry(owner, context);
#else
    MACHINE_PAIR result;
#if defined(_M_IX86) && defined(_MSC_VER)
    m_entry(owner, m_fallback, &result, context);
#elif defined(__i386__)
    m_entry(&result, m_fallback, owner, context);
#elif defined(_MSC_VER)
    m_entry(owner, &result, context, m_fallback);
#else
    m_entry(&result, owner, context, m_fallback);
#endif
    return result;
#endif
  }

private:
  void Release();
  static MACHINE_ENTRY NoCode(MACHINE_FALLBACK fallback);

  MACHINE_FALLBACK m_fallback;
  // The code's entry, or what hands over to the fallback while there is
  // none.
  MACHINE_ENTRY m_entry;
  CODE_BLOCK m_block;
};

#endif
