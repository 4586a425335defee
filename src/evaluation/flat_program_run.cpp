// Walking the flat steps: one switch over the fused step codes, the running
// value in a register, the running values of enclosing groups on a small
// stack in the caller's frame.
#include "evaluation/flat_program.h"

#include <cmath>
#include <cstring>

namespace {

inline double Finite(double v) { return FlatFinite(v); }

#if defined(__GLIBC__)
// True when a * a is certainly what the C library's pow(a, 2) gives. Its
// pow is within 0.54 ulp of the exact value, so when the exact square lies
// within 0.45 ulp of the rounded product no other double qualifies. The
// rounding error of the product is found exactly by splitting a in halves;
// the range test keeps the split and the result clear of overflow and
// subnormals, and powers of two (whose lower neighbour is closer) go to pow.
inline bool SquareIsPow(double a, double p) {
  const double magnitude = std::fabs(p);
  if (!(magnitude > 0x1p-900 && magnitude < 0x1p900))
    return false;
  std::uint64_t bits;
  std::memcpy(&bits, &p, sizeof bits);
  if ((bits & 0x000FFFFFFFFFFFFFull) == 0)
    return false;
  const double split = 134217729.0 * a; // 2^27 + 1
  const double high = split - (split - a);
  const double low = a - high;
  const double error = ((high * high - p) + 2.0 * high * low) + low * low;
  const std::uint64_t exponentBits = bits & 0x7FF0000000000000ull;
  double binade;
  std::memcpy(&binade, &exponentBits, sizeof binade);
  return std::fabs(error) <= binade * (0.45 * 0x1p-52);
}
#else
inline bool SquareIsPow(double, double) { return false; }
#endif

// pow(a, 2), without the call where the product is certainly the same. The
// exponent is read from the step: a literal 2 would let the compiler put
// a * a in place of the call.
inline double Square(double a, const double *two) {
  const double p = a * a;
  return SquareIsPow(a, p) ? p : std::pow(a, *two);
}

#define VOX_STEP(shape, mode) ((shape)*kModeCount + (mode))

// The value meets the running value by each mode that needs no call.
#define VOX_MODES_INLINE(shape, value)                                         \
  case VOX_STEP(shape, kFirst):                                                \
    acc = (value);                                                             \
    continue;                                                                  \
  case VOX_STEP(shape, kPush): {                                               \
    const double v = (value);                                                  \
    *saved++ = acc;                                                            \
    acc = v;                                                                   \
    continue;                                                                  \
  }                                                                            \
  case VOX_STEP(shape, kAdd):                                                  \
    acc = acc + (value);                                                       \
    continue;                                                                  \
  case VOX_STEP(shape, kSub):                                                  \
    acc = acc - (value);                                                       \
    continue;                                                                  \
  case VOX_STEP(shape, kMul):                                                  \
    acc = acc * (value);                                                       \
    continue;                                                                  \
  case VOX_STEP(shape, kDiv):                                                  \
    acc = acc / (value);                                                       \
    continue;

#define VOX_MODES_CALLING(shape, value)                                        \
  case VOX_STEP(shape, kPow):                                                  \
    acc = std::pow(acc, (value));                                              \
    continue;                                                                  \
  case VOX_STEP(shape, kDrop):                                                 \
    (void)(value);                                                             \
    continue;

#define VOX_MODES(shape, value)                                                \
  VOX_MODES_INLINE(shape, value)                                               \
  VOX_MODES_CALLING(shape, value)

// The value of the nested group just run meets the saved running value.
#define VOX_CLOSE_INLINE(shape, value)                                         \
  case VOX_STEP(shape, kAdd): {                                                \
    const double v = (value);                                                  \
    acc = *--saved + v;                                                        \
    continue;                                                                  \
  }                                                                            \
  case VOX_STEP(shape, kSub): {                                                \
    const double v = (value);                                                  \
    acc = *--saved - v;                                                        \
    continue;                                                                  \
  }                                                                            \
  case VOX_STEP(shape, kMul): {                                                \
    const double v = (value);                                                  \
    acc = *--saved * v;                                                        \
    continue;                                                                  \
  }                                                                            \
  case VOX_STEP(shape, kDiv): {                                                \
    const double v = (value);                                                  \
    acc = *--saved / v;                                                        \
    continue;                                                                  \
  }

#define VOX_CLOSE_CALLING(shape, value)                                        \
  case VOX_STEP(shape, kPow): {                                                \
    const double v = (value);                                                  \
    acc = std::pow(*--saved, v);                                               \
    continue;                                                                  \
  }                                                                            \
  case VOX_STEP(shape, kDrop):                                                 \
    (void)(value);                                                             \
    acc = *--saved;                                                            \
    continue;

#define VOX_LEAF(field) Finite(*step->field)

// Steps that call nothing. Kept in step with IsInlineStep below.
#define VOX_INLINE_STEPS                                                       \
  VOX_MODES_INLINE(kLeaf, VOX_LEAF(a.leaf))                                    \
  VOX_MODES_INLINE(kPairAdd, VOX_LEAF(a.leaf) + VOX_LEAF(b))                   \
  VOX_MODES_INLINE(kPairSub, VOX_LEAF(a.leaf) - VOX_LEAF(b))                   \
  VOX_MODES_INLINE(kPairMul, VOX_LEAF(a.leaf) * VOX_LEAF(b))                   \
  VOX_MODES_INLINE(kPairDiv, VOX_LEAF(a.leaf) / VOX_LEAF(b))                   \
  VOX_MODES_INLINE(kGroupAdd, Finite(VOX_LEAF(a.leaf) + VOX_LEAF(b)))          \
  VOX_MODES_INLINE(kGroupSub, Finite(VOX_LEAF(a.leaf) - VOX_LEAF(b)))          \
  VOX_MODES_INLINE(kGroupMul, Finite(VOX_LEAF(a.leaf) * VOX_LEAF(b)))          \
  VOX_MODES_INLINE(kGroupDiv, Finite(VOX_LEAF(a.leaf) / VOX_LEAF(b)))          \
  VOX_CLOSE_INLINE(kClose, Finite(acc))                                        \
  case kFinish:                                                                \
    acc = Finite(acc);                                                         \
    continue;                                                                  \
  case kEnd:                                                                   \
    return Finite(acc);

bool IsInlineStep(std::uint16_t code) {
  if (code == kFinish || code == kEnd)
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
    return inlineMode && mode >= kAdd;
  default:
    return false;
  }
}

