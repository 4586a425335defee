#include "execution/machine/x86_encoder.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char *const kGprNames[] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp",
                                 "rsi", "rdi", "r8",  "r9",  "r10", "r11",
                                 "r12", "r13", "r14", "r15"};

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string Hex(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(v));
  return text;
}

// Prefixes and opcodes (after 0F) of the SSE2 instructions used.
const int kScalarDouble = 0xF2;
const int kPackedDouble = 0x66;

} // namespace

void CX86Encoder::Word(std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    Byte(static_cast<int>((v >> (8 * i)) & 0xFF));
}

void CX86Encoder::Quad(std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    Byte(static_cast<int>((v >> (8 * i)) & 0xFF));
}

std::string CX86Encoder::Name(Xmm r) { return "xmm" + std::to_string(r.index); }

// 32-bit code's registers are the low halves: eax.
std::string CX86Encoder::Name(Gpr r) const {
  return m_wide ? std::string(kGprNames[static_cast<int>(r)]) : Name32(r);
}

// The register's low 32 bits: r9d, or eax.
std::string CX86Encoder::Name32(Gpr r) {
  const std::string name = kGprNames[static_cast<int>(r)];
  return static_cast<int>(r) >= 8 ? name + "d" : "e" + name.substr(1);
}

// REX with the high bits of the reg and rm fields, when either is set;
// 32-bit code has none (and no register past the eighth).
void CX86Encoder::Rex(bool wide, int reg, int rm) {
  if (!m_wide)
    return;
  const int rex =
      0x40 | (wide ? 8 : 0) | ((reg >> 3) & 1) << 2 | ((rm >> 3) & 1);
  if (rex != 0x40)
    Byte(rex);
}

void CX86Encoder::Address(int reg, const Mem &m) {
  const int r = (reg & 7) << 3;
  if (m.kind == Mem::kConstant) {
    Byte(0x05 | r);
    std::uint64_t bits;
    std::memcpy(&bits, &m.constant, sizeof bits);
    auto found = m_poolIndex.find(bits);
    if (found == m_poolIndex.end()) {
      found = m_poolIndex.emplace(bits, m_pool.size()).first;
      m_pool.push_back(bits);
    }
    m_poolUses.push_back(
        Use{Here(), static_cast<std::uint32_t>(found->second)});
    Word(0);
    return;
  }
  if (m.kind == Mem::kAbsolute) {
    // 32-bit code: disp32 alone; 64-bit code: by a SIB byte without base
    // or index (disp32 alone is relative to the instruction pointer there).
    if (m_wide) {
      Byte(0x04 | r);
      Byte(0x25);
    } else {
      Byte(0x05 | r);
    }
    Word(static_cast<std::uint32_t>(m.displacement));
    return;
  }
  const int base = static_cast<int>(m.base) & 7;
  if (m.base == Gpr::kRax && m.displacement == 0) {
    Byte(r | base);
    return;
  }
  Byte(0x80 | r | base);
  // rsp and r12 as a base take a SIB byte (no index).
  if (base == 4)
    Byte(0x24);
  Word(static_cast<std::uint32_t>(m.displacement));
}

void CX86Encoder::Sse(int prefix, int op, Xmm reg, const XmmOrMem &rm) {
  Byte(prefix);
  Rex(false, reg.index, rm.isRegister ? rm.reg.index : BaseOf(rm.mem));
  Byte(0x0F);
  Byte(op);
  if (rm.isRegister)
    Byte(0xC0 | (reg.index & 7) << 3 | (rm.reg.index & 7));
  else
    Address(reg.index, rm.mem);
}

// The three-byte VEX prefix and opcode: map 1 is 0F, 2 is 0F38; pp 1
// stands for 66, 3 for F2; v is the second source.
void CX86Encoder::Vex(int map, bool w, int pp, int reg, int v, int rm, int op) {
  Byte(0xC4);
  Byte((~reg >> 3 & 1) << 7 | 1 << 6 | (~rm >> 3 & 1) << 5 | map);
  Byte((w ? 0x80 : 0) | (~v & 15) << 3 | pp);
  Byte(op);
}

void CX86Encoder::Instruction(const char *mnemonic, int prefix, int op, Xmm d,
                              const XmmOrMem &s) {
  Sse(prefix, op, d, s);
  if (m_listing)
    Line(std::string(mnemonic) + " " + Name(d) + ", " + Text(s));
}

void CX86Encoder::Instruction(const char *mnemonic, int map, bool w, int pp,
                              int op, Xmm d, Xmm a, Xmm b) {
  Vex(map, w, pp, d.index, a.index, b.index, op);
  Byte(0xC0 | (d.index & 7) << 3 | (b.index & 7));
  if (m_listing)
    Line(std::string(mnemonic) + " " + Name(d) + ", " + Name(a) + ", " +
         Name(b));
}

