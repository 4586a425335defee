// The arena of machine code: blocks taken and freed by any thread, freed
// space taken again, empty chunks given back, fork; and what the code
// memory offers a stray write or jump (hardening).
#include "execution/machine/code_arena.h"
#include "execution/machine/machine_program.h"
#include "record_trees.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <dirent.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Mapping {
  std::uintptr_t from;
  std::uintptr_t to;
  std::string permissions;
  std::string inode; // of the file that holds a chunk's pages
};

// The arena's mappings this process holds now, as Linux names them; false
// where they cannot be read (elsewhere; under Wine the file is the
// emulator's, without the names).
bool CodeMappings(std::vector<Mapping> &found) {
  found.clear();
#if defined(_WIN32)
  return false;
#endif
  std::ifstream maps("/proc/self/maps");
  if (!maps)
    return false;
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("voxeval-code") == std::string::npos)
      continue;
    std::istringstream fields(line);
    std::string range, offset, device;
    Mapping m;
    fields >> range >> m.permissions >> offset >> device >> m.inode;
    m.from = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    m.to = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    found.push_back(m);
  }
  return true;
}

// The arena's chunks this process holds now, by their files: a chunk's
// code and data are two mappings on Linux, one under qemu's user mode.
int CodeChunkCount() {
  std::vector<Mapping> found;
  if (!CodeMappings(found))
    return -1;
  std::set<std::string> files;
  for (const Mapping &m : found)
    files.insert(m.inode);
  return static_cast<int>(files.size());
}

// The descriptors this process has open, or -1 where they cannot be read.
int OpenDescriptors() {
#if defined(_WIN32)
  return -1;
#else
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return -1;
  int count = 0;
  while (readdir(dir) != nullptr)
    ++count;
  closedir(dir);
  return count;
#endif
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t value) {
  return std::vector<std::uint8_t>(n, value);
}

const unsigned char *At(const void *p, std::size_t offset = 0) {
  return static_cast<const unsigned char *>(p) + offset;
}

} // namespace

TEST(CodeArena, TakesBlocksWritesCodeAndDataAndTakesFreedSpaceAgain) {
  CCodeArena arena;
  CODE_BLOCK first, second;
  ASSERT_TRUE(arena.Allocate(100, 16, first));
  ASSERT_TRUE(arena.Allocate(40, 8, second));
  EXPECT_GE(At(second.executable) - At(first.executable), 100);
  ASSERT_TRUE(CCodeArena::Write(first, Bytes(100, 0xC3), Bytes(16, 0x11)));
  ASSERT_TRUE(CCodeArena::Write(second, Bytes(40, 0x90), Bytes(8, 0x22)));
  EXPECT_EQ(At(first.executable)[99], 0xC3);
  EXPECT_EQ(At(second.executable)[0], 0x90);
  EXPECT_EQ(At(first.executable, first.dataDistance)[15], 0x11);
  EXPECT_EQ(At(second.executable, second.dataDistance)[0], 0x22);
  // A block may need more units for its data than for its code.
  CODE_BLOCK constants;
  ASSERT_TRUE(arena.Allocate(8, 100, constants));
  ASSERT_TRUE(CCodeArena::Write(constants, Bytes(8, 0xC3), Bytes(100, 0x44)));
  EXPECT_EQ(At(constants.executable, constants.dataDistance)[99], 0x44);
  EXPECT_EQ(At(first.executable, first.dataDistance)[15], 0x11);
  EXPECT_EQ(At(second.executable, second.dataDistance)[0], 0x22);
  // The first block's place serves the next block of its size: a hole of
  // exactly the units asked for.
  const void *freed = first.executable;
  CCodeArena::Free(first);
  EXPECT_EQ(first.chunk, nullptr);
  CODE_BLOCK again;
  ASSERT_TRUE(arena.Allocate(100, 16, again));
  EXPECT_EQ(again.executable, freed);
  // A block larger than a chunk gets one of its own.
  CODE_BLOCK large;
  ASSERT_TRUE(arena.Allocate(3 * CCodeArena::kChunkSize, 8, large));
  ASSERT_TRUE(CCodeArena::Write(large, Bytes(3 * CCodeArena::kChunkSize, 0xCC),
                                Bytes(8, 0x33)));
  EXPECT_EQ(At(large.executable)[3 * CCodeArena::kChunkSize - 1], 0xCC);
  for (CODE_BLOCK *block : {&second, &again, &large, &constants})
    CCodeArena::Free(*block);
  CCodeArena::Free(first); // an empty block is ignored
}

