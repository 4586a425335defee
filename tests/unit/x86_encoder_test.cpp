// The encoder's bytes as binutils' disassembler reads them: every
// instruction form the code generator writes, with low and high registers
// and each kind of memory operand, so that a wrong opcode, prefix or
// addressing byte fails here rather than in a value.
#include "execution/machine/x86_encoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#if defined(__x86_64__) && !defined(_WIN32)
#include <unistd.h>

namespace {

struct Form {
  std::function<void(CX86Encoder &)> write;
  const char *reading; // objdump -M intel, spaces collapsed
};

// objdump's reading of the bytes, one instruction a line, its spacing
// collapsed and its comments dropped; empty when objdump cannot be run.
std::vector<std::string> Disassemble(const std::vector<std::uint8_t> &code,
                                     const char *machine = "i386:x86-64") {
  char path[] = "/tmp/voxeval-encoder-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0)
    return {};
  const bool written = write(file, code.data(), code.size()) ==
                       static_cast<ssize_t>(code.size());
  close(file);
  std::vector<std::string> lines;
  const std::string command = std::string("objdump -D -b binary -m ") +
                              machine + " -M intel " + path + " 2>/dev/null";
  FILE *pipe = written ? popen(command.c_str(), "r") : nullptr;
  if (pipe != nullptr) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      // "   0:\tf2 0f 10 01 \tmovsd  xmm0,QWORD PTR [rcx]"
      std::string text(line);
      const std::size_t colon = text.find(":\t");
      const std::size_t tab = text.find('\t', colon + 2);
      if (colon == std::string::npos || tab == std::string::npos)
        continue;
      text = text.substr(tab + 1);
      const std::size_t comment = text.find('#');
      if (comment != std::string::npos)
        text.erase(comment);
      std::istringstream words(text);
      std::string word, collapsed;
      while (words >> word)
        collapsed += (collapsed.empty() ? "" : " ") + word;
      lines.push_back(collapsed);
    }
    pclose(pipe);
  }
  unlink(path);
  return lines;
}

const Xmm x0(0), x1(1), x2(2), x8(8), x9(9), x15(15);

} // namespace

