// The arena of machine code: blocks handed out from the front of a chunk,
// chunks given back when their last block goes, from any thread.
#include "execution/machine/code_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The arena's mappings this process holds now (Linux names them), or -1
// where that cannot be read (elsewhere; under Wine the file is the
// emulator's, without the names).
int CodeMappings() {
#if defined(_WIN32)
  return -1;
#endif
  std::ifstream maps("/proc/self/maps");
  if (!maps)
    return -1;
  int count = 0;
  std::string line;
  while (std::getline(maps, line))
    count += line.find("voxeval-code") != std::string::npos ? 1 : 0;
  return count;
}

} // namespace

TEST(CodeArena, HandsOutBlocksFromTheFrontOfAChunk) {
  CCodeArena arena;
  EXPECT_EQ(arena.Next(), nullptr);
  CODE_BLOCK first, second;
  ASSERT_TRUE(arena.Allocate(100, nullptr, first));
  const void *next = arena.Next();
  ASSERT_TRUE(arena.Allocate(40, nullptr, second));
  EXPECT_EQ(second.executable, next);
  EXPECT_GE(static_cast<const char *>(second.executable) -
                static_cast<const char *>(first.executable),
            100);
  // What is written through one view is seen through the other.
  std::memset(first.writable, 0xC3, 100);
  std::memset(second.writable, 0x90, 40);
  EXPECT_EQ(static_cast<const unsigned char *>(first.executable)[99], 0xC3);
  EXPECT_EQ(static_cast<const unsigned char *>(second.executable)[0], 0x90);
  // A block larger than a chunk gets one of its own.
  CODE_BLOCK large;
  ASSERT_TRUE(arena.Allocate(3 * CCodeArena::kChunkSize, nullptr, large));
  std::memset(large.writable, 0xCC, 3 * CCodeArena::kChunkSize);
  for (CODE_BLOCK *block : {&first, &second, &large})
    CCodeArena::Free(*block);
  EXPECT_EQ(first.chunk, nullptr);
  CCodeArena::Free(first); // an empty block is ignored
}

TEST(CodeArena, GivesChunksBackWhenTheirLastBlockGoesOnAnyThread) {
  const int before = CodeMappings();
  if (before < 0)
    GTEST_SKIP() << "the mappings cannot be read here";
  std::vector<CODE_BLOCK> blocks(2000);
  {
    CCodeArena arena;
    for (CODE_BLOCK &block : blocks)
      ASSERT_TRUE(arena.Allocate(200, nullptr, block));
    // Several chunks, each mapped twice.
    EXPECT_GE(CodeMappings() - before, 2 * 10);
    // Every other block from another thread, the rest from this one, at
    // the same time.
    std::thread other([&blocks] {
      for (std::size_t i = 0; i < blocks.size(); i += 2)
        CCodeArena::Free(blocks[i]);
    });
    for (std::size_t i = 1; i < blocks.size(); i += 2)
      CCodeArena::Free(blocks[i]);
    other.join();
    // Only the chunk still open remains.
    EXPECT_EQ(CodeMappings() - before, 2);
  }
  EXPECT_EQ(CodeMappings(), before);
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
// its code elsewhere, not where the parent's next block goes.
TEST(CodeArena, AChildAfterForkWritesOnlyItsOwnChunks) {
  if (!ForkWipesMarkedPages())
    GTEST_SKIP() << "pages marked to be wiped on fork are not wiped here";
  CCodeArena arena;
  CODE_BLOCK parent;
  ASSERT_TRUE(arena.Allocate(100, nullptr, parent));
  const void *next = arena.Next();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CODE_BLOCK own;
    const bool apart =
        arena.Allocate(100, nullptr, own) && own.executable != next;
    if (apart)
      std::memset(own.writable, 0xAB, 100);
    std::_Exit(apart ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CODE_BLOCK later;
  ASSERT_TRUE(arena.Allocate(100, nullptr, later));
  EXPECT_EQ(later.executable, next);
  EXPECT_NE(static_cast<const unsigned char *>(later.executable)[0], 0xAB);
  CCodeArena::Free(parent);
  CCodeArena::Free(later);
}
#endif
