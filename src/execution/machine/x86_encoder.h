// The x86 instructions the machine code uses, one method per instruction,
// over typed operands, as 64-bit code or as 32-bit code (no REX prefix,
// registers 0-7 only, pointer-sized operations on 32 bits). Constants go to
// a pool of data kept apart from the code (at a distance after it, in pages
// that are not executable, known once the code has its place): 64-bit code
// reads them relative to the instruction pointer, 32-bit code by their
// absolute addresses, which Link writes once the code's place is known. On
// request the encoder keeps a listing of what it wrote, one line per
// instruction, for tests and for reading.
#ifndef VOXEVAL_EXECUTION_MACHINE_X86_ENCODER_H
#define VOXEVAL_EXECUTION_MACHINE_X86_ENCODER_H

#include "execution/machine/frame_shape.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/container/map.hpp>
#include <boost/container/small_vector.hpp>

enum class Gpr : std::uint8_t {
  kRax = 0,
  kRcx = 1,
  kRdx = 2,
  kRsp = 4,
  kRsi = 6,
  kRdi = 7,
  kR8 = 8,
  kR9 = 9,
  kR10 = 10,
  kR11 = 11
};

struct Xmm {
  constexpr explicit Xmm(int i) : index(i) {}
  int index;
  bool operator==(Xmm other) const { return index == other.index; }
};

// A memory operand: [base + displacement], a constant of the pool, or a
// fixed address below 2 GiB (any address in 32-bit code).
struct Mem {
  enum Kind { kBase, kConstant, kAbsolute } kind;
  Gpr base;
  std::int32_t displacement;
  double constant;

  static Mem At(Gpr base, std::int32_t displacement = 0) {
    return Mem{kBase, base, displacement, 0.0};
  }
  static Mem Constant(double value) {
    return Mem{kConstant, Gpr::kRax, 0, value};
  }
  static Mem Absolute(std::uint32_t address) {
    return Mem{kAbsolute, Gpr::kRax, static_cast<std::int32_t>(address), 0.0};
  }
};

// The code's mode: 64-bit, or 32-bit (protected mode).
enum class CodeWidth : std::uint8_t { k64, k32 };

// The second operand of most vector instructions: a register or memory.
struct XmmOrMem {
  XmmOrMem(Xmm r) : isRegister(true), reg(r), mem(Mem::At(Gpr::kRax)) {}
  XmmOrMem(const Mem &m) : isRegister(false), reg(0), mem(m) {}
  bool isRegister;
  Xmm reg;
  Mem mem;
};

// Condition codes of the jumps used.
enum class Condition : std::uint8_t {
  kBelow = 2,
  kAboveOrEqual = 3,
  kEqual = 4,
  kNotEqual = 5,
  kAbove = 7,
  kParity = 10
};

// A place in the code that jumps go to; bound once.
struct Label {
  std::size_t id;
};

class CX86Encoder {
public:
  // Room for a small formula's code at once, rather than growing to it.
  explicit CX86Encoder(bool listing = false, CodeWidth width = CodeWidth::k64)
      : m_wide(width == CodeWidth::k64), m_listing(listing) {
    m_code.reserve(256);
  }

