#include "execution/machine/code_arena.h"

#include "execution/machine/lowest_bit.h"
#include "execution/machine/unwind_table.h"
#include "platform/executable_memory.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

// A record's state: its pages mapped and open to blocks; being mapped or
// unmapped by one thread; or without pages.
const int kOpen = 0;
const int kBusy = 1;
const int kEmpty = 2;

const std::uint64_t kAllTaken = ~std::uint64_t(0);
const int kWordBits = 64;

std::size_t RoundUp(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

// The bits of units [from, to) that fall in word w.
std::uint64_t MaskIn(std::uint32_t w, std::uint32_t from, std::uint32_t to) {
  const std::uint32_t low = w * kWordBits;
  if (to <= low || from >= low + kWordBits)
    return 0;
  const std::uint32_t a = from > low ? from - low : 0;
  const std::uint32_t b = to - low < kWordBits ? to - low : kWordBits;
  const std::uint64_t upTo =
      b == kWordBits ? kAllTaken : (std::uint64_t(1) << b) - 1;
  return upTo & ~((std::uint64_t(1) << a) - 1);
}

} // namespace

// A chunk's record, in the process's private memory: after a fork the
// chunk's pages are shared with the child, its record is not. Records are
// never deleted while the arena lives (other threads may be reading them);
// a record whose pages went back is mapped again for a later chunk.
struct CODE_CHUNK {
  CODE_CHUNK(CCodeArena *owner, std::uint32_t unitCount)
      : arena(owner), units(unitCount),
        words(new std::atomic<std::uint64_t>[unitCount / kWordBits]),
        unwind(unitCount) {
    for (std::uint32_t w = 0; w < WordCount(); ++w)
      words[w].store(kAllTaken, std::memory_order_relaxed);
  }
  std::uint32_t WordCount() const { return units / kWordBits; }

  CCodeArena *const arena;
  CODE_CHUNK *next = nullptr; // set before the record is published
  const std::uint32_t units;
  // One bit a unit, set while taken; all set while the record has no pages.
  std::unique_ptr<std::atomic<std::uint64_t>[]> words;
  // A hint for skipping full chunks, and what tells that one went empty.
  std::atomic<std::uint32_t> freeUnits{0};
  std::atomic<int> state{kBusy};
  std::atomic<std::uint32_t> generation{0};
  // The one empty chunk kept mapped.
  std::atomic<bool> kept{false};
  // A write to it failed (its descriptor may be gone): it takes no more
  // blocks, and its code runs on until they are freed.
  std::atomic<bool> unwritable{false};
  // Read by whoever holds a unit; written only while all are held.
  CODE_PAGES pages;
  // The blocks' frames, for the system's unwinder. Empty while the chunk
  // has no pages, since every block leaves it when freed.
  CUnwindTable unwind;
};

namespace {

// The first run of units free units seen in the chunk, as at.
bool FindRun(const CODE_CHUNK &chunk, std::uint32_t units, std::uint32_t &at) {
  std::uint32_t run = 0;
  std::uint32_t start = 0;
  for (std::uint32_t w = 0; w < chunk.WordCount(); ++w) {
    const std::uint64_t taken = chunk.words[w].load(std::memory_order_relaxed);
    if (taken == kAllTaken) {
      run = 0;
      continue;
    }
    int b = 0;
    while (b < kWordBits) {
      const std::uint64_t rest = taken >> b;
      if ((rest & 1) != 0) {
        b += LowestBit(~rest);
        run = 0;
        continue;
      }
      const int zeros = rest == 0 ? kWordBits - b : LowestBit(rest);
      if (run == 0)
        start = w * kWordBits + static_cast<std::uint32_t>(b);
      run += static_cast<std::uint32_t>(zeros);
      b += zeros;
      if (run >= units) {
        at = start;
        return true;
      }
    }
  }
  return false;
}

void ReleaseRun(CODE_CHUNK &chunk, std::uint32_t first, std::uint32_t units) {
  const std::uint32_t end = first + units;
  for (std::uint32_t w = first / kWordBits; w * kWordBits < end; ++w)
    chunk.words[w].fetch_and(~MaskIn(w, first, end), std::memory_order_release);
}

// Takes the run word by word; where another thread took a unit first,
// gives back what it took.
bool ClaimRun(CODE_CHUNK &chunk, std::uint32_t first, std::uint32_t units) {
  const std::uint32_t end = first + units;
  for (std::uint32_t w = first / kWordBits; w * kWordBits < end; ++w) {
    const std::uint64_t mask = MaskIn(w, first, end);
    std::uint64_t seen = chunk.words[w].load(std::memory_order_relaxed);
    bool taken = false;
    while ((seen & mask) == 0 && !taken)
      taken = chunk.words[w].compare_exchange_weak(seen, seen | mask,
                                                   std::memory_order_acquire,
                                                   std::memory_order_relaxed);
    if (!taken) {
      const std::uint32_t claimed =
          w * kWordBits > first ? w * kWordBits - first : 0;
      if (claimed > 0)
        ReleaseRun(chunk, first, claimed);
      return false;
    }
  }
  return true;
}

void FillBlock(CODE_CHUNK *chunk, std::uint32_t first, std::uint32_t units,
               CODE_BLOCK &block) {
  block.executable = static_cast<const char *>(chunk->pages.executable) +
                     first * CCodeArena::kUnit;
  block.chunk = chunk;
  block.first = first;
  block.units = units;
  block.dataDistance = chunk->pages.code + first * CCodeArena::kDataPerUnit -
                       first * CCodeArena::kUnit;
}

// Unmaps an empty chunk, once all its units are held so that no thread can
// take one meanwhile. False when one is taken.
bool Retire(CODE_CHUNK *chunk, std::atomic<int> &emptyKept) {
  int open = kOpen;
  if (!chunk->state.compare_exchange_strong(open, kBusy,
                                            std::memory_order_acq_rel))
    return false;
  std::uint32_t w = 0;
  for (; w < chunk->WordCount(); ++w) {
    std::uint64_t none = 0;
    if (!chunk->words[w].compare_exchange_strong(none, kAllTaken,
                                                 std::memory_order_acq_rel))
      break;
  }
  if (w < chunk->WordCount()) {
    for (std::uint32_t v = 0; v < w; ++v)
      chunk->words[v].store(0, std::memory_order_release);
    chunk->state.store(kOpen, std::memory_order_release);
    return false;
  }
  chunk->unwind.Close();
  ReleaseCodePages(chunk->pages);
  if (chunk->kept.exchange(false))
    emptyKept.fetch_sub(1);
  chunk->state.store(kEmpty, std::memory_order_release);
  return true;
}

} // namespace

