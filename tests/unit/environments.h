// The floating-point environments hosts run formulas in: the four rounding
// modes and, on x86, the vector unit's flush-to-zero and denormals-are-zero
// bits, which hosts built with -Ofast or -ffast-math set; on 32-bit x86 also
// the x87 unit at 53-bit precision (where the C library's pow computes).
#ifndef VOXEVAL_TESTS_ENVIRONMENTS_H
#define VOXEVAL_TESTS_ENVIRONMENTS_H

#include <cfenv>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define VOXEVAL_TEST_MXCSR 1
#endif

struct Environment {
  int rounding;
  unsigned flush; // the control register's bits
  const char *name;
  bool x87Double = false; // the x87 unit's precision 53 bits, not 64
};

const unsigned kFlushToZero = 0x8000;
const unsigned kDenormalsAreZero = 0x40;

const Environment kEnvironments[] = {
    {FE_TONEAREST, 0, "to nearest"},
    {FE_UPWARD, 0, "upward"},
    {FE_DOWNWARD, 0, "downward"},
    {FE_TOWARDZERO, 0, "toward zero"},
#if defined(VOXEVAL_TEST_MXCSR)
    {FE_TONEAREST, kFlushToZero, "to nearest, flush to zero"},
    {FE_TONEAREST, kDenormalsAreZero, "to nearest, denormals are zero"},
    {FE_DOWNWARD, kFlushToZero | kDenormalsAreZero,
     "downward, flush to zero, denormals are zero"},
#endif
#if defined(__i386__) && defined(__GNUC__)
    {FE_TONEAREST, 0, "to nearest, x87 at 53 bits", true},
#endif
};

const std::size_t kEnvironmentCount =
    sizeof kEnvironments / sizeof kEnvironments[0];

// Puts an environment in force; restores round-to-nearest without either
// bit however a test leaves.
struct EnvironmentGuard {
  void Set(const Environment &environment) {
    std::fesetround(environment.rounding);
#if defined(VOXEVAL_TEST_MXCSR)
    _mm_setcsr((_mm_getcsr() & ~(kFlushToZero | kDenormalsAreZero)) |
               environment.flush);
#endif
#if defined(__i386__) && defined(__GNUC__)
    unsigned short x87;
    __asm__ volatile("fnstcw %0" : "=m"(x87));
    x87 = static_cast<unsigned short>(
        (x87 & ~0x0300u) | (environment.x87Double ? 0x0200u : 0x0300u));
    __asm__ volatile("fldcw %0" : : "m"(x87));
#endif
  }
  ~EnvironmentGuard() { Set(kEnvironments[0]); }
};

// The five flags of the C language. Some C libraries add the processor's
// denormal-operand flag to FE_ALL_EXCEPT; which operations read a
// subnormal operand is not among what the library keeps equal.
const int kStandardFlags =
    FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INEXACT;

#endif