void CX86Encoder::Instruction(const char *mnemonic, int map, bool w, int pp,
                              int op, Xmm d, Xmm a, const Mem &m) {
  Vex(map, w, pp, d.index, a.index, BaseOf(m), op);
  Address(d.index, m);
  if (m_listing)
    Line(std::string(mnemonic) + " " + Name(d) + ", " + Name(a) + ", " +
         Text(m));
}

void CX86Encoder::Movsd(Xmm d, const Mem &source) {
  Sse(kScalarDouble, 0x10, d, source);
  if (m_listing)
    Line("movsd " + Name(d) + ", " + Text(source));
}

void CX86Encoder::Movsd(const Mem &target, Xmm s) {
  Sse(kScalarDouble, 0x11, s, target);
  if (m_listing)
    Line("movsd " + Text(target) + ", " + Name(s));
}

void CX86Encoder::Movapd(Xmm d, Xmm s) {
  Instruction("movapd", kPackedDouble, 0x28, d, s);
}

void CX86Encoder::Addsd(Xmm d, const XmmOrMem &s) {
  Instruction("addsd", kScalarDouble, 0x58, d, s);
}

void CX86Encoder::Subsd(Xmm d, const XmmOrMem &s) {
  Instruction("subsd", kScalarDouble, 0x5C, d, s);
}

void CX86Encoder::Mulsd(Xmm d, const XmmOrMem &s) {
  Instruction("mulsd", kScalarDouble, 0x59, d, s);
}

void CX86Encoder::Divsd(Xmm d, const XmmOrMem &s) {
  Instruction("divsd", kScalarDouble, 0x5E, d, s);
}

void CX86Encoder::Movhpd(Xmm d, const Mem &m) {
  Instruction("movhpd", kPackedDouble, 0x16, d, m);
}

void CX86Encoder::Movddup(Xmm d, const Mem &m) {
  Instruction("movddup", kScalarDouble, 0x12, d, m);
}

void CX86Encoder::Maxpd(Xmm d, Xmm s) {
  Instruction("maxpd", kPackedDouble, 0x5F, d, s);
}

void CX86Encoder::Andpd(Xmm d, Xmm s) {
  Instruction("andpd", kPackedDouble, 0x54, d, s);
}

void CX86Encoder::Ucomisd(Xmm a, const XmmOrMem &b) {
  Instruction("ucomisd", kPackedDouble, 0x2E, a, b);
}

void CX86Encoder::Cmpsd(Xmm d, Xmm s, std::uint8_t predicate) {
  Sse(kScalarDouble, 0xC2, d, s);
  Byte(predicate);
  if (m_listing)
    Line("cmpsd " + Name(d) + ", " + Name(s) + ", " +
         std::to_string(predicate));
}

void CX86Encoder::Vandpd(Xmm d, Xmm a, Xmm b) {
  Instruction("vandpd", 1, false, 1, 0x54, d, a, b);
}

void CX86Encoder::Vunpcklpd(Xmm d, Xmm a, Xmm b) {
  Instruction("vunpcklpd", 1, false, 1, 0x14, d, a, b);
}

void CX86Encoder::Vpcmpeqq(Xmm d, Xmm a, Xmm b) {
  Instruction("vpcmpeqq", 2, false, 1, 0x29, d, a, b);
}

void CX86Encoder::Vtestpd(Xmm a, Xmm b) {
  Vex(2, false, 1, a.index, 0, b.index, 0x0F);
  Byte(0xC0 | (a.index & 7) << 3 | (b.index & 7));
  if (m_listing)
    Line("vtestpd " + Name(a) + ", " + Name(b));
}

void CX86Encoder::Vmulsd(Xmm d, Xmm a, Xmm b) {
  Instruction("vmulsd", 1, false, 3, 0x59, d, a, b);
}

void CX86Encoder::Vaddsd(Xmm d, Xmm a, Xmm b) {
  Instruction("vaddsd", 1, false, 3, 0x58, d, a, b);
}

void CX86Encoder::Vsubsd(Xmm d, Xmm a, Xmm b) {
  Instruction("vsubsd", 1, false, 3, 0x5C, d, a, b);
}

void CX86Encoder::Vfmsub213sd(Xmm d, Xmm a, Xmm b) {
  Instruction("vfmsub213sd", 2, true, 1, 0xAB, d, a, b);
}

void CX86Encoder::Vfmsub231sd(Xmm d, Xmm a, Xmm b) {
  Instruction("vfmsub231sd", 2, true, 1, 0xBB, d, a, b);
}

