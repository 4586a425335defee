// Unwind information for generated code: the encoder follows the stack
// pointer through prologues, epilogues and frames made after the end, and
// the unwinder steps through code described from that, and so do C++
// exceptions.
#include "../stack_walk.h"
#include "execution/machine/code_arena.h"
#include "execution/machine/unwind_table.h"
#include "execution/machine/x86_encoder.h"
#include "platform/unwind_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

// The code this process runs, and the size of its pointers.
const CodeWidth kWidth = sizeof(void *) == 8 ? CodeWidth::k64 : CodeWidth::k32;
const std::int32_t kPointer = sizeof(void *);

std::vector<std::pair<std::uint32_t, std::int32_t>>
Steps(const FRAME_SHAPE &shape) {
  std::vector<std::pair<std::uint32_t, std::int32_t>> steps;
  for (const FRAME_STEP &step : shape.steps)
    steps.emplace_back(step.at, step.depth);
  return steps;
}

// A frame prepended to a body with two ways out; a frame of its own for a
// part after the end, reached by a jump and jumping back.
TEST(UnwindTable, EncoderFollowsTheStackPointer) {
  std::vector<std::uint8_t> data;
  {
    CX86Encoder prologue;
    prologue.Endbr();
    prologue.SubRsp(40);
    CX86Encoder body;
    const Label out = body.NewLabel();
    body.Jcc(Condition::kNotEqual, out);
    body.AddRsp(40);
    const std::uint32_t firstOut = static_cast<std::uint32_t>(body.Size());
    body.Ret();
    body.Bind(out);
    const std::uint32_t second = static_cast<std::uint32_t>(body.Size());
    body.AddRsp(40);
    const std::uint32_t secondOut = static_cast<std::uint32_t>(body.Size());
    body.Jmp(Gpr::kRax);
    body.Prepend(prologue);
    body.Finish(data);
    const std::uint32_t p = static_cast<std::uint32_t>(prologue.Size());
    EXPECT_EQ(
        Steps(body.Shape()),
        (decltype(Steps(body.Shape())){
            {p, 40}, {p + firstOut, 0}, {p + second, 40}, {p + secondOut, 0}}));
  }
  {
    CX86Encoder code;
    const Label cold = code.NewLabel();
    const Label back = code.NewLabel();
    code.Jcc(Condition::kParity, cold);
    code.Bind(back);
    code.Ret();
    code.Bind(cold);
    code.SubRsp(56);
    const std::uint32_t framed = static_cast<std::uint32_t>(code.Size());
    code.Call(Gpr::kRax);
    code.AddRsp(56);
    const std::uint32_t unframed = static_cast<std::uint32_t>(code.Size());
    code.Jmp(back);
    const std::size_t instructions = code.Size();
    code.Finish(data);
    EXPECT_EQ(Steps(code.Shape()),
              (decltype(Steps(code.Shape())){{framed, 56}, {unframed, 0}}));
    EXPECT_EQ(code.Shape().length, instructions);
  }
}

#if defined(VOXEVAL_DWARF_UNWIND)
// The frame's rules read back from a record as the unwinder reads them:
// (where, the frame's size above the stack pointer) for each rule. Only
// the instructions the record writes are known; anything else reads as
// (0, -1).
std::vector<std::pair<std::uint32_t, std::int32_t>>
DecodeRules(const std::vector<std::uint8_t> &record) {
  const auto word = [&record](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, &record[at], 4);
    return v;
  };
  const auto uleb = [&record](std::size_t &at) {
    std::uint32_t value = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t byte = record[at++];
      value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0)
        return value;
    }
  };
  // The FDE follows the CIE; its rules after its two addresses and the
  // augmentation's length.
  const std::size_t fde = 4 + word(0);
  const std::size_t end = fde + 4 + word(fde);
  std::size_t at = fde + 4 + 4 + 2 * kPointer;
  at += uleb(at);
  std::vector<std::pair<std::uint32_t, std::int32_t>> rules;
  std::uint32_t where = 0;
  while (at < end) {
    const std::uint8_t op = record[at++];
    std::uint32_t delta = 0;
    if ((op & 0xC0) == 0x40) {
      delta = op & 0x3F;
    } else if (op == 0x02 || op == 0x03 || op == 0x04) {
      const int bytes = op == 0x02 ? 1 : op == 0x03 ? 2 : 4;
      for (int i = 0; i < bytes; ++i)
        delta |= static_cast<std::uint32_t>(record[at++]) << (8 * i);
    } else if (op == 0x0E) {
      rules.emplace_back(where, static_cast<std::int32_t>(uleb(at)) - kPointer);
      continue;
    } else if (op == 0x00) {
      continue; // padding
    } else {
      rules.emplace_back(0, -1);
      break;
    }
    where += delta;
  }
  return rules;
}

// Advances of each size the rules write differently, at their edges.
TEST(UnwindTable, RecordsEveryAdvanceAtItsEdges) {
  FRAME_SHAPE shape;
  std::uint32_t at = 0;
  std::int32_t depth = 0;
  for (std::uint32_t advance : {63u, 64u, 255u, 256u, 65535u, 65536u, 1u}) {
    at += advance;
    depth = depth == 0 ? 40 : 0;
    shape.steps.push_back(FRAME_STEP{at, depth, 0});
  }
  shape.length = at + 1;
  const std::vector<std::uint8_t> record = UnwindRecord(nullptr, shape);
  EXPECT_EQ(DecodeRules(record), Steps(shape));
}
#endif

#if defined(VOXEVAL_TEST_STACK_WALK) && defined(VOXEVAL_DWARF_UNWIND)

