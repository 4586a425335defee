// Walking the flat steps: one switch over the fused step codes, the running
// value in a register, the running values of enclosing groups on a small
// stack in the caller's frame. In a header so that an expression's
// Evaluate takes its walk in place (RunWalk), with no call between the
// host's call and the steps.
#ifndef VOXEVAL_EXECUTION_FLAT_PROGRAM_RUN_H
#define VOXEVAL_EXECUTION_FLAT_PROGRAM_RUN_H

#include "execution/flat_program.h"

#include <cmath>
#include <utility>

namespace flat_walk {

// A dropped value is still computed, as the evaluator computes it: its
// arithmetic raises flags, and traps where the host unmasked them.
VOXEVAL_ALWAYS_INLINE void KeepComputed(double value) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __asm__ volatile("" : : "x"(value));
#else
  // Compilers drop unused arithmetic even where it raises flags.
  volatile double kept = value;
  (void)kept;
#endif
}

#define VOX_STEP(shape, mode) ((shape)*kModeCount + (mode))

// Every step exists twice: going on to the next step, and as the last step
// of its program, giving the program's value at once. The statement is a
// statement, which parentheses would not take.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VOX_CASE(code, statement)                                              \
  case (code):                                                                 \
    statement;                                                                 \
    continue;                                                                  \
  case (code) + kFinalStep:                                                    \
    statement;                                                                 \
    return VOX_RESULT(FiniteOrZero(acc));
// NOLINTEND(bugprone-macro-parentheses)

// The value meets the running value by each mode that needs no call.
#define VOX_MODES_INLINE(shape, value)                                         \
  VOX_CASE(VOX_STEP(shape, kFirst), acc = (value))                             \
  VOX_CASE(VOX_STEP(shape, kPush), {                                           \
    const double v = (value);                                                  \
    *saved++ = acc;                                                            \
    acc = v;                                                                   \
  })                                                                           \
  VOX_CASE(VOX_STEP(shape, kAdd), acc = acc + (value))                         \
  VOX_CASE(VOX_STEP(shape, kSub), acc = acc - (value))                         \
  VOX_CASE(VOX_STEP(shape, kMul), acc = acc * (value))                         \
  VOX_CASE(VOX_STEP(shape, kDiv), acc = acc / (value))

#define VOX_MODES_CALLING(shape, value)                                        \
  VOX_CASE(VOX_STEP(shape, kPow), acc = std::pow(acc, (value)))                \
  VOX_CASE(VOX_STEP(shape, kDrop), KeepComputed(value))

#define VOX_MODES(shape, value)                                                \
  VOX_MODES_INLINE(shape, value)                                               \
  VOX_MODES_CALLING(shape, value)

// The value of the nested group just run meets the saved running value.
#define VOX_CLOSE_INLINE(shape, value)                                         \
  VOX_CASE(VOX_STEP(shape, kAdd), {                                            \
    const double v = (value);                                                  \
    acc = *--saved + v;                                                        \
  })                                                                           \
  VOX_CASE(VOX_STEP(shape, kSub), {                                            \
    const double v = (value);                                                  \
    acc = *--saved - v;                                                        \
  })                                                                           \
  VOX_CASE(VOX_STEP(shape, kMul), {                                            \
    const double v = (value);                                                  \
    acc = *--saved * v;                                                        \
  })                                                                           \
  VOX_CASE(VOX_STEP(shape, kDiv), {                                            \
    const double v = (value);                                                  \
    acc = *--saved / v;                                                        \
  })

#define VOX_CLOSE_CALLING(shape, value)                                        \
  VOX_CASE(VOX_STEP(shape, kPow), {                                            \
    const double v = (value);                                                  \
    acc = std::pow(*--saved, v);                                               \
  })                                                                           \
  VOX_CASE(VOX_STEP(shape, kDrop), {                                           \
    KeepComputed(value);                                                       \
    acc = *--saved;                                                            \
  })

// Two values meet by the mode, neither of them saved.
#define VOX_MEET_INLINE(shape, left, right)                                    \
  VOX_CASE(VOX_STEP(shape, kAdd), acc = (left) + (right))                      \
  VOX_CASE(VOX_STEP(shape, kSub), acc = (left) - (right))                      \
  VOX_CASE(VOX_STEP(shape, kMul), acc = (left) * (right))                      \
  VOX_CASE(VOX_STEP(shape, kDiv), acc = (left) / (right))