TEST(X86Encoder, WritesWhatTheDisassemblerReads) {
  const Mem rcx8 = Mem::At(Gpr::kRcx, 8);
  const Mem rsp40 = Mem::At(Gpr::kRsp, 40);
  const Mem rax = Mem::At(Gpr::kRax);
  const Mem r8 = Mem::At(Gpr::kR8, -16);
  const Mem r10 = Mem::At(Gpr::kR10, 24);
  const Mem pool = Mem::Constant(1.5); // the pool's first entry
  const Form forms[] = {
      {[&](CX86Encoder &e) { e.Movsd(x0, rcx8); },
       "movsd xmm0,QWORD PTR [rcx+0x8]"},
      {[&](CX86Encoder &e) { e.Movsd(x1, Mem::At(Gpr::kR11, 8)); },
       "movsd xmm1,QWORD PTR [r11+0x8]"},
      {[&](CX86Encoder &e) { e.Movsd(x9, r8); },
       "movsd xmm9,QWORD PTR [r8-0x10]"},
      {[&](CX86Encoder &e) { e.Movsd(rsp40, x15); },
       "movsd QWORD PTR [rsp+0x28],xmm15"},
      {[&](CX86Encoder &e) { e.Movsd(x1, rax); }, "movsd xmm1,QWORD PTR [rax]"},
      {[&](CX86Encoder &e) { e.Movsd(x2, pool); },
       "movsd xmm2,QWORD PTR [rip+0x100]"},
      {[&](CX86Encoder &e) { e.Movapd(x8, x1); }, "movapd xmm8,xmm1"},
      {[&](CX86Encoder &e) { e.Addsd(x1, x9); }, "addsd xmm1,xmm9"},
      {[&](CX86Encoder &e) { e.Subsd(x2, r10); },
       "subsd xmm2,QWORD PTR [r10+0x18]"},
      {[&](CX86Encoder &e) { e.Mulsd(x15, rcx8); },
       "mulsd xmm15,QWORD PTR [rcx+0x8]"},
      {[&](CX86Encoder &e) { e.Divsd(x0, pool); },
       "divsd xmm0,QWORD PTR [rip+0x100]"},
      {[&](CX86Encoder &e) { e.Movhpd(x8, r8); },
       "movhpd xmm8,QWORD PTR [r8-0x10]"},
      {[&](CX86Encoder &e) { e.Movddup(x15, pool); },
       "movddup xmm15,QWORD PTR [rip+0x100]"},
      {[&](CX86Encoder &e) { e.Maxpd(x1, x15); }, "maxpd xmm1,xmm15"},
      {[&](CX86Encoder &e) { e.Andpd(x9, x2); }, "andpd xmm9,xmm2"},
      {[&](CX86Encoder &e) { e.Ucomisd(x1, x15); }, "ucomisd xmm1,xmm15"},
      {[&](CX86Encoder &e) { e.Ucomisd(x8, rsp40); },
       "ucomisd xmm8,QWORD PTR [rsp+0x28]"},
      {[&](CX86Encoder &e) { e.Cmpsd(x9, x1, 4); }, "cmpneqsd xmm9,xmm1"},
      {[&](CX86Encoder &e) { e.Vandpd(x1, x9, x15); },
       "vandpd xmm1,xmm9,xmm15"},
      {[&](CX86Encoder &e) { e.Vunpcklpd(x8, x0, x9); },
       "vunpcklpd xmm8,xmm0,xmm9"},
      {[&](CX86Encoder &e) { e.Vpcmpeqq(x2, x15, x1); },
       "vpcmpeqq xmm2,xmm15,xmm1"},
      {[&](CX86Encoder &e) { e.Vtestpd(x9, x15); }, "vtestpd xmm9,xmm15"},
      {[&](CX86Encoder &e) { e.Vmulsd(x1, x8, x8); }, "vmulsd xmm1,xmm8,xmm8"},
      {[&](CX86Encoder &e) { e.Vaddsd(x15, x2, x0); },
       "vaddsd xmm15,xmm2,xmm0"},
      {[&](CX86Encoder &e) { e.Vsubsd(x0, x9, x2); }, "vsubsd xmm0,xmm9,xmm2"},
      {[&](CX86Encoder &e) { e.Vfmsub231sd(x2, x8, x8); },
       "vfmsub231sd xmm2,xmm8,xmm8"},
      {[&](CX86Encoder &e) { e.Vfmsub213sd(x1, x15, x2); },
       "vfmsub213sd xmm1,xmm15,xmm2"},
      {[&](CX86Encoder &e) { e.Vfmadd213sd(x0, x15, x1); },
       "vfmadd213sd xmm0,xmm15,xmm1"},
      {[&](CX86Encoder &e) { e.Vfmadd132sd(x2, x1, pool); },
       "vfmadd132sd xmm2,xmm1,QWORD PTR [rip+0x100]"},
      {[&](CX86Encoder &e) { e.Vfmadd132sd(x9, x8, r10); },
       "vfmadd132sd xmm9,xmm8,QWORD PTR [r10+0x18]"},
      {[&](CX86Encoder &e) { e.Mov(Gpr::kRcx, 0x1122334455667788u); },
       "movabs rcx,0x1122334455667788"},
      {[&](CX86Encoder &e) { e.Mov(Gpr::kR11, 0x8000000000000000u); },
       "movabs r11,0x8000000000000000"},
      {[&](CX86Encoder &e) { e.Mov(Gpr::kR10, 0x8000000000000000u); },
       "movabs r10,0x8000000000000000"},
      {[&](CX86Encoder &e) { e.Mov(Gpr::kRdi, rsp40); },
       "mov rdi,QWORD PTR [rsp+0x28]"},
      {[&](CX86Encoder &e) { e.Mov(Gpr::kR9, r8); },
       "mov r9,QWORD PTR [r8-0x10]"},
      {[&](CX86Encoder &e) { e.Mov(rsp40, Gpr::kR10); },
       "mov QWORD PTR [rsp+0x28],r10"},
      {[&](CX86Encoder &e) { e.Mov(r10, Gpr::kRdx); },
       "mov QWORD PTR [r10+0x18],rdx"},
      {[&](CX86Encoder &e) { e.MovEax(1); }, "mov eax,0x1"},
      {[&](CX86Encoder &e) { e.Clear32(Gpr::kR9); }, "xor r9d,r9d"},
      {[&](CX86Encoder &e) { e.Clear32(Gpr::kRdx); }, "xor edx,edx"},
      {[&](CX86Encoder &e) { e.Test32(Gpr::kR9); }, "test r9d,r9d"},
      {[&](CX86Encoder &e) { e.Test32(Gpr::kRcx); }, "test ecx,ecx"},
      {[&](CX86Encoder &e) { e.Mov32(Gpr::kR9, 7); }, "mov r9d,0x7"},
      {[&](CX86Encoder &e) { e.Mov32(Gpr::kRsi, 7); }, "mov esi,0x7"},
      {[&](CX86Encoder &e) { e.MovPointer(rsp40, -2); },
       "mov QWORD PTR [rsp+0x28],0xfffffffffffffffe"},
      {[&](CX86Encoder &e) { e.MovPointer(rax, 1); },
       "mov QWORD PTR [rax],0x1"},
      {[&](CX86Encoder &e) { e.MovPointer(r8, 3); },
       "mov QWORD PTR [r8-0x10],0x3"},
      {[&](CX86Encoder &e) { e.CmpPointer(rsp40, 0); },
       "cmp QWORD PTR [rsp+0x28],0x0"},
      {[&](CX86Encoder &e) { e.CmpPointer(r10, -1); },
       "cmp QWORD PTR [r10+0x18],0xffffffffffffffff"},
      {[&](CX86Encoder &e) { e.Lea(Gpr::kRax, rcx8); }, "lea rax,[rcx+0x8]"},
      {[&](CX86Encoder &e) { e.Lea(Gpr::kR10, r8); }, "lea r10,[r8-0x10]"},
      {[&](CX86Encoder &e) { e.AddRsp(40); }, "add rsp,0x28"},
      {[&](CX86Encoder &e) { e.SubRsp(40); }, "sub rsp,0x28"},
      {[&](CX86Encoder &e) { e.Endbr(); }, "endbr64"},
      {[&](CX86Encoder &e) { e.Call(Gpr::kRax); }, "call rax"},
      {[&](CX86Encoder &e) { e.Jmp(Gpr::kR10); }, "jmp r10"},
      {[&](CX86Encoder &e) { e.Ret(); }, "ret"},
  };
  // All forms in one run of the disassembler: each one's bytes after the
  // other's (a constant's displacement is relative to its own end).
  std::vector<std::uint8_t> code;
  for (const Form &form : forms) {
    CX86Encoder encoder;
    form.write(encoder);
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(encoder.Finish(data)) << form.reading;
    std::vector<std::uint8_t> bytes = encoder.Bytes();
    // The pool 0x100 bytes past the instruction's end.
    encoder.Link(bytes, 0, bytes.size() + 0x100);
    code.insert(code.end(), bytes.begin(), bytes.end());
  }
  const std::vector<std::string> lines = Disassemble(code);
  if (lines.empty())
    GTEST_SKIP() << "objdump cannot be run here";
  ASSERT_EQ(lines.size(), sizeof forms / sizeof *forms);
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i], forms[i].reading);
}

