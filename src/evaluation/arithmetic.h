// The arithmetic every way of evaluating follows: which values count as
// finite, how an item's value meets the running value of its group (the
// record evaluator, the visit plan, the flat program and the machine code
// all read these), and when a whole power may be taken as products in
// place of the C library's pow: the proof's bound, ranges, exponents and
// where it holds at all, and the procedure itself (PowN), which the flat
// program runs in place and the machine code emits or calls (PowerOf), so
// that they cannot drift apart.
#ifndef VOXEVAL_EVALUATION_ARITHMETIC_H
#define VOXEVAL_EVALUATION_ARITHMETIC_H

#include "builder/standard_names.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// A double that is neither infinite nor NaN, by its exponent bits: no
// comparison of the value itself, which would raise the invalid flag (and
// trap, where the host unmasked it) for a NaN.
inline bool IsFinite(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7FF0000000000000ull) != 0x7FF0000000000000ull;
}

#if defined(__SSE2__) || defined(_M_X64)
// Each lane as FiniteOrZero gives it. The exponent bits are compared as a
// double, which is never a NaN (whatever an unused lane holds), so the test
// stays in vector registers and stays quiet.
inline __m128d FiniteOrZeroLanes(__m128d values) {
  const __m128d infinity = _mm_set1_pd(HUGE_VAL);
  const __m128d exponents = _mm_and_pd(values, infinity);
  return _mm_and_pd(_mm_cmpneq_pd(exponents, infinity), values);
}
#endif

// What the evaluator makes of every value it reads: one that is not finite
// reads as 0.0.
inline double FiniteOrZero(double v) {
#if defined(__SSE2__) || defined(_M_X64)
#if defined(__GNUC__) && !defined(__clang__)
  // The register as it is: the upper lane is never read, and clearing it
  // would cost an instruction per value. (Clang 14 fails to compile this
  // tie of a double to a vector under strict floating-point semantics.)
  __m128d value;
  __asm__("" : "=x"(value) : "0"(v));
#else
  const __m128d value = _mm_set_sd(v);
#endif
  return _mm_cvtsd_f64(FiniteOrZeroLanes(value));
#else
  double read = IsFinite(v) ? v : 0.0;
#if defined(__GNUC__) && defined(__aarch64__)
  // Hidden from the optimiser, which would otherwise fold x - 0.0 into x:
  // true only when rounding to nearest (0 - 0 is -0 rounding downward).
  __asm__("" : "+w"(read));
#endif
  return read;
#endif
}

// The values first and second point at, each as FiniteOrZero gives it,
// tested together where the processor has two lanes: leaf op leaf pays
// one test, not two. They leave as two values, hidden from the optimiser:
// met in one vector instruction (ARM64's product by lane), the other lane
// would be computed too, and raise flags of its own.
inline std::pair<double, double> FiniteOrZeroPair(const double *first,
                                                  const double *second) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128d read =
      FiniteOrZeroLanes(_mm_loadh_pd(_mm_load_sd(first), second));
  double low = _mm_cvtsd_f64(read);
  double high = _mm_cvtsd_f64(_mm_unpackhi_pd(read, read));
#if defined(__GNUC__)
  __asm__("" : "+x"(low), "+x"(high));
#endif
  return {low, high};
#elif defined(__aarch64__)
  // Integer lanes: no comparison of a value, and nothing the optimiser
  // could fold as it folds a selected 0.0 (see FiniteOrZero).
  const uint64x2_t bits =
      vreinterpretq_u64_f64(vcombine_f64(vld1_f64(first), vld1_f64(second)));
  const uint64x2_t exponent = vdupq_n_u64(0x7FF0000000000000ull);
  const uint64x2_t notFinite = vceqq_u64(vandq_u64(bits, exponent), exponent);
  const float64x2_t read = vreinterpretq_f64_u64(vbicq_u64(bits, notFinite));
  double low = vgetq_lane_f64(read, 0);
  double high = vgetq_lane_f64(read, 1);
  __asm__("" : "+w"(low), "+w"(high));
  return {low, high};
#else
  return {FiniteOrZero(*first), FiniteOrZero(*second)};
#endif
}

// The rounding probe: kStart + kFirst + kSecond, added in that order, is
// kNearest only while arithmetic rounds to nearest (1 + u/4 + 3u/4, u the
// spacing above 1). RoundsToNearest below and the machine code's test of
// the mode both compute it.
struct RoundingProbe {
  static constexpr double kStart = 1.0;
  static constexpr double kFirst = 0x1p-54;
  static constexpr double kSecond = 0x1.8p-53;
  static constexpr double kNearest = 1.0 + 0x1p-52;
};

// True while arithmetic rounds to nearest, the one mode in which products
// are proven to give pow's powers, by the probe above: reading the control
// register costs a dozen cycles on some processors. The sums raise the
// inexact flag: ask only where pow would raise it too (see IsProvenPower).
// 32-bit x86 glibc's pow works on the x87 unit, whose control word sets
// rounding and precision apart from the vector unit's: its powers are the
// products' only while that unit too rounds to nearest, at its full 64-bit
// precision (as Linux starts it; at 53 bits each of its products rounds).
inline bool RoundsToNearest() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__SSE2_MATH__))
  double sum = RoundingProbe::kStart;
  __asm__("" : "+x"(sum)); // computed at run time, in the mode in force
