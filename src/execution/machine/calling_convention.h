// What the code generator needs to know of a calling convention, as data.
// The code uses only registers the convention leaves free to use, so it
// saves none: rax, rcx, rdx, r8-r10 and xmm0-xmm5 everywhere; rsi, rdi and
// xmm6-xmm15 on System V only.
#ifndef VOXEVAL_EXECUTION_MACHINE_CALLING_CONVENTION_H
#define VOXEVAL_EXECUTION_MACHINE_CALLING_CONVENTION_H

#include "execution/machine/x86_encoder.h"

struct CALLING_CONVENTION {
  const char *name;
  // The code is entered as the owner's Evaluate(owner, context) and gives
  // back the (true, value) pair itself (eax and xmm0), jumping on to the
  // fallback when it has no value. Otherwise it takes the same two and
  // gives a double that the caller tests.
  bool returnsPair;
  // Running values of the outer levels kept in registers, from xmm3 on.
  int registerLevels;
  Xmm mask; // the exponent bits, for the finiteness tests
  // The owner and context word as they arrive, and the three integer
  // arguments of a call, in order.
  Gpr owner;
  Gpr context;
  Gpr arguments[3];
  // Room the callee may use above the return address; kept everywhere.
  std::int32_t homeArea;
};

// clang-format off
const CALLING_CONVENTION kSystemV = {
    "System V",
    true,                                 // returnsPair
    12,                                   // registerLevels
    Xmm(15),                              // mask
    Gpr::kRdi, Gpr::kRsi,                 // owner, context
    {Gpr::kRdi, Gpr::kRsi, Gpr::kRdx},    // arguments
    32};                                  // homeArea

// Windows keeps xmm6-xmm15 for the caller: two levels in registers.
const CALLING_CONVENTION kWindowsX64 = {
    "Windows x64",
    false,
    2,
    Xmm(5),
    Gpr::kRcx, Gpr::kRdx,
    {Gpr::kRcx, Gpr::kRdx, Gpr::kR8},
    32};
// clang-format on

// The convention of the system the library runs on.
inline const CALLING_CONVENTION &HostConvention() {
#if defined(_WIN32)
  return kWindowsX64;
#else
  return kSystemV;
#endif
}

#endif