CCodeArena::CCodeArena()
    : m_chunks(nullptr), m_generation(0), m_process(CurrentProcess()),
      m_forkWitness(OpenForkWitness()), m_emptyKept(0) {
  if (m_forkWitness != nullptr)
    new (m_forkWitness) std::atomic<unsigned char>(1);
}

CCodeArena::~CCodeArena() {
  CODE_CHUNK *chunk = m_chunks.load();
  while (chunk != nullptr) {
    CODE_CHUNK *next = chunk->next;
    if (chunk->state.load() == kOpen) {
      chunk->unwind.Close();
      ReleaseCodePages(chunk->pages);
    }
    delete chunk;
    chunk = next;
  }
  CloseForkWitness(m_forkWitness);
}

CCodeArena &CCodeArena::Shared() {
  static std::atomic<CCodeArena *> shared(nullptr);
  CCodeArena *arena = shared.load(std::memory_order_acquire);
  if (arena != nullptr)
    return *arena;
  std::unique_ptr<CCodeArena> made(new CCodeArena);
  if (shared.compare_exchange_strong(arena, made.get(),
                                     std::memory_order_acq_rel))
    return *made.release();
  return *arena;
}

// A child sees the witness wiped (or another process id): its generation
// starts, and chunks of earlier ones take no more blocks.
std::uint32_t CCodeArena::Generation() {
  if (m_forkWitness != nullptr) {
    std::atomic<unsigned char> &witness =
        *static_cast<std::atomic<unsigned char> *>(m_forkWitness);
    if (witness.load(std::memory_order_relaxed) != 1) {
      m_generation.fetch_add(1);
      witness.store(1);
    }
  } else {
    const std::uint64_t process = CurrentProcess();
    std::uint64_t seen = m_process.load();
    if (process != seen && m_process.compare_exchange_strong(seen, process))
      m_generation.fetch_add(1);
  }
  return m_generation.load(std::memory_order_acquire);
}

bool CCodeArena::TakeFrom(CODE_CHUNK *chunk, std::uint32_t units,
                          std::uint32_t generation, CODE_BLOCK &block) {
  if (chunk->units < units ||
      chunk->state.load(std::memory_order_acquire) != kOpen ||
      chunk->unwritable.load(std::memory_order_relaxed) ||
      chunk->generation.load(std::memory_order_relaxed) != generation ||
      chunk->freeUnits.load(std::memory_order_relaxed) < units)
    return false;
  // Other threads may take the run first: a few tries.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::uint32_t first = 0;
    if (!FindRun(*chunk, units, first))
      return false;
    if (!ClaimRun(*chunk, first, units))
      continue;
    chunk->freeUnits.fetch_sub(units, std::memory_order_relaxed);
    // Holding units, the chunk stays as it is now; it may have been
    // unmapped and mapped again since it was looked at.
    if (chunk->state.load(std::memory_order_acquire) != kOpen ||
        chunk->generation.load(std::memory_order_relaxed) != generation) {
      ReleaseRun(*chunk, first, units);
      chunk->freeUnits.fetch_add(units, std::memory_order_relaxed);
      return false;
    }
    if (chunk->kept.exchange(false))
      m_emptyKept.fetch_sub(1);
    FillBlock(chunk, first, units, block);
    return true;
  }
  return false;
}