void CX86Encoder::Vfmadd213sd(Xmm d, Xmm a, Xmm b) {
  Instruction("vfmadd213sd", 2, true, 1, 0xA9, d, a, b);
}

void CX86Encoder::Vfmadd132sd(Xmm d, Xmm a, const Mem &m) {
  Instruction("vfmadd132sd", 2, true, 1, 0x99, d, a, m);
}

void CX86Encoder::Mov(Gpr d, std::uint64_t immediate, const char *label) {
  const int r = static_cast<int>(d);
  Rex(true, 0, r);
  Byte(0xB8 | (r & 7));
  if (m_wide)
    Quad(immediate);
  else
    Word(static_cast<std::uint32_t>(immediate));
  if (m_listing)
    Line("mov " + Name(d) + ", " +
         (label != nullptr ? std::string(label) : Hex(immediate)));
}

void CX86Encoder::Mov(Gpr d, const Mem &source) {
  const int r = static_cast<int>(d);
  Rex(true, r, BaseOf(source));
  Byte(0x8B);
  Address(r, source);
  if (m_listing)
    Line("mov " + Name(d) + ", " + Text(source));
}

void CX86Encoder::Mov(const Mem &target, Gpr s) {
  const int r = static_cast<int>(s);
  Rex(true, r, BaseOf(target));
  Byte(0x89);
  Address(r, target);
  if (m_listing)
    Line("mov " + Text(target) + ", " + Name(s));
}

void CX86Encoder::MovEax(std::uint32_t immediate) {
  Byte(0xB8);
  Word(immediate);
  if (m_listing)
    Line("mov eax, " + std::to_string(immediate));
}

// op r32, r32 with itself.
void CX86Encoder::SelfOperation(const char *mnemonic, int op, Gpr r) {
  const int low = static_cast<int>(r) & 7;
  Rex(false, static_cast<int>(r), static_cast<int>(r));
  Byte(op);
  Byte(0xC0 | low << 3 | low);
  if (m_listing)
    Line(std::string(mnemonic) + " " + Name32(r) + ", " + Name32(r));
}

void CX86Encoder::Clear32(Gpr r) { SelfOperation("xor", 0x31, r); }

void CX86Encoder::Test32(Gpr r) { SelfOperation("test", 0x85, r); }

void CX86Encoder::Mov32(Gpr r, std::uint32_t immediate) {
  Rex(false, 0, static_cast<int>(r));
  Byte(0xB8 | (static_cast<int>(r) & 7));
  Word(immediate);
  if (m_listing)
    Line("mov " + Name32(r) + ", " + std::to_string(immediate));
}

// op r32, imm32: and (/4) and cmp (/7).
void CX86Encoder::ImmediateOperation(const char *mnemonic, int extension, Gpr r,
                                     std::uint32_t immediate) {
  Rex(false, 0, static_cast<int>(r));
  Byte(0x81);
  Byte(0xC0 | extension << 3 | (static_cast<int>(r) & 7));
  Word(immediate);
  if (m_listing)
    Line(std::string(mnemonic) + " " + Name32(r) + ", " + Hex(immediate));
}

void CX86Encoder::And32(Gpr r, std::uint32_t immediate) {
  ImmediateOperation("and", 4, r, immediate);
}

void CX86Encoder::Cmp32(Gpr r, std::uint32_t immediate) {
  ImmediateOperation("cmp", 7, r, immediate);
}

void CX86Encoder::MovPointer(const Mem &target, std::int32_t immediate) {
  Rex(true, 0, BaseOf(target));
  Byte(0xC7);
  Address(0, target);
  Word(static_cast<std::uint32_t>(immediate));
  if (m_listing)
    Line(std::string(m_wide ? "mov qword " : "mov dword ") + Text(target) +
         ", " + std::to_string(immediate));
}

void CX86Encoder::CmpPointer(const Mem &target, std::int8_t immediate) {
  Rex(true, 0, BaseOf(target));
  Byte(0x83);
  Address(7, target);
  Byte(static_cast<std::uint8_t>(immediate));
  if (m_listing)
    Line(std::string(m_wide ? "cmp qword " : "cmp dword ") + Text(target) +
         ", " + std::to_string(immediate));
}

void CX86Encoder::Lea(Gpr d, const Mem &source) {
  const int r = static_cast<int>(d);
  Rex(true, r, BaseOf(source));
  Byte(0x8D);
  Address(r, source);
  if (m_listing)
    Line("lea " + Name(d) + ", " + Text(source));
}

