// What the code generator writes for a few small formulas, read as a
// listing: the shape of the code (which values are tested, where calls
// save the running values, how squares are proven, what each calling
// convention changes) shows here before it shows in a value.
#include "builder/expression_builder.h"
#include "execution/machine/machine_writer.h"
#include "execution/visit_plan.h"
#include "record_trees.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct Golden {
  const char *text;
  bool vex;
  const CALLING_CONVENTION *convention;
  const char *listing;
};

std::string ListingOf(const boost::shared_ptr<CExpressionBuilder> &builder,
                      const Golden &golden) {
  std::unique_ptr<Tree> tree = CompileText(builder, golden.text);
  CVisitPlan plan;
  if (!tree || !plan.Read(tree->root))
    return "(not read)";
  MACHINE_FEATURES features;
  features.vex = golden.vex;
  return ListMachineCode(plan, features, *golden.convention);
}

} // namespace

TEST(MachineListing, SmallFormulasReadAsExpected) {
  const Golden goldens[] = {
    // Every variable is tested once at entry, by its exponent bits, before
    // any arithmetic: one that is not finite hands over to the fallback.
    // The reads that follow need no test.
    {"x*y+z", false, &kSystemV,
     "  endbr64\n"
     "  mov rcx, first variable\n"
     "  movsd xmm15, [inf]\n"
     "  movsd xmm1, [rcx+0]\n"
     "  andpd xmm1, xmm15\n"
     "  movsd xmm2, [rcx+8]\n"
     "  andpd xmm2, xmm15\n"
     "  maxpd xmm1, xmm2\n"
     "  movsd xmm2, [rcx+16]\n"
     "  andpd xmm2, xmm15\n"
     "  maxpd xmm1, xmm2\n"
     "  ucomisd xmm1, xmm15\n"
     "  je .L0\n"
     "  movsd xmm3, [rcx+0]\n"
     "  mulsd xmm3, [rcx+8]\n"
     "  addsd xmm3, [rcx+16]\n"
     "  movapd xmm0, xmm3\n"
     "  movapd xmm2, xmm0\n"
     "  andpd xmm2, xmm15\n"
     "  ucomisd xmm2, xmm15\n"
     "  je .L0\n"
     "  mov eax, 1\n"
     "  ret\n"
     ".L0:\n"
     "  mov rax, fallback\n"
     "  jmp rax\n"},
    // With VEX, variables are read once, into the registers above the
    // levels', and tested two to a register.
    {"x*y+z", true, &kSystemV,
     "  endbr64\n"
     "  mov rcx, first variable\n"
     "  movddup xmm15, [inf]\n"
     "  movsd xmm4, [rcx+0]\n"
     "  movsd xmm5, [rcx+8]\n"
     "  movsd xmm6, [rcx+16]\n"
     "  vunpcklpd xmm1, xmm4, xmm5\n"
     "  andpd xmm1, xmm15\n"
     "  vandpd xmm2, xmm6, xmm15\n"
     "  maxpd xmm1, xmm2\n"
     "  vpcmpeqq xmm1, xmm1, xmm15\n"
     "  vtestpd xmm1, xmm1\n"
     "  jne .L0\n"
     "  movapd xmm3, xmm4\n"
     "  mulsd xmm3, xmm5\n"
     "  addsd xmm3, xmm6\n"
     "  movapd xmm0, xmm3\n"
     "  vandpd xmm2, xmm0, xmm15\n"
     "  ucomisd xmm2, xmm15\n"
     "  je .L0\n"
     "  mov eax, 1\n"
     "  ret\n"
     ".L0:\n"
     "  mov rax, fallback\n"
     "  jmp rax\n"},
    // The call saves the running value, and the owner and context for the
    // fallback; after it, variables are read from memory again.
    {"2*x+sin(t)", true, &kSystemV,
     "  endbr64\n"
     "  sub rsp, 72\n"
     "  mov [rsp+40], rdi\n"
     "  mov [rsp+48], rsi\n"
     "  mov rcx, first variable\n"
     "  movddup xmm15, [inf]\n"
     "  movsd xmm4, [rcx+0]\n"
     "  movsd xmm5, [rcx+32]\n"
     "  vunpcklpd xmm1, xmm4, xmm5\n"
     "  andpd xmm1, xmm15\n"
     "  vpcmpeqq xmm1, xmm1, xmm15\n"
     "  vtestpd xmm1, xmm1\n"
     "  jne .L0\n"
     "  movsd xmm3, [2]\n"
     "  mulsd xmm3, xmm4\n"
     "  movapd xmm0, xmm5\n"
     "  movsd [rsp+64], xmm3\n"
     "  mov rax, sin\n"
     "  call rax\n"
     "  mov rcx, first variable\n"
     "  movddup xmm15, [inf]\n"
     "  movsd xmm3, [rsp+64]\n"
     "  addsd xmm3, xmm0\n"
     "  movapd xmm0, xmm3\n"
     "  vandpd xmm2, xmm0, xmm15\n"
     "  ucomisd xmm2, xmm15\n"
     "  je .L0\n"
     "  mov eax, 1\n"
     "  add rsp, 72\n"
     "  ret\n"
     ".L0:\n"
     "  mov rdi, [rsp+40]\n"
     "  mov rsi, [rsp+48]\n"
     "  add rsp, 72\n"
     "  mov rax, fallback\n"
     "  jmp rax\n"},
#if defined(__GLIBC__)
    // The square proven in place under round-to-nearest, for a base whose
    // exponent bits lie in the square's range (tested before the product);
    // the first one proves the mode on its way (r9 remembers it for later
    // ones across the library's calls, until a callback); else the way to
    // pow after the function's end, shared by the squares like it, which
    // comes back through r10 to a place marked for indirect jumps and reads
    // the held variables again.
    {"x^2+1", true, &kSystemV,
     "  endbr64\n"
     "  mov rcx, first variable\n"
     "  movddup xmm15, [inf]\n"
     "  xor r9d, r9d\n"
     "  movsd xmm4, [rcx+0]\n"
     "  vandpd xmm1, xmm4, xmm15\n"
     "  ucomisd xmm1, xmm15\n"
     "  je .L0\n"
     "  movapd xmm3, xmm4\n"
     "  vandpd xmm1, xmm3, xmm15\n"
     "  ucomisd xmm1, [3.4395525670743494e-136]\n"
     "  jb .L1\n"
     "  ucomisd xmm1, [2.9073548971824276e+135]\n"
     "  jae .L1\n"
     "  vmulsd xmm1, xmm3, xmm3\n"
     "  movapd xmm2, xmm1\n"
     "  vfmsub231sd xmm2, xmm3, xmm3\n"
     "  vfmadd132sd xmm2, xmm1, [1.0900000000000001]\n"
     "  ucomisd xmm2, xmm1\n"
     "  jne .L1\n"
     "  ucomisd xmm1, [1]\n"
     "  je .L4\n"
     "  movsd xmm2, [1]\n"
     "  addsd xmm2, [5.5511151231257827e-17]\n"
     "  addsd xmm2, [1.6653345369377348e-16]\n"
     "  ucomisd xmm2, [1.0000000000000002]\n"
     "  jne .L1\n"
     "  mov r9d, 1\n"
     ".L4:\n"
     "  movapd xmm3, xmm1\n"
     ".L2:\n"
     "  endbr64\n"
     "  addsd xmm3, [1]\n"
     "  movapd xmm0, xmm3\n"
     "  vandpd xmm2, xmm0, xmm15\n"
     "  ucomisd xmm2, xmm15\n"
     "  je .L0\n"
     "  mov eax, 1\n"
     "  ret\n"
     ".L0:\n"
     "  mov rax, fallback\n"
     "  jmp rax\n"
     ".L1:\n"
     "  lea r10, .L2\n"
     "  jmp .L5\n"
     ".L5:\n"
     "  sub rsp, 72\n"
     "  mov [rsp+40], rdi\n"
     "  mov [rsp+48], rsi\n"
     "  mov [rsp+64], r10\n"
     "  movapd xmm0, xmm3\n"
     "  movsd xmm1, [2]\n"
     "  mov [rsp+32], r9\n"
     "  mov rax, pow\n"
     "  call rax\n"
     "  mov rcx, first variable\n"
     "  movddup xmm15, [inf]\n"
     "  mov r9, [rsp+32]\n"
     "  movapd xmm3, xmm0\n"
     "  movsd xmm4, [rcx+0]\n"
     "  mov rdi, [rsp+40]\n"
     "  mov rsi, [rsp+48]\n"
     "  mov r10, [rsp+64]\n"
     "  add rsp, 72\n"
     "  jmp r10\n"},
#endif
    // Windows: the pair goes back through the caller's pointer, which
    // arrives after `this` in Microsoft's ABI; variables are read from r11.
    {"x/y", false, &kMicrosoftX64,
     "  endbr64\n"
     "  mov r11, first variable\n"
     "  movsd xmm5, [inf]\n"
     "  movsd xmm1, [r11+0]\n"
     "  andpd xmm1, xmm5\n"
     "  movsd xmm2, [r11+8]\n"
     "  andpd xmm2, xmm5\n"
     "  maxpd xmm1, xmm2\n"
     "  ucomisd xmm1, xmm5\n"
     "  je .L0\n"
     "  movsd xmm3, [r11+0]\n"
     "  divsd xmm3, [r11+8]\n"
     "  movapd xmm0, xmm3\n"
     "  movapd xmm2, xmm0\n"
     "  andpd xmm2, xmm5\n"
     "  ucomisd xmm2, xmm5\n"
     "  je .L0\n"
     "  lea rax, [rdx+0]\n"
     "  mov qword [rax], 1\n"
     "  movsd [rax+8], xmm0\n"
     "  ret\n"
     ".L0:\n"
     "  mov r9, fallback\n"
     "  mov rax, HandOver\n"
     "  jmp rax\n"},
    // GCC's ABI passes it before `this`. Around a call the arguments wait
    // in the frame, the pointer among them.
    {"exp(x)*y", false, &kMinGWX64,
     "  endbr64\n"
     "  sub rsp, 88\n"
     "  mov [rsp+40], rdx\n"
     "  mov [rsp+48], r8\n"
     "  mov [rsp+72], rcx\n"
     "  mov r11, first variable\n"
     "  movsd xmm5, [inf]\n"
     "  movsd xmm1, [r11+0]\n"
     "  andpd xmm1, xmm5\n"
     "  movsd xmm2, [r11+8]\n"
     "  andpd xmm2, xmm5\n"
     "  maxpd xmm1, xmm2\n"
     "  ucomisd xmm1, xmm5\n"
     "  je .L0\n"
     "  movsd xmm0, [r11+0]\n"
     "  mov rax, exp\n"
     "  call rax\n"
     "  mov r11, first variable\n"
     "  movsd xmm5, [inf]\n"
     "  movapd xmm3, xmm0\n"
     "  mulsd xmm3, [r11+8]\n"
     "  movapd xmm0, xmm3\n"
     "  movapd xmm2, xmm0\n"
     "  andpd xmm2, xmm5\n"
     "  ucomisd xmm2, xmm5\n"
     "  je .L0\n"
     "  mov rax, [rsp+72]\n"
     "  mov qword [rax], 1\n"
     "  movsd [rax+8], xmm0\n"
     "  add rsp, 88\n"
     "  ret\n"
     ".L0:\n"
     "  mov rdx, [rsp+40]\n"
     "  mov r8, [rsp+48]\n"
     "  mov rcx, [rsp+72]\n"
     "  add rsp, 88\n"
     "  mov r9, fallback\n"
     "  mov rax, HandOver\n"
     "  jmp rax\n"},
    // 32-bit code: variables by their addresses, a call's arguments on
    // the stack and its result from the x87 stack, the pair returned
    // through the pointer the caller passed, which the return pops.
    {"sin(x)*y", false, &kSystemVI386,
     "  endbr32\n"
     "  sub esp, 76\n"
     "  movsd xmm7, [inf]\n"
     "  movsd xmm1, [first variable+0]\n"
     "  andpd xmm1, xmm7\n"
     "  movsd xmm2, [first variable+8]\n"
     "  andpd xmm2, xmm7\n"
     "  maxpd xmm1, xmm2\n"
     "  ucomisd xmm1, xmm7\n"
     "  je .L0\n"
     "  movsd xmm0, [first variable+0]\n"
     "  movsd [esp+0], xmm0\n"
     "  mov eax, sin\n"
     "  call eax\n"
     "  fstp qword [esp+0]\n"
     "  movsd xmm0, [esp+0]\n"
     "  movsd xmm7, [inf]\n"
     "  movapd xmm3, xmm0\n"
     "  mulsd xmm3, [first variable+8]\n"
     "  movapd xmm0, xmm3\n"
     "  movapd xmm2, xmm0\n"
     "  andpd xmm2, xmm7\n"
     "  ucomisd xmm2, xmm7\n"
     "  je .L0\n"
     "  mov eax, [esp+80]\n"
     "  mov dword [eax], 1\n"
     "  movsd [eax+4], xmm0\n"
     "  add esp, 76\n"
     "  ret 4\n"
     ".L0:\n"
     "  add esp, 76\n"
     "  mov eax, fallback\n"
     "  jmp eax\n"},
    // 32-bit Windows, Microsoft's ABI: `this` arrives in ecx, kept in the
    // frame across calls for the way to the fallback, through HandOver
    // with the fallback in edx; the return pops the pair's address and the
    // context word.
    {"exp(x)*y", false, &kMicrosoftI386,
     "  endbr32\n"
     "  sub esp, 76\n"
     "  mov [esp+24], ecx\n"
     "  movsd xmm7, [inf]\n"
     "  movsd xmm1, [first variable+0]\n"
     "  andpd xmm1, xmm7\n"
     "  movsd xmm2, [first variable+8]\n"
     "  andpd xmm2, xmm7\n"
     "  maxpd xmm1, xmm2\n"
     "  ucomisd xmm1, xmm7\n"
     "  je .L0\n"
     "  movsd xmm0, [first variable+0]\n"
     "  movsd [esp+0], xmm0\n"
     "  mov eax, exp\n"
     "  call eax\n"
     "  fstp qword [esp+0]\n"
     "  movsd xmm0, [esp+0]\n"
     "  movsd xmm7, [inf]\n"
     "  movapd xmm3, xmm0\n"
     "  mulsd xmm3, [first variable+8]\n"
     "  movapd xmm0, xmm3\n"
     "  movapd xmm2, xmm0\n"
     "  andpd xmm2, xmm7\n"
     "  ucomisd xmm2, xmm7\n"
     "  je .L0\n"
     "  mov eax, [esp+80]\n"
     "  mov dword [eax], 1\n"
     "  movsd [eax+8], xmm0\n"
     "  add esp, 76\n"
     "  ret 8\n"
     ".L0:\n"
     "  mov ecx, [esp+24]\n"
     "  add esp, 76\n"
     "  mov edx, fallback\n"
     "  mov eax, HandOver\n"
     "  jmp eax\n"},
#if defined(__GLIBC__)
    // The square's proof asks the x87 unit's control word too, where pow
    // computes; an exact square goes to pow, which flags only some.
    {"x^2+y", true, &kSystemVI386,
     "  endbr32\n"
     "  movddup xmm7, [inf]\n"
     "  xor edx, edx\n"
     "  movsd xmm4, [first variable+0]\n"
     "  movsd xmm5, [first variable+8]\n"
     "  vunpcklpd xmm1, xmm4, xmm5\n"
     "  andpd xmm1, xmm7\n"
     "  vpcmpeqq xmm1, xmm1, xmm7\n"
     "  vtestpd xmm1, xmm1\n"
     "  jne .L0\n"
     "  movapd xmm3, xmm4\n"
     "  vandpd xmm1, xmm3, xmm7\n"
     "  ucomisd xmm1, [3.4395525670743494e-136]\n"
     "  jb .L1\n"
     "  ucomisd xmm1, [2.9073548971824276e+135]\n"
     "  jae .L1\n"
     "  vmulsd xmm1, xmm3, xmm3\n"
     "  movapd xmm2, xmm1\n"
     "  vfmsub231sd xmm2, xmm3, xmm3\n"
     "  ucomisd xmm2, [0]\n"
     "  je .L1\n"
     "  vfmadd132sd xmm2, xmm1, [1.0900000000000001]\n"
     "  ucomisd xmm2, xmm1\n"
     "  jne .L1\n"
     "  ucomisd xmm1, [1]\n"
     "  je .L4\n"
     "  movsd xmm2, [1]\n"
     "  addsd xmm2, [5.5511151231257827e-17]\n"
     "  addsd xmm2, [1.6653345369377348e-16]\n"
     "  ucomisd xmm2, [1.0000000000000002]\n"
     "  jne .L1\n"
     "  sub esp, 4\n"
     "  fnstcw [esp+0]\n"
     "  mov eax, [esp+0]\n"
     "  add esp, 4\n"
     "  and eax, 0xf00\n"
     "  cmp eax, 0x300\n"
     "  jne .L1\n"
     "  mov edx, 1\n"
     ".L4:\n"
     "  movapd xmm3, xmm1\n"
     ".L2:\n"
     "  endbr32\n"
     "  addsd xmm3, xmm5\n"
     "  movapd xmm0, xmm3\n"
     "  vandpd xmm2, xmm0, xmm7\n"
     "  ucomisd xmm2, xmm7\n"
     "  je .L0\n"
     "  mov eax, [esp+4]\n"
     "  mov dword [eax], 1\n"
     "  movsd [eax+4], xmm0\n"
     "  ret 4\n"
     ".L0:\n"
     "  mov eax, fallback\n"
     "  jmp eax\n"
     ".L1:\n"
     "  mov ecx, .L2\n"
     "  jmp .L5\n"
     ".L5:\n"
     "  sub esp, 76\n"
     "  mov [esp+48], ecx\n"
     "  movapd xmm0, xmm3\n"
     "  movsd xmm1, [2]\n"
     "  mov [esp+16], edx\n"
     "  movsd [esp+0], xmm0\n"
     "  movsd [esp+8], xmm1\n"
     "  mov eax, pow\n"
     "  call eax\n"
     "  fstp qword [esp+0]\n"
     "  movsd xmm0, [esp+0]\n"
     "  movddup xmm7, [inf]\n"
     "  mov edx, [esp+16]\n"
     "  movapd xmm3, xmm0\n"
     "  movsd xmm4, [first variable+0]\n"
     "  movsd xmm5, [first variable+8]\n"
     "  mov ecx, [esp+48]\n"
     "  add esp, 76\n"
     "  jmp ecx\n"},
#endif
  };

  boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  for (const Golden &golden : goldens) {
    EXPECT_EQ(ListingOf(builder, golden), golden.listing)
        << golden.text << " (" << golden.convention->name
        << (golden.vex ? ", VEX" : ", SSE") << ")";
  }
}
