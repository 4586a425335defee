// The index of the lowest set bit of a word that is not 0: the unit maps of
// the code arena and of the unwind table are read with it.
#ifndef VOXEVAL_EXECUTION_MACHINE_LOWEST_BIT_H
#define VOXEVAL_EXECUTION_MACHINE_LOWEST_BIT_H

#include <cstdint>

inline int LowestBit(std::uint64_t v) {
#if defined(__GNUC__)
  return __builtin_ctzll(v);
#else
  int n = 0;
  for (; (v & 1) == 0; v >>= 1)
    ++n;
  return n;
#endif
}

#endif