  // Vector moves and arithmetic on the low double.
  void Movsd(Xmm d, const Mem &source);
  void Movsd(const Mem &target, Xmm s);
  void Movapd(Xmm d, Xmm s);
  void Addsd(Xmm d, const XmmOrMem &s);
  void Subsd(Xmm d, const XmmOrMem &s);
  void Mulsd(Xmm d, const XmmOrMem &s);
  void Divsd(Xmm d, const XmmOrMem &s);
  void Movhpd(Xmm d, const Mem &m);  // the upper half from m
  void Movddup(Xmm d, const Mem &m); // both halves from m
  void Maxpd(Xmm d, Xmm s);
  void Andpd(Xmm d, Xmm s);
  void Ucomisd(Xmm a, const XmmOrMem &b);
  void Cmpsd(Xmm d, Xmm s, std::uint8_t predicate);
  // The three-operand (VEX) forms: d = a op b.
  void Vandpd(Xmm d, Xmm a, Xmm b);
  // d = the low halves of a and b, in that order.
  void Vunpcklpd(Xmm d, Xmm a, Xmm b);
  // d = all ones in each half where a's equals b's, else zero.
  void Vpcmpeqq(Xmm d, Xmm a, Xmm b);
  // Clears ZF when a and b share a set sign bit in either half.
  void Vtestpd(Xmm a, Xmm b);
  void Vmulsd(Xmm d, Xmm a, Xmm b);
  void Vaddsd(Xmm d, Xmm a, Xmm b);
  void Vsubsd(Xmm d, Xmm a, Xmm b);
  // d = a * b - d, and d = d * m + a, each in one rounding.
  void Vfmsub231sd(Xmm d, Xmm a, Xmm b);
  // d = a * d - b, and d = a * d + b, in one rounding.
  void Vfmsub213sd(Xmm d, Xmm a, Xmm b);
  void Vfmadd213sd(Xmm d, Xmm a, Xmm b);
  void Vfmadd132sd(Xmm d, Xmm a, const Mem &m);

  // General registers.
  void Mov(Gpr d, std::uint64_t immediate, const char *label = nullptr);
  void Mov(Gpr d, const Mem &source);
  void Mov(const Mem &target, Gpr s);
  // mov eax, imm32 (and so rax, zero-extended).
  void MovEax(std::uint32_t immediate);
  // 32-bit operations: r = 0, r & r, r = immediate.
  void Clear32(Gpr r);
  void Test32(Gpr r);
  void Mov32(Gpr r, std::uint32_t immediate);
  void And32(Gpr r, std::uint32_t immediate);
  void Cmp32(Gpr r, std::uint32_t immediate);
  // Pointer-sized (qword, or dword in 32-bit code): mov [m], imm32 and
  // cmp [m], imm8.
  void MovPointer(const Mem &target, std::int32_t immediate);
  void CmpPointer(const Mem &target, std::int8_t immediate);
  void Lea(Gpr d, const Mem &source);
  // d = the label's address: relative to the instruction pointer, or in
  // 32-bit code a mov of the address Link writes.
  void Lea(Gpr d, Label label);
  void AddRsp(std::int32_t bytes);
  void SubRsp(std::int32_t bytes);
  // The x87 stack's top stored as a double and popped: where 32-bit
  // functions leave a double result.
  void Fstp(const Mem &target);
  // The x87 unit's control word stored (16 bits).
  void Fnstcw(const Mem &target);

  // Control. Endbr marks a place that indirect jumps and calls may reach.
  void Endbr();
  void Call(Gpr target);
  void Jmp(Gpr target);
  // Returns, and pops the given bytes of arguments.
  void Ret(std::uint16_t pop = 0);
  Label NewLabel();
  void Bind(Label label);
  void Jmp(Label label);
  void Jcc(Condition condition, Label label);

  // Room for what the caller expects to write: bytes, reads of constants,
  // jumps and labels.
  void Reserve(std::size_t bytes, std::size_t constants, std::size_t jumps,
               std::size_t labels);

  std::size_t Size() const { return m_code.size(); }
  std::vector<std::uint8_t> &Bytes() { return m_code; }

  // Puts what the other wrote (no pool, no labels) before all that this
  // one wrote.
  void Prepend(const CX86Encoder &other);

  // Points the jumps at their labels and gives the pool as data. False
  // when a jump's label was never bound, or the code is longer than
  // kMaxCode (its jumps and constants would be out of reach).
  bool Finish(std::vector<std::uint8_t> &data);

  static const std::size_t kMaxCode = std::size_t(1) << 30;

  // Points the pool's users in code, the finished bytes, at the data put
  // dataDistance bytes after the code's start, which runs at address
  // (32-bit code reads both by absolute address).
  void Link(std::vector<std::uint8_t> &code, std::uintptr_t address,
            std::size_t dataDistance) const;