// Blocks taken on several threads at once never overlap; chunks left empty
// go back (but one), whichever thread freed their last block.
TEST(CodeArena, SharesChunksAcrossThreadsAndGivesEmptyOnesBack) {
  const int before = CodeChunkCount();
  if (before < 0)
    GTEST_SKIP() << "the mappings cannot be read here";
  const int kThreads = 4;
  const int kBlocks = 1500;
  std::vector<std::vector<CODE_BLOCK>> blocks(kThreads);
  {
    CCodeArena arena;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&arena, &blocks, t] {
        for (int i = 0; i < kBlocks; ++i) {
          CODE_BLOCK block;
          if (!arena.Allocate(64 + 64 * (i % 5), 8, block))
            return;
          CCodeArena::Write(block, Bytes(64, static_cast<std::uint8_t>(t)),
                            Bytes(8, static_cast<std::uint8_t>(t)));
          blocks[t].push_back(block);
        }
      });
    }
    for (std::thread &thread : threads)
      thread.join();
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_EQ(blocks[t].size(), std::size_t(kBlocks));
      for (const CODE_BLOCK &block : blocks[t])
        ASSERT_EQ(At(block.executable)[63], t);
    }
    // Several chunks, shared by the threads.
    const int mapped = CodeChunkCount() - before;
    EXPECT_GE(mapped, 4);
    EXPECT_LE(mapped, 8);
    // Each thread frees another's blocks.
    threads.clear();
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&blocks, t] {
        for (CODE_BLOCK &block : blocks[(t + 1) % kThreads])
          CCodeArena::Free(block);
      });
    for (std::thread &thread : threads)
      thread.join();
    EXPECT_EQ(CodeChunkCount() - before, 1);
  }
  EXPECT_EQ(CodeChunkCount(), before);
}

// Chunks opened and retired over and over (each block larger than a
// chunk gets its own) leave no mapping and no descriptor behind.
TEST(CodeArena, GivesMappingsAndDescriptorsBackUnderChurn) {
  const int chunks = CodeChunkCount();
  const int files = OpenDescriptors();
  if (chunks < 0 || files < 0)
    GTEST_SKIP() << "the mappings or descriptors cannot be read here";
  {
    CCodeArena arena;
    for (int round = 0; round < 100; ++round) {
      CODE_BLOCK large, small;
      ASSERT_TRUE(
          arena.Allocate((2 + round % 3) * CCodeArena::kChunkSize, 8, large));
      ASSERT_TRUE(arena.Allocate(64, 8, small));
      CCodeArena::Free(large);
      CCodeArena::Free(small);
    }
    // One empty chunk is kept.
    EXPECT_LE(CodeChunkCount() - chunks, 1);
    EXPECT_LE(OpenDescriptors() - files, 1);
  }
  EXPECT_EQ(CodeChunkCount(), chunks);
  EXPECT_EQ(OpenDescriptors(), files);
}

#if !defined(_WIN32)
namespace {

// Whether a child sees a page marked to be wiped on fork as zeros, or the
// system refuses the mark (the arena then compares process ids). qemu's
// user mode takes the mark and ignores it.
bool ForkWipesMarkedPages() {
#if defined(MADV_WIPEONFORK)
  const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void *page = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED)
    return true;
  bool wiped = true;
  if (madvise(page, size, MADV_WIPEONFORK) == 0) {
    *static_cast<volatile unsigned char *>(page) = 1;
    const pid_t child = fork();
    if (child == 0)
      std::_Exit(*static_cast<volatile unsigned char *>(page) == 0 ? 0 : 1);
    int status = 0;
    wiped = child > 0 && waitpid(child, &status, 0) == child &&
            WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  munmap(page, size);
  return wiped;
#else
  return true;
#endif
}

} // namespace

