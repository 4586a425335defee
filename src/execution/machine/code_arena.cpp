#include "execution/machine/code_arena.h"

#include "execution/machine/unwind_table.h"
#include "platform/executable_memory.h"

#include <atomic>
#include <cstdint>
#include <memory>

// A chunk's own record, in the process's private memory: after a fork the
// chunk's pages are shared with the child, its record is not. The state
// counts live blocks in twos; its low bit is set once the chunk takes no
// more blocks. Whoever brings it to exactly 1 (retired, nothing live)
// releases the chunk: the last block's owner, or the arena retiring an
// empty chunk.
struct CODE_CHUNK {
  CODE_PAGES pages;
  std::size_t used;
  std::atomic<std::uint32_t> state;
  CUnwindTable unwind;
};

namespace {

const std::uint32_t kRetired = 1;
const std::uint32_t kOneBlock = 2;

std::size_t RoundUp(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

void ReleaseChunk(CODE_CHUNK *chunk) {
  chunk->unwind.Release();
  ReleaseCodePages(chunk->pages);
  delete chunk;
}

void Retire(CODE_CHUNK *chunk) {
  if (chunk != nullptr &&
      chunk->state.fetch_or(kRetired, std::memory_order_acq_rel) == 0)
    ReleaseChunk(chunk);
}

// Code starts at a 64-byte boundary, as compiled functions do.
const std::size_t kAlignment = 64;

} // namespace

CCodeArena::~CCodeArena() {
  Retire(m_current);
  CloseForkWitness(m_forkWitness);
}

bool CCodeArena::Forked() const {
  if (m_forkWitness != nullptr)
    return *static_cast<volatile const unsigned char *>(m_forkWitness) != 1;
  return CurrentProcess() != m_process;
}

bool CCodeArena::Allocate(std::size_t size, const void *near,
                          CODE_BLOCK &block) {
  size = RoundUp(size, kAlignment);
  // The open chunk's pages are shared with the parent after a fork: the
  // child leaves them to the parent and opens its own.
  if (m_current == nullptr || m_current->used + size > m_current->pages.size ||
      Forked()) {
    std::unique_ptr<CODE_CHUNK> chunk(new CODE_CHUNK());
    if (!AllocateCodePages(RoundUp(size, kChunkSize), near, chunk->pages))
      return false;
    chunk->used = 0;
    chunk->unwind.Cover(chunk->pages.executable, chunk->pages.size);
    chunk->state.store(0, std::memory_order_relaxed);
    if (!m_witnessTried) {
      m_forkWitness = OpenForkWitness();
      m_witnessTried = true;
    }
    if (m_forkWitness != nullptr)
      *static_cast<volatile unsigned char *>(m_forkWitness) = 1;
    else
      m_process = CurrentProcess();
    Retire(m_current);
    m_current = chunk.release();
  }
  CODE_CHUNK *chunk = m_current;
  block.writable = static_cast<char *>(chunk->pages.writable) + chunk->used;
  block.executable =
      static_cast<const char *>(chunk->pages.executable) + chunk->used;
  block.chunk = chunk;
  chunk->used += size;
  chunk->state.fetch_add(kOneBlock, std::memory_order_relaxed);
  return true;
}

const void *CCodeArena::Next() const {
  if (m_current == nullptr)
    return nullptr;
  return static_cast<const char *>(m_current->pages.executable) +
         m_current->used;
}

void CCodeArena::Describe(const CODE_BLOCK &block, const FRAME_SHAPE &shape) {
  block.chunk->unwind.Add(block.executable, shape);
}

void CCodeArena::Free(CODE_BLOCK &block) {
  CODE_CHUNK *chunk = block.chunk;
  block = CODE_BLOCK();
  if (chunk != nullptr &&
      chunk->state.fetch_sub(kOneBlock, std::memory_order_acq_rel) ==
          kOneBlock + kRetired)
    ReleaseChunk(chunk);
}