#define VOX_MEET_CALLING(shape, left, right)                                   \
  VOX_CASE(VOX_STEP(shape, kPow), acc = std::pow((left), (right)))

#define VOX_LEAF(field) FiniteOrZero(*step->field)

// A pair's two leaves, each read as FiniteOrZero reads it but tested
// together, met by meet, an expression of l.first and l.second.
#define VOX_PAIR(meet)                                                         \
  ([step] {                                                                    \
    const std::pair<double, double> l =                                        \
        FiniteOrZeroPair(step->a.leaf, step->b);                               \
    return (meet);                                                             \
  }())
#define VOX_PAIR_OF(op) VOX_PAIR(l.first op l.second)

// Steps that call nothing. Kept in step with IsInlineStep below.
#define VOX_INLINE_STEPS                                                       \
  VOX_MODES_INLINE(kLeaf, VOX_LEAF(a.leaf))                                    \
  VOX_MODES_INLINE(kPairAdd, VOX_PAIR_OF(+))                                   \
  VOX_MODES_INLINE(kPairSub, VOX_PAIR_OF(-))                                   \
  VOX_MODES_INLINE(kPairMul, VOX_PAIR_OF(*))                                   \
  VOX_MODES_INLINE(kPairDiv, VOX_PAIR_OF(/))                                   \
  VOX_MODES_INLINE(kGroupAdd, FiniteOrZero(VOX_PAIR_OF(+)))                    \
  VOX_MODES_INLINE(kGroupSub, FiniteOrZero(VOX_PAIR_OF(-)))                    \
  VOX_MODES_INLINE(kGroupMul, FiniteOrZero(VOX_PAIR_OF(*)))                    \
  VOX_MODES_INLINE(kGroupDiv, FiniteOrZero(VOX_PAIR_OF(/)))                    \
  VOX_CLOSE_INLINE(kClose, FiniteOrZero(acc))                                  \
  VOX_MEET_INLINE(kCloseLeaf, VOX_LEAF(a.leaf), FiniteOrZero(acc))             \
  VOX_MEET_INLINE(kFinishLeaf, FiniteOrZero(acc), VOX_LEAF(a.leaf))            \
  VOX_CASE(kFinish, acc = FiniteOrZero(acc))

// True for steps whose walk calls nothing: no callback, no function, no
// pow.
inline bool IsInlineStep(std::uint16_t code) {
  if (code >= kFinalStep)
    code = static_cast<std::uint16_t>(code - kFinalStep);
  if (code == kFinish)
    return true;
  if (code >= kShapeCount * kModeCount)
    return false;
  const unsigned shape = code / kModeCount;
  const unsigned mode = code % kModeCount;
  const bool inlineMode = mode <= kDiv;
  switch (shape) {
  case kLeaf:
  case kPairAdd:
  case kPairSub:
  case kPairMul:
  case kPairDiv:
  case kGroupAdd:
  case kGroupSub:
  case kGroupMul:
  case kGroupDiv:
    return inlineMode;
  case kClose:
  case kCloseLeaf:
  case kFinishLeaf:
    return inlineMode && mode >= kAdd;
  default:
    return false;
  }
}

#if defined(__GNUC__)
#define VOX_UNREACHABLE() __builtin_unreachable()
#else
#define VOX_UNREACHABLE() return VOX_RESULT(FiniteOrZero(acc))
#endif

typedef std::pair<bool, double> RESULT;

// Programs that call nothing walk here: with no call to survive, the walk
// keeps its state in scratch registers and saves none. It gives what
// Evaluate gives, so that the host's call ends in it.
#define VOX_RESULT(value) RESULT(true, (value))
VOXEVAL_ALWAYS_INLINE RESULT WalkInline(const FLAT_STEP *step, std::uintptr_t) {
  double stack[CFlatProgram::kMaxDepth];
  double *saved = stack;
  double acc = 0.0;
  for (;; ++step) {
    switch (step->code) {
      VOX_INLINE_STEPS
    default:
      VOX_UNREACHABLE();
    }
  }
}

#undef VOX_RESULT

#if defined(__GNUC__)
#define VOX_NEVER_INLINE inline __attribute__((noinline))
#elif defined(_MSC_VER)
#define VOX_NEVER_INLINE inline __declspec(noinline)
#else
#define VOX_NEVER_INLINE inline
#endif