// Jumps to labels bound before and after them, and a lea of a label, each
// pointed at the label's place.
TEST(X86Encoder, PointsJumpsAtTheirLabels) {
  CX86Encoder encoder;
  const Label back = encoder.NewLabel(), ahead = encoder.NewLabel();
  encoder.Bind(back);
  encoder.Ret();                               // 0
  encoder.Jcc(Condition::kBelow, ahead);       // 1
  encoder.Jcc(Condition::kAboveOrEqual, back); // 7
  encoder.Jcc(Condition::kEqual, ahead);       // 13
  encoder.Jcc(Condition::kNotEqual, back);     // 19
  encoder.Jcc(Condition::kAbove, ahead);       // 25
  encoder.Jcc(Condition::kParity, back);       // 31
  encoder.Jmp(ahead);                          // 37
  encoder.Lea(Gpr::kR10, back);                // 42
  encoder.Bind(ahead);
  encoder.Ret(); // 49
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(encoder.Finish(data));
  const std::vector<std::string> lines = Disassemble(encoder.Bytes());
  if (lines.empty())
    GTEST_SKIP() << "objdump cannot be run here";
  const std::vector<std::string> expected = {
      "ret",     "jb 0x31",  "jae 0x0",
      "je 0x31", "jne 0x0",  "ja 0x31",
      "jp 0x0",  "jmp 0x31", "lea r10,[rip+0xffffffffffffffcf]",
      "ret"};
  EXPECT_EQ(lines, expected);
}

