// The whole powers of the machine code's calls: the flat program's own
// procedure behind one call.
#include "evaluation/arithmetic.h"

double PowerOf(double base, double exponent) {
  const std::int32_t n = SmallExponent(exponent);
#if defined(__GNUC__)
  // Past the test the exponent is no longer known to be n, so the
  // compiler cannot put products in place of the calls to pow.
  __asm__("" : "+m"(exponent));
#endif
  if (n != 0)
    return PowN(base, n, &exponent);
  return std::pow(base, exponent);
}