#elif defined(__GNUC__) && defined(__aarch64__)
  double sum = RoundingProbe::kStart;
  __asm__("" : "+w"(sum));
#else
  volatile double start = RoundingProbe::kStart;
  double sum = start;
#endif
  sum = (sum + RoundingProbe::kFirst) + RoundingProbe::kSecond;
#if defined(__GNUC__) && defined(__i386__)
  std::uint16_t x87;
  __asm__ volatile("fnstcw %0" : "=m"(x87));
  if ((x87 & 0x0F00) != 0x0300)
    return false;
#endif
  return sum == RoundingProbe::kNearest;
}

inline bool IsOperatorMode(FLAT_MODE mode) {
  return mode >= kAdd && mode <= kPow;
}

// The modes the flat program and the machine code have steps for; a group
// with an operator of another mode is evaluated from its records, by
// Combine alone.
inline bool HasSteps(FLAT_MODE mode) { return mode <= kDrop; }

// The operator item before an item decides how its value meets the running
// value (its row gives the mode); after a value, a group or a function the
// value is dropped.
inline FLAT_MODE ModeAfter(TOKEN_TYPE previous) {
  if (previous == TT_NONE)
    return kFirst;
  const STANDARD_NAME *row = OperatorRow(previous);
  return row != nullptr ? row->mode : kDrop;
}

// The running value after v meets it by mode.
inline double Combine(FLAT_MODE mode, double acc, double v) {
  switch (mode) {
  case kFirst:
  case kPush:
    return v;
  case kAdd:
    return acc + v;
  case kSub:
    return acc - v;
  case kMul:
    return acc * v;
  case kDiv:
    return acc / v;
  case kPow:
    return std::pow(acc, v);
  default:
    return acc;
  }
}

// The power proof, for every whole power taken in place. p, a product of
// doubles, is what the C library's pow gives when the exact power lies within
// kPowProofUlps of the spacing of doubles around it: pow is within
// kPowErrorUlps of the exact value (glibc's documented bound), and every
// other double lies farther than kPowErrorUlps from it. With r the exact
// power minus p, that holds when p + r * kRoundsBack rounds back to p to
// nearest, on whichever side of p the exact value lies (below a power of
// two the spacing halves, and so does what rounds back). IsProvenPower
// is the procedure; the flat program runs it and the machine code emits
// it, so that both accept only pow's own result and agree in every bit.
constexpr double kPowErrorUlps = 0.54;
// 0.4587, as near the bound as a short constant goes: one product in twelve
// is left to pow.
constexpr double kRoundsBack = 1.09;
constexpr double kPowProofUlps = 0.5 / kRoundsBack;
static_assert(kPowProofUlps + kPowErrorUlps < 1.0,
              "the proof must leave no other double in pow's reach");
// The bases taken in place for the exponent n: 2^-range <= |a| < 2^range,
// so that no product overflows and no rounding error the proof computes is
// subnormal (which flush-to-zero would flush, with a flag of its own).
// Wider ranges gain nothing a formula needs.
inline int PowerRange(std::int32_t n) { return n == 2 ? 450 : 870 / n; }

// Whether pow raises the inexact flag for every whole power it computes
// but those of +-1, exact ones such as 3^2 included (glibc's on x86-64 and
// ARM64). 32-bit x86 glibc's multiplies in the x87 unit's 64 bits, one
// squaring past the last it needs, and raises the flag only where one of
// those products was inexact: 3^2 without it, (2^16 + 1)^2 with it.
#if defined(__i386__) || defined(_M_IX86)
constexpr bool kPowFlagsEveryPower = false;
#else
constexpr bool kPowFlagsEveryPower = true;
#endif

// True when p, with r the exact power minus p, is certainly pow's result
// for a base in its range. The sum raises the inexact flag as pow does,
// except for p = +-1 (|base| = 1), which is exact: pow raises nothing for
// it and it stands in every rounding mode; every other p holds only while
// arithmetic rounds to nearest. Where pow flags only some exact powers
// (kPowFlagsEveryPower), every exact one (r = 0) is left to it.
inline bool IsProvenPower(double p, double r) {
  return p + r * kRoundsBack == p &&
         (p == 1.0 || p == -1.0 ||
          ((kPowFlagsEveryPower || r != 0.0) && RoundsToNearest()));
}

// Where the C library's pow is known well enough for the proof (glibc's is
// within kPowErrorUlps of the exact value); elsewhere pow decides every
// power.
#if defined(__GLIBC__)
constexpr bool kPowsProvenInPlace = true;
#else
constexpr bool kPowsProvenInPlace = false;
#endif

