// What the code generator needs to know of a calling convention, as data.
// The code is entered as its owner's
//   std::pair<bool, double> Evaluate(std::uintptr_t context) const
// in the C++ ABI of the system, and gives back the pair itself. It uses
// only registers the convention leaves free to use, so it saves none: rax,
// rcx, rdx, r8-r11 and xmm0-xmm5 everywhere on x86-64; rsi, rdi and
// xmm6-xmm15 on System V only; eax, ecx, edx and xmm0-xmm7 on 32-bit x86.
#ifndef VOXEVAL_EXECUTION_MACHINE_CALLING_CONVENTION_H
#define VOXEVAL_EXECUTION_MACHINE_CALLING_CONVENTION_H

#include "execution/machine/x86_encoder.h"

struct CALLING_CONVENTION {
  const char *name;
  // The pair goes back in eax and xmm0; otherwise it is stored through the
  // pointer the caller gives (result), which goes back in rax.
  bool pairInRegisters;
  // Running values of the outer levels kept in registers, from xmm3 on.
  int registerLevels;
  Xmm mask; // the exponent bits, for the finiteness tests
  // The owner, the context word and the pair's address as they arrive.
  Gpr owner;
  Gpr context;
  Gpr result;
  // Holds the first variable's address: no argument arrives in it.
  Gpr base;
  // The integer arguments of a call, in order.
  Gpr arguments[4];
  // Room the callee may use above the return address; kept everywhere.
  // In 32-bit code, where every argument of a call goes on the stack,
  // they go there.
  std::int32_t homeArea;
  // 32-bit code takes its arguments on the stack: the pair's address,
  // the owner and the context word, one pointer each above the return
  // address, and pops the pair's address as it returns. The registers
  // above then serve nothing.
  CodeWidth width;
  // Where the pair's double lies in it.
  std::int32_t pairValue;
  // Free registers: the memory of a passed rounding test, and where a way
  // to pow goes back to.
  Gpr roundingKnown;
  Gpr returnTo;
};

// clang-format off
const CALLING_CONVENTION kSystemV = {
    "System V",
    true,                                          // pairInRegisters
    12,                                            // registerLevels
    Xmm(15),                                       // mask
    Gpr::kRdi, Gpr::kRsi, Gpr::kRax,               // owner, context, result
    Gpr::kRcx,                                     // base
    {Gpr::kRdi, Gpr::kRsi, Gpr::kRdx, Gpr::kRcx},  // arguments
    32,                                            // homeArea
    CodeWidth::k64, 8,                             // width, pairValue
    Gpr::kR9, Gpr::kR10};                          // roundingKnown, returnTo

// Windows keeps xmm6-xmm15 for the caller: two levels in registers. A
// member function returns a class through a pointer, which Microsoft's
// ABI passes after `this` and GCC's before it.
const CALLING_CONVENTION kMicrosoftX64 = {
    "Microsoft x64",
    false,
    2,
    Xmm(5),
    Gpr::kRcx, Gpr::kR8, Gpr::kRdx,
    Gpr::kR11,
    {Gpr::kRcx, Gpr::kRdx, Gpr::kR8, Gpr::kR9},
    32,
    CodeWidth::k64, 8,
    Gpr::kR9, Gpr::kR10};

const CALLING_CONVENTION kMinGWX64 = {
    "MinGW x64",
    false,
    2,
    Xmm(5),
    Gpr::kRdx, Gpr::kR8, Gpr::kRcx,
    Gpr::kR11,
    {Gpr::kRcx, Gpr::kRdx, Gpr::kR8, Gpr::kR9},
    32,
    CodeWidth::k64, 8,
    Gpr::kR9, Gpr::kR10};
// 32-bit x86 System V: eight vector registers, four of them for levels;
// the pair returned through memory, its double 4-aligned.
const CALLING_CONVENTION kSystemVI386 = {
    "System V i386",
    false,
    4,
    Xmm(7),
    Gpr::kRax, Gpr::kRax, Gpr::kRax,
    Gpr::kRax,
    {Gpr::kRax, Gpr::kRax, Gpr::kRax, Gpr::kRax},
    16,
    CodeWidth::k32, 4,
    Gpr::kRdx, Gpr::kRcx};
// clang-format on

// The convention of the system the library runs on.
inline const CALLING_CONVENTION &HostConvention() {
#if defined(_WIN32) && defined(_MSC_VER)
  return kMicrosoftX64;
#elif defined(_WIN32)
  return kMinGWX64;
#elif defined(__i386__)
  return kSystemVI386;
#else
  return kSystemV;
#endif
}

#endif
