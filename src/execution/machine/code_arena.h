// Where a parser's expressions keep their machine code: chunks of memory
// seen twice (see platform/executable_memory.h), handed out from the front
// and never written twice at the same place, so that no page changes its
// protection and no code is overwritten while it might still run. A chunk
// goes back to the system when its last block is freed.
//
// Blocks are taken on the parser's thread; they may be freed on any thread
// (an expression's last handle may be released anywhere). Freeing is one
// atomic operation on the block's chunk; no lock is taken.
#ifndef VOXEVAL_EXECUTION_MACHINE_CODE_ARENA_H
#define VOXEVAL_EXECUTION_MACHINE_CODE_ARENA_H

#include "execution/machine/frame_shape.h"

#include <cstddef>
#include <cstdint>

struct CODE_CHUNK;

struct CODE_BLOCK {
  void *writable = nullptr;
  const void *executable = nullptr;
  CODE_CHUNK *chunk = nullptr;
};

class CCodeArena {
public:
  CCodeArena() = default;
  ~CCodeArena();
  CCodeArena(const CCodeArena &) = delete;
  CCodeArena &operator=(const CCodeArena &) = delete;

  // A block of size bytes, its executable address near the given one
  // where a new chunk is opened for it. False when the system has no
  // memory for code to give.
  bool Allocate(std::size_t size, const void *near, CODE_BLOCK &block);

  // Where the next block will start if it fits in the chunk open now;
  // null when none is open.
  const void *Next() const;

  // Tells the system's unwinder the frame of the code written to the
  // block, for as long as the block's chunk lives. On the allocating
  // thread, before the code runs. Throws std::bad_alloc.
  static void Describe(const CODE_BLOCK &block, const FRAME_SHAPE &shape);

  // Gives the block back; an empty block is ignored. Any thread.
  static void Free(CODE_BLOCK &block);

  // Bytes in a chunk: blocks of larger code get a chunk of their own.
  static const std::size_t kChunkSize = std::size_t(32) * 1024;

private:
  // The process has forked since the open chunk was opened.
  bool Forked() const;

  CODE_CHUNK *m_current = nullptr;
  // Reads 1 until the process forks (see platform/executable_memory.h),
  // or null, the process id then telling.
  void *m_forkWitness = nullptr;
  bool m_witnessTried = false;
  std::uint64_t m_process = 0;
};

#endif