// 32-bit code: no REX prefix, pointer-sized operations on 32 bits, fixed
// addresses for variables, and constants and labels by the absolute
// addresses Link writes (the code placed at 0x1000 here, its pool 0x100
// bytes after its start).
TEST(X86Encoder, Writes32BitCodeWithAbsoluteAddresses) {
  CX86Encoder encoder(false, CodeWidth::k32);
  const Mem esp8 = Mem::At(Gpr::kRsp, 8);
  const Mem variable = Mem::Absolute(0x12345678);
  const Label label = encoder.NewLabel();
  encoder.Endbr();
  encoder.SubRsp(76);
  encoder.Movsd(Xmm(7), Mem::Constant(2.0));
  encoder.Mulsd(Xmm(3), variable);
  encoder.Vfmadd132sd(Xmm(2), Xmm(1), Mem::Constant(3.0));
  encoder.Mov(Gpr::kRax, 0x89ABCDEFu);
  encoder.Mov(Gpr::kRax, esp8);
  encoder.Mov(esp8, Gpr::kRdx);
  encoder.MovPointer(Mem::At(Gpr::kRax), 1);
  encoder.CmpPointer(esp8, 0);
  encoder.Lea(Gpr::kRax, esp8);
  encoder.Lea(Gpr::kRcx, label);
  encoder.Fstp(Mem::At(Gpr::kRsp));
  encoder.Fnstcw(Mem::At(Gpr::kRsp));
  encoder.And32(Gpr::kRax, 0xF00);
  encoder.Cmp32(Gpr::kRax, 0x300);
  encoder.Clear32(Gpr::kRdx);
  encoder.Call(Gpr::kRax);
  encoder.Jmp(Gpr::kRcx);
  encoder.AddRsp(76);
  encoder.Bind(label);
  encoder.Ret(4);
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(encoder.Finish(data));
  std::vector<std::uint8_t> code = encoder.Bytes();
  encoder.Link(code, 0x1000, 0x100);
  const std::vector<std::string> lines = Disassemble(code, "i386");
  if (lines.empty())
    GTEST_SKIP() << "objdump cannot be run here";
  const std::vector<std::string> expected = {
      "endbr32",
      "sub esp,0x4c",
      "movsd xmm7,QWORD PTR ds:0x1100",
      "mulsd xmm3,QWORD PTR ds:0x12345678",
      "vfmadd132sd xmm2,xmm1,QWORD PTR ds:0x1108",
      "mov eax,0x89abcdef",
      "mov eax,DWORD PTR [esp+0x8]",
      "mov DWORD PTR [esp+0x8],edx",
      "mov DWORD PTR [eax],0x1",
      "cmp DWORD PTR [esp+0x8],0x0",
      "lea eax,[esp+0x8]",
      "mov ecx,0x1076",
      "fstp QWORD PTR [esp+0x0]",
      "fnstcw WORD PTR [esp+0x0]",
      "and eax,0xf00",
      "cmp eax,0x300",
      "xor edx,edx",
      "call eax",
      "jmp ecx",
      "add esp,0x4c",
      "ret 0x4"};
  EXPECT_EQ(lines, expected);
}

// What it cannot encode it refuses: a jump to a label never bound.
TEST(X86Encoder, RefusesAJumpToALabelNeverBound) {
  CX86Encoder encoder;
  encoder.Jmp(encoder.NewLabel());
  std::vector<std::uint8_t> data;
  EXPECT_FALSE(encoder.Finish(data));
}
#endif