#if defined(__GNUC__)
#define VOX_UNREACHABLE() __builtin_unreachable()
#else
#define VOX_UNREACHABLE() return Finite(acc)
#endif

// Programs that call nothing walk here: with no call to survive, the walk
// keeps its state in scratch registers and saves none.
double WalkInline(const FLAT_STEP *step) {
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

double RunGroup(const FLAT_STEP *step, double *saved, std::uintptr_t context);

double Walk(const FLAT_STEP *step, double *saved, std::uintptr_t context) {
  double acc = 0.0;
  for (;; ++step) {
    switch (step->code) {
      VOX_INLINE_STEPS
      VOX_MODES_CALLING(kLeaf, VOX_LEAF(a.leaf))
      VOX_MODES_CALLING(kPairAdd, VOX_LEAF(a.leaf) + VOX_LEAF(b))
      VOX_MODES_CALLING(kPairSub, VOX_LEAF(a.leaf) - VOX_LEAF(b))
      VOX_MODES_CALLING(kPairMul, VOX_LEAF(a.leaf) * VOX_LEAF(b))
      VOX_MODES_CALLING(kPairDiv, VOX_LEAF(a.leaf) / VOX_LEAF(b))
      VOX_MODES_CALLING(kGroupAdd, Finite(VOX_LEAF(a.leaf) + VOX_LEAF(b)))
      VOX_MODES_CALLING(kGroupSub, Finite(VOX_LEAF(a.leaf) - VOX_LEAF(b)))
      VOX_MODES_CALLING(kGroupMul, Finite(VOX_LEAF(a.leaf) * VOX_LEAF(b)))
      VOX_MODES_CALLING(kGroupDiv, Finite(VOX_LEAF(a.leaf) / VOX_LEAF(b)))
      VOX_CLOSE_CALLING(kClose, Finite(acc))
      VOX_MODES(kPairPow, std::pow(VOX_LEAF(a.leaf), VOX_LEAF(b)))
      VOX_MODES(kPairSquare, Square(VOX_LEAF(a.leaf), step->b))
      VOX_MODES(kGroupPow, Finite(std::pow(VOX_LEAF(a.leaf), VOX_LEAF(b))))
      VOX_MODES(kGroupSquare, Finite(Square(VOX_LEAF(a.leaf), step->b)))
      VOX_MODES(kApplyLeaf, step->a.func(VOX_LEAF(b)))
      VOX_MODES(kCall, step->a.callback(context))
      VOX_MODES(kSubGroup, RunGroup(step + step->target, saved, context))
      VOX_MODES(kApplySub,
                step->a.func(RunGroup(step + step->target, saved, context)))
      VOX_CLOSE_INLINE(kApplyClose, step->a.func(Finite(acc)))
      VOX_CLOSE_CALLING(kApplyClose, step->a.func(Finite(acc)))
    case kApplyFinish:
      acc = step->a.func(Finite(acc));
      continue;
    case kSquare:
      acc = Square(acc, step->b);
      continue;
    default:
      VOX_UNREACHABLE();
    }
  }
}

// A group run twice starts a walk of its own on the same stack of saved
// values.
double RunGroup(const FLAT_STEP *step, double *saved, std::uintptr_t context) {
  return Walk(step, saved, context);
}

#undef VOX_UNREACHABLE
#undef VOX_INLINE_STEPS
#undef VOX_LEAF
#undef VOX_CLOSE_CALLING
#undef VOX_CLOSE_INLINE
#undef VOX_MODES
#undef VOX_MODES_CALLING
#undef VOX_MODES_INLINE
#undef VOX_STEP

} // namespace

bool FlatStepCallsNothing(std::uint16_t code) { return IsInlineStep(code); }

double CFlatProgram::RunSteps(std::uintptr_t context) const {
  if (m_callsNothing)
    return WalkInline(m_steps.data());
  double saved[kMaxDepth];
  return Walk(m_steps.data(), saved, context);
}