// After fork the chunks' pages are shared: a child that compiles must put
// its code in chunks of its own, even into space the parent freed, and
// the parent's later blocks never see the child's bytes.
TEST(CodeArena, AChildAfterForkWritesOnlyItsOwnChunks) {
  if (!ForkWipesMarkedPages())
    GTEST_SKIP() << "pages marked to be wiped on fork are not wiped here";
  CCodeArena arena;
  CODE_BLOCK kept, freed;
  ASSERT_TRUE(arena.Allocate(100, 16, kept));
  ASSERT_TRUE(arena.Allocate(100, 16, freed));
  const CODE_CHUNK *parentChunk = kept.chunk;
  CCodeArena::Free(freed);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CODE_BLOCK own;
    const bool apart = arena.Allocate(100, 16, own) &&
                       own.chunk != parentChunk &&
                       CCodeArena::Write(own, Bytes(100, 0xAB), Bytes(8, 0xAB));
    CCodeArena::Free(kept); // frees the child's view only
    std::_Exit(apart ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CODE_BLOCK later;
  ASSERT_TRUE(arena.Allocate(100, 16, later));
  EXPECT_EQ(later.chunk, parentChunk);
  EXPECT_NE(At(later.executable)[0], 0xAB);
  EXPECT_EQ(At(kept.executable)[0], 0); // still the parent's
  CCodeArena::Free(kept);
  CCodeArena::Free(later);
}
#endif

namespace {

// Machine code for texts over x and y, in an arena of its own.
struct Program {
  Program(const boost::shared_ptr<CExpressionBuilder> &builder,
          const std::string &text)
      : tree(CompileText(builder, text)), machine(&Unused) {
    CVisitPlan plan;
    EXPECT_TRUE(tree != nullptr && plan.Read(tree->root)) << text;
    machine.Build(plan, arena, DetectedMachineFeatures());
  }
  static std::pair<bool, double> Unused(const void *, std::uintptr_t) {
    return std::make_pair(false, 0.0);
  }
  std::unique_ptr<Tree> tree;
  CCodeArena arena;
  CMachineProgram machine;
};

bool Contains(const Mapping &m, const void *bytes, std::size_t n) {
  const unsigned char *from = At(reinterpret_cast<const void *>(m.from));
  const unsigned char *to = At(reinterpret_cast<const void *>(m.to));
  for (const unsigned char *p = from; p + n <= to; ++p) {
    if (std::memcmp(p, bytes, n) == 0)
      return true;
  }
  return false;
}

} // namespace

// A formula's constants are data: none of their bytes in an executable
// page (1.0000007265052524 is the instructions nop; syscall; ret), each in
// a read-only page beside the code; no page of code is writable.
TEST(CodeHardening, ConstantsLieOutsideExecutablePagesAndNothingIsWritable) {
#if !defined(VOXEVAL_MACHINE_CODE)
  GTEST_SKIP() << "no machine code here";
#endif
  const boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  const double constants[] = {1.0000007265052524, 123456.789, 2.5e-300};
  const Program programs[] = {{builder, "x*1.0000007265052524"},
                              {builder, "y+123456.789*x"},
                              {builder, "(x-2.5e-300)/y"}};
  std::vector<Mapping> mappings;
  if (!CodeMappings(mappings))
    GTEST_SKIP() << "the mappings cannot be read here";
  for (const Program &program : programs)
    ASSERT_TRUE(program.machine.Ready());
  for (const double constant : constants) {
    SCOPED_TRACE(constant);
    bool inData = false;
    for (const Mapping &m : mappings) {
      const bool executable = m.permissions.find('x') != std::string::npos;
      EXPECT_EQ(m.permissions.find('w'), std::string::npos);
      if (executable)
        EXPECT_FALSE(Contains(m, &constant, sizeof constant));
      else
        inData = inData || Contains(m, &constant, sizeof constant);
    }
    EXPECT_TRUE(inData);
  }
}

// Every entry starts with endbr64 (endbr32 in 32-bit code), so that the
// code runs where indirect branches are tracked.
TEST(CodeHardening, EntriesBeginWithEndbr) {
#if !defined(VOXEVAL_MACHINE_CODE)
  GTEST_SKIP() << "no machine code here";
#endif
  const boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  const unsigned char endbr[] = {0xF3, 0x0F, 0x1E,
                                 sizeof(void *) == 8 ? 0xFA : 0xFB};
  for (const char *text : {"x+1", "sin(x)*y", "x^2-y^3", "1/(x+y)"}) {
    SCOPED_TRACE(text);
    const Program program(builder, text);
    ASSERT_TRUE(program.machine.Ready());
    EXPECT_EQ(std::memcmp(program.machine.Code(), endbr, 4), 0);
  }
}