// Programs that call something, and their sub-programs, walk here: one
// copy, called from every walk that calls.
#define VOX_RESULT(value) (value)
VOX_NEVER_INLINE double Walk(const FLAT_STEP *step, double *saved,
                             std::uintptr_t context) {
  double acc = 0.0;
  for (;; ++step) {
    switch (step->code) {
      VOX_INLINE_STEPS
      VOX_MODES_CALLING(kLeaf, VOX_LEAF(a.leaf))
      VOX_MODES_CALLING(kPairAdd, VOX_PAIR_OF(+))
      VOX_MODES_CALLING(kPairSub, VOX_PAIR_OF(-))
      VOX_MODES_CALLING(kPairMul, VOX_PAIR_OF(*))
      VOX_MODES_CALLING(kPairDiv, VOX_PAIR_OF(/))
      VOX_MODES_CALLING(kGroupAdd, FiniteOrZero(VOX_PAIR_OF(+)))
      VOX_MODES_CALLING(kGroupSub, FiniteOrZero(VOX_PAIR_OF(-)))
      VOX_MODES_CALLING(kGroupMul, FiniteOrZero(VOX_PAIR_OF(*)))
      VOX_MODES_CALLING(kGroupDiv, FiniteOrZero(VOX_PAIR_OF(/)))
      VOX_CLOSE_CALLING(kClose, FiniteOrZero(acc))
      VOX_MEET_CALLING(kCloseLeaf, VOX_LEAF(a.leaf), FiniteOrZero(acc))
      VOX_MEET_CALLING(kFinishLeaf, FiniteOrZero(acc), VOX_LEAF(a.leaf))
      VOX_MEET_INLINE(kApplyCloseLeaf, VOX_LEAF(b),
                      step->a.func(FiniteOrZero(acc)))
      VOX_MEET_CALLING(kApplyCloseLeaf, VOX_LEAF(b),
                       step->a.func(FiniteOrZero(acc)))
      VOX_MODES(kPairPow, VOX_PAIR(std::pow(l.first, l.second)))
      VOX_MODES(kPairPowN, PowN(VOX_LEAF(a.leaf), step->target, step->b))
      VOX_MODES(kGroupPow, FiniteOrZero(VOX_PAIR(std::pow(l.first, l.second))))
      VOX_MODES(kGroupPowN,
                FiniteOrZero(PowN(VOX_LEAF(a.leaf), step->target, step->b)))
      VOX_MODES(kApplyLeaf, step->a.func(VOX_LEAF(b)))
      VOX_MODES(kCall, step->a.callback(context))
      VOX_MODES(kSubGroup, Walk(step + step->target, saved, context))
      VOX_MODES(kApplySub,
                step->a.func(Walk(step + step->target, saved, context)))
      VOX_CLOSE_INLINE(kApplyClose, step->a.func(FiniteOrZero(acc)))
      VOX_CLOSE_CALLING(kApplyClose, step->a.func(FiniteOrZero(acc)))
      VOX_CASE(kApplyFinish, acc = step->a.func(FiniteOrZero(acc)))
      VOX_CASE(kPowN, acc = PowN(acc, step->target, step->b))
    default:
      VOX_UNREACHABLE();
    }
  }
}

#undef VOX_RESULT
#undef VOX_UNREACHABLE
#undef VOX_INLINE_STEPS
#undef VOX_LEAF
#undef VOX_PAIR
#undef VOX_PAIR_OF
#undef VOX_CASE
#undef VOX_MEET_CALLING
#undef VOX_MEET_INLINE
#undef VOX_CLOSE_CALLING
#undef VOX_CLOSE_INLINE
#undef VOX_MODES
#undef VOX_MODES_CALLING
#undef VOX_MODES_INLINE
#undef VOX_STEP
#undef VOX_NEVER_INLINE

// The saved values' room, in the walk's frame: a shallow program's walk
// takes little stack at each re-entry.
const int kShallowDepth = 8;

// What Evaluate gives for steps walked as kind says; the kind is the
// program's WalkKind().
template <FlatWalk kind>
VOXEVAL_ALWAYS_INLINE RESULT RunWalk(const FLAT_STEP *steps,
                                     std::uintptr_t context) {
  if constexpr (kind == FlatWalk::kInline) {
    return WalkInline(steps, context);
  } else {
    double saved[kind == FlatWalk::kShallow ? kShallowDepth
                                            : CFlatProgram::kMaxDepth];
    return RESULT(true, Walk(steps, saved, context));
  }
}

} // namespace flat_walk

#endif
