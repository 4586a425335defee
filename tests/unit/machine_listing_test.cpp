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
    // Sums and products carry infinity on: only the result is tested.
    {"x*y+z", false, &kSystemV,
     "  endbr64\n"
     "  mov rcx, first variable\n"
     "  movsd xmm3, [rcx+0]\n"
     "  mulsd xmm3, [rcx+8]\n"
     "  addsd xmm3, [rcx+16]\n"
     "  movapd xmm0, xmm3\n"
     "  movapd xmm1, xmm0\n"
     "  subsd xmm1, xmm0\n"
     "  ucomisd xmm1, xmm1\n"
     "  jp .L0\n"
     "  mov eax, 1\n"
     "  ret\n"
     ".L0:\n"
     "  mov rax, fallback\n"
     "  jmp rax\n"},
    // The argument is tested into the flag; the call saves the running
    // value and the flag, and the owner and context for the fallback.
    {"2*x+sin(t)", true, &kSystemV,
     "  endbr64\n"
     "  sub rsp, 72\n"
     "  mov [rsp+40], rdi\n"
     "  mov [rsp+48], rsi\n"
     "  xorpd xmm15, xmm15\n"
     "  mov rcx, first variable\n"
     "  movsd xmm3, [2]\n"
     "  mulsd xmm3, [rcx+0]\n"
     "  movsd xmm0, [rcx+32]\n"
     "  vsubsd xmm2, xmm0, xmm0\n"
     "  orpd xmm15, xmm2\n"
     "  movsd [rsp+64], xmm3\n"
     "  movsd [rsp+32], xmm15\n"
     "  mov rax, sin\n"
     "  call rax\n"
     "  mov rcx, first variable\n"
     "  movsd xmm3, [rsp+64]\n"
     "  movsd xmm15, [rsp+32]\n"
     "  addsd xmm3, xmm0\n"
     "  movapd xmm0, xmm3\n"
     "  vsubsd xmm1, xmm0, xmm0\n"
     "  orpd xmm1, xmm15\n"
     "  ucomisd xmm1, xmm1\n"
     "  jp .L0\n"
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
    // The square proven in place, pow after the function's end.
    {"x^2+1", true, &kSystemV,
     "  endbr64\n"
     "  mov rcx, first variable\n"
     "  movsd xmm3, [rcx+0]\n"
     "  vmulsd xmm1, xmm3, xmm3\n"
     "  ucomisd xmm1, [1.0020841800044864e-292]\n"
     "  jb .L0\n"
     "  movapd xmm2, xmm1\n"
     "  vfmsub231sd xmm2, xmm3, xmm3\n"
     "  vfmadd132sd xmm2, xmm1, [1.0900000000000001]\n"
     "  ucomisd xmm2, xmm1\n"
     "  jne .L0\n"
     "  movapd xmm3, xmm1\n"
     ".L1:\n"
     "  addsd xmm3, [1]\n"
     "  movapd xmm0, xmm3\n"
     "  vsubsd xmm1, xmm0, xmm0\n"
     "  ucomisd xmm1, xmm1\n"
     "  jp .L2\n"
     "  mov eax, 1\n"
     "  ret\n"
     ".L2:\n"
     "  mov rax, fallback\n"
     "  jmp rax\n"
     ".L0:\n"
     "  sub rsp, 72\n"
     "  mov [rsp+40], rdi\n"
     "  mov [rsp+48], rsi\n"
     "  movapd xmm0, xmm3\n"
     "  movsd xmm1, [2]\n"
     "  movsd [rsp+32], xmm15\n"
     "  mov rax, PowerOf\n"
     "  call rax\n"
     "  mov rcx, first variable\n"
     "  movsd xmm15, [rsp+32]\n"
     "  movapd xmm3, xmm0\n"
     "  mov rdi, [rsp+40]\n"
     "  mov rsi, [rsp+48]\n"
     "  add rsp, 72\n"
     "  jmp .L1\n"},
#endif
    // The divisor is tested; the double goes back for the caller to test.
    {"x/y", false, &kWindowsX64,
     "  endbr64\n"
     "  xorpd xmm5, xmm5\n"
     "  mov rcx, first variable\n"
     "  movsd xmm3, [rcx+0]\n"
     "  movsd xmm0, [rcx+8]\n"
     "  movapd xmm2, xmm0\n"
     "  subsd xmm2, xmm0\n"
     "  orpd xmm5, xmm2\n"
     "  divsd xmm3, xmm0\n"
     "  movapd xmm0, xmm3\n"
     "  orpd xmm0, xmm5\n"
     "  ret\n"},
  };

  boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  for (const Golden &golden : goldens) {
    EXPECT_EQ(ListingOf(builder, golden), golden.listing)
        << golden.text << " (" << golden.convention->name
        << (golden.vex ? ", VEX" : ", SSE") << ")";
  }
}
