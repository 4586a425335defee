// What the code generator needs to know of a calling convention, as data.
// The code is entered as its owner's
//   std::pair<bool, double> Evaluate(std::uintptr_t context) const
// in the C++ ABI of the system, and gives back the pair itself. It uses
// only registers the convention leaves free to use, so it saves none: rax,
// rcx, rdx, r8-r11 and xmm0-xmm5 everywhere on x86-64; rsi, rdi and
// xmm6-xmm15 on System V only; eax, ecx, edx and xmm0-xmm7 on 32-bit x86.
// The proof of whole powers in place holds for glibc's pow only: the code
// takes none on Windows (kPowsProvenInPlace), and there roundingKnown and
// returnTo serve nothing.
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
  CodeWidth width;
  // Where the pair's double lies in it.
  std::int32_t pairValue;
  // 32-bit code: the pair's address, the owner and the context word, each
  // the n-th pointer on the stack above the return address, or -1 where
  // it arrives in the register named above (ecx); and the bytes of them
  // the code pops as it returns.
  std::int8_t stackResult;
  std::int8_t stackOwner;
  std::int8_t stackContext;
  std::uint16_t popped;
  // Where the code has no value it goes on through HandOver, which stores
  // what the fallback gives through the pair's pointer, rather than
  // jumping to the fallback itself (whose form is not the entry's).
  bool handOver;
  // Free registers: the memory of a passed rounding test, and where a way
  // to pow goes back to.
  Gpr roundingKnown;
  Gpr returnTo;
};

// clang-format off
constexpr CALLING_CONVENTION kSystemV = {
    "System V",
    true,                                          // pairInRegisters
    12,                                            // registerLevels
    Xmm(15),                                       // mask
    Gpr::kRdi, Gpr::kRsi, Gpr::kRax,               // owner, context, result
    Gpr::kRcx,                                     // base
    {Gpr::kRdi, Gpr::kRsi, Gpr::kRdx, Gpr::kRcx},  // arguments
    32,                                            // homeArea
    CodeWidth::k64, 8,                             // width, pairValue
    -1, -1, -1, 0,                                 // on the stack, popped
    false,                                         // handOver
    Gpr::kR9, Gpr::kR10};                          // roundingKnown, returnTo

// Windows keeps xmm6-xmm15 for the caller: two levels in registers. A
// member function returns a class through a pointer, which Microsoft's
// ABI passes after `this` and GCC's before it.
constexpr CALLING_CONVENTION kMicrosoftX64 = {
    "Microsoft x64",
    false,
    2,
    Xmm(5),
    Gpr::kRcx, Gpr::kR8, Gpr::kRdx,
    Gpr::kR11,
    {Gpr::kRcx, Gpr::kRdx, Gpr::kR8, Gpr::kR9},
    32,
    CodeWidth::k64, 8,
    -1, -1, -1, 0,
    true,
    Gpr::kR9, Gpr::kR10};

constexpr CALLING_CONVENTION kMinGWX64 = {
    "MinGW x64",
    false,
    2,
    Xmm(5),
    Gpr::kRdx, Gpr::kR8, Gpr::kRcx,
    Gpr::kR11,
    {Gpr::kRcx, Gpr::kRdx, Gpr::kR8, Gpr::kR9},
    32,
    CodeWidth::k64, 8,
    -1, -1, -1, 0,
    true,
    Gpr::kR9, Gpr::kR10};
// 32-bit x86 System V: eight vector registers, four of them for levels;
// the pair returned through memory, its double 4-aligned, its address
// before the owner (which the code pops). The fallback takes the same
// arguments the same way.
constexpr CALLING_CONVENTION kSystemVI386 = {
    "System V i386",
    false,
    4,
    Xmm(7),
    Gpr::kRax, Gpr::kRax, Gpr::kRax,
    Gpr::kRax,
    {Gpr::kRax, Gpr::kRax, Gpr::kRax, Gpr::kRax},
    16,
    CodeWidth::k32, 4,
    0, 1, 2, 4,
    false,
    Gpr::kRdx, Gpr::kRcx};

// 32-bit Windows: a member function takes the context word on the stack,
// `this` in ecx and the pair's address on the stack before the context in
// Microsoft's ABI, the other way round in GCC's, and pops both; the
// pair's double is 8-aligned.
constexpr CALLING_CONVENTION kMicrosoftI386 = {
    "Microsoft i386",
    false,
    4,
    Xmm(7),
    Gpr::kRcx, Gpr::kRax, Gpr::kRax,
    Gpr::kRax,
    {Gpr::kRax, Gpr::kRax, Gpr::kRax, Gpr::kRax},
    16,
    CodeWidth::k32, 8,
    0, -1, 1, 8,
    true,
    Gpr::kRdx, Gpr::kRdx};

constexpr CALLING_CONVENTION kMinGWI386 = {
    "MinGW i386",
    false,
    4,
    Xmm(7),
    Gpr::kRax, Gpr::kRax, Gpr::kRcx,
    Gpr::kRax,
    {Gpr::kRax, Gpr::kRax, Gpr::kRax, Gpr::kRax},
    16,
    CodeWidth::k32, 8,
    -1, 0, 1, 8,
    true,
    Gpr::kRdx, Gpr::kRdx};
// clang-format on

// The convention of the system the library runs on.
constexpr const CALLING_CONVENTION &HostConvention() {
#if defined(_WIN32) && defined(_M_IX86) && defined(_MSC_VER)
  return kMicrosoftI386;
#elif defined(_WIN32) && defined(__i386__)
  return kMinGWI386;
#elif defined(_WIN32) && defined(_MSC_VER)
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