  // Where the stack pointer moved, for the unwinder: rsp moves only by
  // AddRsp and SubRsp, and a label takes the depth of the jumps to it.
  FRAME_SHAPE Shape() const;

  // One line per instruction, in the order of the code ("" unless asked).
  std::string Listing() const;
  // The listing shows fixed addresses from base on as offsets from name.
  void NameAddresses(std::uintptr_t base, const char *name) {
    m_namedBase = static_cast<std::uint32_t>(base);
    m_baseName = name;
  }

private:
  void Byte(int b) { m_code.push_back(static_cast<std::uint8_t>(b)); }
  // Where the next byte goes; past kMaxCode, Finish refuses the code.
  std::uint32_t Here() const {
    return static_cast<std::uint32_t>(m_code.size());
  }
  void Word(std::uint32_t v);
  void Quad(std::uint64_t v);
  void Rex(bool wide, int reg, int rm);
  std::string Name(Gpr r) const;
  static std::string Name(Xmm r);
  static std::string Name32(Gpr r);
  // The register a memory operand's address is made from (none: 0), for
  // the prefixes' high bits.
  static int BaseOf(const Mem &m) {
    return m.kind == Mem::kBase ? static_cast<int>(m.base) : 0;
  }
  // The ModRM byte and what follows it for a memory operand.
  void Address(int reg, const Mem &m);
  // prefix 0F op, with a register or memory second operand.
  void Sse(int prefix, int op, Xmm reg, const XmmOrMem &rm);
  void Vex(int map, bool w, int pp, int reg, int v, int rm, int op);
  // An instruction of two operands, and a VEX one of three, listed.
  void Instruction(const char *mnemonic, int prefix, int op, Xmm d,
                   const XmmOrMem &s);
  void Instruction(const char *mnemonic, int map, bool w, int pp, int op, Xmm d,
                   Xmm a, Xmm b);
  void Instruction(const char *mnemonic, int map, bool w, int pp, int op, Xmm d,
                   Xmm a, const Mem &m);
  void SelfOperation(const char *mnemonic, int op, Gpr r);
  void ImmediateOperation(const char *mnemonic, int extension, Gpr r,
                          std::uint32_t immediate);
  // The stack pointer stands depth bytes deep from here on.
  void Depth(std::int32_t depth, std::uint32_t allocation = 0);
  void JumpTo(Label label);
  // Callers build the text only when listing.
  void Line(const std::string &text);
  std::string Text(const Mem &m) const;
  std::string Text(const XmmOrMem &o) const;

  struct Use {
    std::uint32_t at; // the displacement's place
    std::uint32_t index;
  };
  std::vector<std::uint8_t> m_code;
  // The lists below hold a small formula's entries in the encoder itself:
  // compiling one allocates for none of them.
  boost::container::small_vector<std::uint64_t, 16> m_pool;
  boost::container::map<std::uint64_t, std::size_t> m_poolIndex;
  boost::container::small_vector<Use, 32> m_poolUses;
  // Where each label is bound (npos while not yet), and every jump to a
  // label, pointed at it when the code is finished.
  boost::container::small_vector<std::uint32_t, 16> m_labels;
  boost::container::small_vector<Use, 16> m_jumps;
  // 32-bit code: the immediates that take a label's address, holding its
  // offset in the code once finished.
  boost::container::small_vector<Use, 4> m_labelAddresses;
  // The depth of rsp here and at the jumps to each label (kNoDepth before
  // the first), and where it changed.
  std::int32_t m_depth = 0;
  boost::container::small_vector<std::int32_t, 16> m_labelDepths;
  boost::container::small_vector<FRAME_STEP, 8> m_steps;
  // The code's length when finished: its bytes may be handed away.
  std::size_t m_instructions = 0;
  bool m_wide;
  bool m_listing;
  std::vector<std::string> m_lines;
  std::uint32_t m_namedBase = 0;
  const char *m_baseName = nullptr;
};

#endif