// The exponents whose powers the proof takes: the whole numbers 2 to
// kMaxProvenExponent, else 0. Compared for equality only, which raises no
// flag (the exponent may be NaN, or inexact as an integer).
constexpr std::int32_t kMaxProvenExponent = 8;
inline std::int32_t SmallExponent(double exponent) {
  for (std::int32_t n = 2; n <= kMaxProvenExponent; ++n) {
    if (exponent == n)
      return n;
  }
  return 0;
}

// The power's helpers sit in the flat program's hottest cases; the
// compiler's size limits would otherwise leave a call in each.
#if defined(__GNUC__)
#define VOXEVAL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VOXEVAL_ALWAYS_INLINE inline
#endif

#if defined(__FMA__) || defined(__aarch64__) || defined(_M_ARM64)
// A fused multiply-add in one instruction: every whole power to
// kMaxProvenExponent in place beats the C library's pow.
constexpr std::int32_t kLargestInPlace = kMaxProvenExponent;

VOXEVAL_ALWAYS_INLINE double ProductError(double a, double b, double p) {
  return std::fma(a, b, -p);
}

// The next carried error: the last one times a, plus the new product's.
VOXEVAL_ALWAYS_INLINE double Carried(double lo, double a, double error) {
  return std::fma(lo, a, error);
}
#else
// Without one, the products' errors take a dozen operations each: squares
// and cubes in place still beat pow, higher powers do not.
constexpr std::int32_t kLargestInPlace = 3;

// A factor rounded to its 26 leading bits, by its bit pattern (half a unit
// added to the magnitude, the 27 bits below cleared): the factor minus it,
// exact, has at most 26 bits too, so the four products of the halves are
// exact. Three integer operations that raise no flag, in place of Dekker's
// split by 2^27 + 1 (a product and two differences, the product inexact
// for factors of more than 26 bits). Bases and powers in range keep the
// pattern clear of the exponent's top.
VOXEVAL_ALWAYS_INLINE double HighHalf(double a) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128i bits = _mm_castpd_si128(_mm_set_sd(a));
  const __m128i half = _mm_set1_epi64x(std::int64_t{1} << 26);
  const __m128i keep = _mm_set1_epi64x(-(std::int64_t{1} << 27));
  return _mm_cvtsd_f64(
      _mm_castsi128_pd(_mm_and_si128(_mm_add_epi64(bits, half), keep)));
#else
  std::uint64_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  bits = (bits + (std::uint64_t{1} << 26)) & ~((std::uint64_t{1} << 27) - 1);
  std::memcpy(&a, &bits, sizeof bits);
  return a;
#endif
}

// The rounding error of the product p = a * b, exactly, from the factors'
// halves (Dekker); exact while nothing overflows or becomes subnormal.
VOXEVAL_ALWAYS_INLINE double ProductError(double a, double b, double p) {
  const double highA = HighHalf(a);
  const double lowA = a - highA;
  const double highB = HighHalf(b);
  const double lowB = b - highB;
  return ((highA * highB - p) + highA * lowB + lowA * highB) + lowA * lowB;
}

VOXEVAL_ALWAYS_INLINE double Carried(double lo, double a, double error) {
  return error + lo * a;
}
#endif

// Magnitudes whose square or cube and rounding errors stay clear of
// overflow and subnormals: 2^-limit <= |a| < 2^limit. Read from the
// exponent bits, since a comparison would signal on a NaN.
VOXEVAL_ALWAYS_INLINE bool IsInRange(double a, int limit) {
#if defined(__SSE2__) || defined(_M_X64)
  // Shifted where it lies, without the pair of 32-bit halves a 64-bit
  // integer is on 32-bit x86.
  const int biased =
      _mm_cvtsi128_si32(_mm_srli_epi64(_mm_castpd_si128(_mm_set_sd(a)), 52)) &
      0x7FF;
#else
  std::uint64_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  const int biased = static_cast<int>(bits >> 52 & 0x7FF);
#endif
  return static_cast<unsigned>(biased - (1023 - limit)) <
         static_cast<unsigned>(2 * limit);
}

// pow(a, n) for n from 2 to kMaxProvenExponent, without the call where n
// is at most kLargestInPlace and the products are certainly the same. a^n
// is taken as hi + lo: each product's rounding error exactly
// (ProductError), the error carried along multiplied by a (Carried), whose
// own roundings lie far below the last bit; then p, the double nearest hi +
// lo, and the proof on p and its residual. The exponent is read from the
// step: a literal would let the compiler put products in place of the call.
VOXEVAL_ALWAYS_INLINE double PowN(double a, std::int32_t n,
                                  const double *exponent) {
  if (kPowsProvenInPlace && n <= kLargestInPlace &&
      IsInRange(a, PowerRange(n))) {
    double hi = a * a;
    double lo = ProductError(a, a, hi);
    for (std::int32_t k = 2; k < n; ++k) {
      const double product = hi * a;
      lo = Carried(lo, a, ProductError(hi, a, product));
      hi = product;
    }
    const double p = hi + lo;
    if (IsProvenPower(p, lo - (p - hi)))
      return p;
  }
  return std::pow(a, *exponent);
}

// pow(base, exponent), without the call where the exponent is a small
// whole number and the products are certainly what pow gives.
double PowerOf(double base, double exponent);

#endif