// Maps a chunk of bytes of code, in a record without pages or a new one,
// and takes the block from its start. False when the system refuses.
bool CCodeArena::Open(std::size_t bytes, std::uint32_t units,
                      std::uint32_t generation, CODE_BLOCK &block) {
  const std::uint32_t chunkUnits = static_cast<std::uint32_t>(bytes / kUnit);
  CODE_CHUNK *chunk = nullptr;
  for (CODE_CHUNK *c = m_chunks.load(std::memory_order_acquire); c != nullptr;
       c = c->next) {
    int empty = kEmpty;
    if (c->units == chunkUnits &&
        c->state.compare_exchange_strong(empty, kBusy,
                                         std::memory_order_acquire)) {
      chunk = c;
      break;
    }
  }
  std::unique_ptr<CODE_CHUNK> fresh;
  if (chunk == nullptr) {
    fresh.reset(new CODE_CHUNK(this, chunkUnits));
    chunk = fresh.get();
  }
  CODE_PAGES pages;
  if (!AllocateCodePages(bytes, bytes / kUnit * kDataPerUnit, pages)) {
    chunk->state.store(kEmpty, std::memory_order_release);
    return false;
  }
  chunk->pages = pages;
  chunk->unwritable.store(false, std::memory_order_relaxed);
  chunk->unwind.Open(pages.executable, pages.code, kUnit);
  chunk->generation.store(generation, std::memory_order_relaxed);
  chunk->freeUnits.store(chunkUnits - units, std::memory_order_relaxed);
  for (std::uint32_t w = 0; w < chunk->WordCount(); ++w)
    chunk->words[w].store(MaskIn(w, 0, units), std::memory_order_release);
  chunk->state.store(kOpen, std::memory_order_release);
  FillBlock(chunk, 0, units, block);
  if (fresh) {
    CODE_CHUNK *head = m_chunks.load(std::memory_order_relaxed);
    do
      chunk->next = head;
    while (!m_chunks.compare_exchange_weak(
        head, chunk, std::memory_order_release, std::memory_order_relaxed));
    // The list owns the chunk's record now.
    static_cast<void>(fresh.release());
  }
  return true;
}

// A chunk with room, else a new one.
bool CCodeArena::Allocate(std::size_t code, std::size_t data,
                          CODE_BLOCK &block) {
  const std::size_t codeUnits = (code + kUnit - 1) / kUnit;
  const std::size_t dataUnits = (data + kDataPerUnit - 1) / kDataPerUnit;
  const std::size_t bytes =
      kUnit * std::max<std::size_t>(1, std::max(codeUnits, dataUnits));
  const std::uint32_t units = static_cast<std::uint32_t>(bytes / kUnit);
  const std::uint32_t generation = Generation();
  for (CODE_CHUNK *c = m_chunks.load(std::memory_order_acquire); c != nullptr;
       c = c->next) {
    if (TakeFrom(c, units, generation, block))
      return true;
  }
  const std::size_t chunkBytes =
      bytes > kChunkSize ? RoundUp(bytes, kCodePageGranule) : kChunkSize;
  return Open(chunkBytes, units, generation, block);
}

bool CCodeArena::Write(const CODE_BLOCK &block,
                       const std::vector<std::uint8_t> &code,
                       const std::vector<std::uint8_t> &data) {
  const CODE_PAGES &pages = block.chunk->pages;
  if (WriteCodePages(pages, block.first * kUnit, code.data(), code.size()) &&
      WriteCodePages(pages, pages.code + block.first * kDataPerUnit,
                     data.data(), data.size()))
    return true;
  block.chunk->unwritable.store(true, std::memory_order_relaxed);
  return false;
}

void CCodeArena::Describe(const CODE_BLOCK &block, const FRAME_SHAPE &shape) {
  block.chunk->unwind.Add(block.first, block.executable, shape);
}

void CCodeArena::Free(CODE_BLOCK &block) {
  CODE_CHUNK *chunk = block.chunk;
  const std::uint32_t first = block.first;
  const std::uint32_t units = block.units;
  block = CODE_BLOCK();
  if (chunk == nullptr)
    return;
  // Before the units can be taken again, and described anew.
  chunk->unwind.Remove(first);
  ReleaseRun(*chunk, first, units);
  if (chunk->freeUnits.fetch_add(units, std::memory_order_acq_rel) + units ==
      chunk->units)
    chunk->arena->Emptied(chunk);
}

// One empty chunk of this process stays mapped, so that a host that makes
// and drops one expression over and over does not map a chunk each time.
void CCodeArena::Emptied(CODE_CHUNK *chunk) {
  if (chunk->kept.load())
    return;
  if (chunk->generation.load() == Generation()) {
    if (m_emptyKept.fetch_add(1) == 0) {
      chunk->kept.store(true);
      return;
    }
    m_emptyKept.fetch_sub(1);
  }
  Retire(chunk, m_emptyKept);
}