std::vector<void *> g_trace;
bool g_throw = false;
struct Thrown {};

void TraceOrThrow() {
  g_trace.clear();
  if (g_throw)
    throw Thrown();
  g_trace = stack_walk::Walk(0);
}

volatile int g_after;

// The host's frame: the trace must reach it, and a throw be caught in it.
__attribute__((noinline)) bool CallCode(void (*code)()) {
  try {
    code();
  } catch (const Thrown &) {
    return true;
  }
  g_after = g_after + 1;
  return false;
}

// Code whose call is made from a frame after the end, of the given size
// (4 more in 32-bit code, keeping the stack 16-aligned at the call), after
// pad four-byte no-operations; filler bytes of dead code lie before the
// frame is made.
CODE_BLOCK Place(CCodeArena &arena, std::int32_t frame, int pad = 0,
                 std::uint32_t filler = 0) {
  frame += 8 - kPointer;
  CX86Encoder code(false, kWidth);
  const Label cold = code.NewLabel();
  const Label back = code.NewLabel();
  for (int i = 0; i <= pad; ++i)
    code.Endbr();
  code.Jmp(cold);
  code.Bind(back);
  code.Ret();
  for (std::uint32_t i = 0; i < filler; ++i)
    code.Ret();
  code.Bind(cold);
  code.SubRsp(frame);
  code.Mov(Gpr::kRax, reinterpret_cast<std::uintptr_t>(&TraceOrThrow));
  code.Call(Gpr::kRax);
  code.AddRsp(frame);
  code.Jmp(back);
  std::vector<std::uint8_t> data;
  code.Finish(data);
  CODE_BLOCK block;
  if (arena.Allocate(code.Size(), 0, block)) {
    if (CCodeArena::Write(block, code.Bytes(), data))
      CCodeArena::Describe(block, code.Shape());
    else
      CCodeArena::Free(block);
  }
  return block;
}

// A backtrace from inside the block's call reaches the host's frame, and
// an exception thrown there is caught in it.
void ExpectWalkedAndThrownThrough(const CODE_BLOCK &block) {
  bool (*volatile call)(void (*)()) = CallCode;
  void (*code)() =
      reinterpret_cast<void (*)()>(const_cast<void *>(block.executable));
  g_throw = false;
  EXPECT_FALSE(call(code));
  EXPECT_TRUE(stack_walk::Reaches(g_trace, reinterpret_cast<void *>(&CallCode)))
      << g_trace.size() << " frames";
  g_throw = true;
  EXPECT_TRUE(call(code));
}

// Frames of each size the tables write differently; several functions in
// one chunk, each described as it is placed. Freed, their units are taken
// again by a longer function whose call lies where the second one was:
// its own description must be the one found.
TEST(UnwindTable, UnwinderStepsThroughDescribedCode) {
  CCodeArena arena;
  for (int round = 0; round < 2; ++round) {
    const std::vector<std::int32_t> frames =
        round == 0 ? std::vector<std::int32_t>{40, 136, 1032}
                   : std::vector<std::int32_t>{1032};
    std::vector<CODE_BLOCK> blocks;
    for (std::int32_t frame : frames) {
      blocks.push_back(Place(arena, frame, round == 0 ? 0 : 12));
      if (blocks.back().executable == nullptr)
        GTEST_SKIP() << "no executable memory";
    }
    for (CODE_BLOCK &block : blocks)
      ExpectWalkedAndThrownThrough(block);
    for (CODE_BLOCK &block : blocks)
      CCodeArena::Free(block);
  }
}

// A frame made after filler bytes, so that its rule is an advance of each
// size at its edges from the start: the unwinder still steps through it.
TEST(UnwindTable, UnwinderStepsThroughEveryAdvanceSize) {
  CCodeArena arena;
  // endbr, jmp, ret: 10 bytes; then the filler and sub rsp (7 bytes, 6
  // in 32-bit code).
  const std::uint32_t before = kPointer == 8 ? 17 : 16;
  for (std::uint32_t advance : {63u, 64u, 255u, 256u, 65535u, 65536u}) {
    CODE_BLOCK block = Place(arena, 40, 0, advance - before);
    if (block.executable == nullptr)
      GTEST_SKIP() << "no executable memory";
    SCOPED_TRACE(advance);
    ExpectWalkedAndThrownThrough(block);
    CCodeArena::Free(block);
  }
}

// Blocks described and freed on several threads at once in shared chunks;
// afterwards the table still describes what is placed.
TEST(UnwindTable, DescribedFromManyThreads) {
  CCodeArena arena;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&arena, t] {
      std::vector<CODE_BLOCK> held;
      for (int i = 0; i < 200; ++i) {
        held.push_back(Place(arena, 40 + 8 * ((i + t) % 3)));
        if (held.size() > 3) {
          CCodeArena::Free(held.front());
          held.erase(held.begin());
        }
      }
      for (CODE_BLOCK &block : held)
        CCodeArena::Free(block);
    });
  for (std::thread &thread : threads)
    thread.join();
  CODE_BLOCK block = Place(arena, 136);
  if (block.executable == nullptr)
    GTEST_SKIP() << "no executable memory";
  g_throw = false;
  bool (*volatile call)(void (*)()) = CallCode;
  EXPECT_FALSE(
      call(reinterpret_cast<void (*)()>(const_cast<void *>(block.executable))));
  EXPECT_TRUE(
      stack_walk::Reaches(g_trace, reinterpret_cast<void *>(&CallCode)));
  CCodeArena::Free(block);
}

#endif

} // namespace