void CX86Encoder::Lea(Gpr d, Label label) {
  const int r = static_cast<int>(d);
  if (!m_wide) {
    Byte(0xB8 | r);
    m_labelAddresses.push_back(
        Use{Here(), static_cast<std::uint32_t>(label.id)});
    Word(0);
    if (m_listing)
      Line("mov " + Name(d) + ", .L" + std::to_string(label.id));
    return;
  }
  Rex(true, r, 0);
  Byte(0x8D);
  Byte(0x05 | (r & 7) << 3);
  // Pointed at the label with the jumps.
  m_jumps.push_back(Use{Here(), static_cast<std::uint32_t>(label.id)});
  Word(0);
  if (m_listing)
    Line("lea " + Name(d) + ", .L" + std::to_string(label.id));
}

void CX86Encoder::AddRsp(std::int32_t bytes) {
  Rex(true, 0, 0);
  Byte(0x81);
  Byte(0xC4);
  Word(static_cast<std::uint32_t>(bytes));
  if (m_listing)
    Line("add " + Name(Gpr::kRsp) + ", " + std::to_string(bytes));
  Depth(m_depth - bytes);
}

void CX86Encoder::SubRsp(std::int32_t bytes) {
  const std::size_t start = m_code.size();
  Rex(true, 0, 0);
  Byte(0x81);
  Byte(0xEC);
  Word(static_cast<std::uint32_t>(bytes));
  if (m_listing)
    Line("sub " + Name(Gpr::kRsp) + ", " + std::to_string(bytes));
  Depth(m_depth + bytes, static_cast<std::uint32_t>(m_code.size() - start));
}

void CX86Encoder::Fstp(const Mem &target) {
  Byte(0xDD);
  Address(3, target);
  if (m_listing)
    Line("fstp qword " + Text(target));
}

void CX86Encoder::Fnstcw(const Mem &target) {
  Byte(0xD9);
  Address(7, target);
  if (m_listing)
    Line("fnstcw " + Text(target));
}

void CX86Encoder::Endbr() {
  for (int b : {0xF3, 0x0F, 0x1E, m_wide ? 0xFA : 0xFB})
    Byte(b);
  if (m_listing)
    Line(m_wide ? "endbr64" : "endbr32");
}

void CX86Encoder::Call(Gpr target) {
  const int r = static_cast<int>(target);
  Rex(false, 0, r);
  Byte(0xFF);
  Byte(0xD0 | (r & 7));
  if (m_listing)
    Line("call " + Name(target));
}

void CX86Encoder::Jmp(Gpr target) {
  const int r = static_cast<int>(target);
  Rex(false, 0, r);
  Byte(0xFF);
  Byte(0xE0 | (r & 7));
  if (m_listing)
    Line("jmp " + Name(target));
}

void CX86Encoder::Ret(std::uint16_t pop) {
  if (pop == 0) {
    Byte(0xC3);
  } else {
    Byte(0xC2);
    Byte(pop & 0xFF);
    Byte(pop >> 8);
  }
  if (m_listing)
    Line(pop == 0 ? std::string("ret") : "ret " + std::to_string(pop));
}

void CX86Encoder::Jmp(Label label) {
  JumpTo(label);
  Byte(0xE9);
  m_jumps.push_back(Use{Here(), static_cast<std::uint32_t>(label.id)});
  Word(0);
  if (m_listing)
    Line("jmp .L" + std::to_string(label.id));
}

void CX86Encoder::Jcc(Condition condition, Label label) {
  static const char *const kNames[] = {"", "",   "jb", "jae", "je", "jne",
                                       "", "ja", "",   "",    "jp"};
  JumpTo(label);
  Byte(0x0F);
  Byte(0x80 | static_cast<int>(condition));
  m_jumps.push_back(Use{Here(), static_cast<std::uint32_t>(label.id)});
  Word(0);
  if (m_listing)
    Line(std::string(kNames[static_cast<int>(condition)]) + " .L" +
         std::to_string(label.id));
}

std::string CX86Encoder::Text(const Mem &m) const {
  if (m.kind == Mem::kConstant)
    return "[" + Number(m.constant) + "]";
  const std::uint32_t address = static_cast<std::uint32_t>(m.displacement);
  if (m.kind == Mem::kAbsolute && m_baseName != nullptr &&
      address >= m_namedBase)
    return "[" + std::string(m_baseName) + "+" +
           std::to_string(address - m_namedBase) + "]";
  if (m.kind == Mem::kAbsolute)
    return "[" + Hex(address) + "]";
  std::string text = "[" + Name(m.base);
  if (m.displacement != 0 || m.base != Gpr::kRax)
    text += (m.displacement < 0 ? "-" : "+") +
            std::to_string(m.displacement < 0 ? -std::int64_t(m.displacement)
                                              : m.displacement);
  return text + "]";
}

std::string CX86Encoder::Text(const XmmOrMem &o) const {
  return o.isRegister ? Name(o.reg) : Text(o.mem);
}
