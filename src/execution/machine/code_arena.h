// Where compiled expressions keep their machine code. One arena serves the
// whole process (Shared), so that many parsers share a few regions of code
// memory rather than taking mappings of their own.
//
// A chunk is one region of platform/executable_memory.h: its code pages,
// then read-only data pages a quarter their size. Chunks are cut into units
// of kUnit bytes of code and kDataPerUnit bytes of data, each unit taken or
// free by one bit; a block is a run of units, its constants in the data of
// its units.
// Blocks are taken by any thread and freed by any thread (an expression's
// last handle may be released anywhere) with atomic operations on the
// bits, never a lock. A freed block is taken again: nothing runs its code
// once its last handle is gone. A chunk left empty goes back to the system
// (one empty chunk is kept against churn); its record stays, to be
// mapped again, since other threads may still be reading it.
//
// After fork the child shares the parent's chunks: it takes no block in
// them (it opens its own), and frees and unmaps only its own view.
#ifndef VOXEVAL_EXECUTION_MACHINE_CODE_ARENA_H
#define VOXEVAL_EXECUTION_MACHINE_CODE_ARENA_H

#include "execution/machine/frame_shape.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct CODE_CHUNK;

struct CODE_BLOCK {
  const void *executable = nullptr;
  CODE_CHUNK *chunk = nullptr;
  std::uint32_t first = 0; // unit
  std::uint32_t units = 0;
  // From the code to its constants.
  std::size_t dataDistance = 0;
};

class CCodeArena {
public:
  CCodeArena();
  // Every block must have been freed.
  ~CCodeArena();
  CCodeArena(const CCodeArena &) = delete;
  CCodeArena &operator=(const CCodeArena &) = delete;

  // The process's arena, made on first use and never destroyed (an
  // expression may be released after static destruction began).
  static CCodeArena &Shared();

  // A block for code and data bytes, anywhere. False when the system gives
  // no memory for code. Throws std::bad_alloc only for the chunk's record.
  bool Allocate(std::size_t code, std::size_t data, CODE_BLOCK &block);

  // Puts the code at the block's start and the data dataDistance bytes
  // after it. False when the system refuses or the chunk's descriptor is
  // no longer its own; the block is then still the caller's to free, and
  // the chunk takes no more blocks.
  static bool Write(const CODE_BLOCK &block,
                    const std::vector<std::uint8_t> &code,
                    const std::vector<std::uint8_t> &data);

  // Tells the system's unwinder the frame of the code written to the
  // block, until the block is freed. Before the code is handed out.
  // Throws std::bad_alloc.
  static void Describe(const CODE_BLOCK &block, const FRAME_SHAPE &shape);

  // Gives the block back; an empty block is ignored. Any thread.
  static void Free(CODE_BLOCK &block);

  // Bytes of code in a chunk; larger blocks get a chunk of their size.
  static const std::size_t kChunkSize = std::size_t(256) * 1024;
  static const std::size_t kUnit = 64;
  static const std::size_t kDataPerUnit = 16;

private:
  friend struct CODE_CHUNK;
  // The process's fork generation: it changes in a child.
  std::uint32_t Generation();
  bool TakeFrom(CODE_CHUNK *chunk, std::uint32_t units,
                std::uint32_t generation, CODE_BLOCK &block);
  bool Open(std::size_t bytes, std::uint32_t units, std::uint32_t generation,
            CODE_BLOCK &block);
  void Emptied(CODE_CHUNK *chunk);

  std::atomic<CODE_CHUNK *> m_chunks;
  std::atomic<std::uint32_t> m_generation;
  std::atomic<std::uint64_t> m_process;
  // Reads 1 until the process forks, or null, the process id then telling.
  void *m_forkWitness;
  // Empty chunks kept mapped, at most one.
  std::atomic<int> m_emptyKept;
};

#endif
