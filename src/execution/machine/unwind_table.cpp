#include "execution/machine/unwind_table.h"

#include "execution/machine/lowest_bit.h"
#include "platform/unwind_registry.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

#if defined(VOXEVAL_DWARF_UNWIND)
// Call frame instructions.
const std::uint8_t kAdvance = 0x40; // delta in the low six bits
const std::uint8_t kAdvance1 = 0x02;
const std::uint8_t kAdvance2 = 0x03;
const std::uint8_t kAdvance4 = 0x04;
const std::uint8_t kDefineCfa = 0x0C;
const std::uint8_t kCfaOffset = 0x0E;
const std::uint8_t kOffset = 0x80; // register in the low six bits
// The stack pointer's and the return address's numbers, and the data
// alignment (-8 or -4, one byte of signed LEB128): x86-64's, or i386's.
#if defined(__x86_64__)
const std::uint8_t kRsp = 7;
const std::uint8_t kReturnAddress = 16;
const std::uint8_t kDataAlignment = 0x78;
#else
const std::uint8_t kRsp = 4;
const std::uint8_t kReturnAddress = 8;
const std::uint8_t kDataAlignment = 0x7C;
#endif
const int kPointer = sizeof(void *);

void Put(std::vector<std::uint8_t> &out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutUnsigned(std::vector<std::uint8_t> &out, std::uint32_t value) {
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    out.push_back(value != 0 ? (byte | 0x80) : byte);
  } while (value != 0);
}

// An entry is its length, then the bytes from `from` on, padded with
// no-operations to a multiple of eight.
void CloseEntry(std::vector<std::uint8_t> &out, std::size_t from) {
  while ((out.size() - from) % 8 != 4)
    out.push_back(0);
  const std::uint32_t length = static_cast<std::uint32_t>(out.size() - from);
  std::memcpy(&out[from - 4], &length, 4);
}

void AdvanceTo(std::vector<std::uint8_t> &out, std::uint32_t delta) {
  if (delta < 64) {
    out.push_back(static_cast<std::uint8_t>(kAdvance | delta));
  } else if (delta < 0x100) {
    out.push_back(kAdvance1);
    Put(out, delta, 1);
  } else if (delta < 0x10000) {
    out.push_back(kAdvance2);
    Put(out, delta, 2);
  } else {
    out.push_back(kAdvance4);
    Put(out, delta, 4);
  }
}
#endif

} // namespace

// A CIE for code that saves no register (the caller's frame is the return
// address's slot plus a pointer), one FDE whose rules follow the shape's
// steps, and the zero word that ends a list.
std::vector<std::uint8_t> UnwindRecord(const void *begin,
                                       const FRAME_SHAPE &shape) {
  std::vector<std::uint8_t> out;
#if defined(VOXEVAL_DWARF_UNWIND)
  out.reserve(64 + 4 * shape.steps.size());
  Put(out, 0, 4);
  const std::size_t cie = out.size();
  Put(out, 0, 4); // the CIE's mark
  out.push_back(1);
  const char augmentation[] = "zR"; // FDE addresses: absolute pointers
  out.insert(out.end(), augmentation, augmentation + sizeof augmentation);
  PutUnsigned(out, 1);
  out.push_back(kDataAlignment);
  out.push_back(kReturnAddress);
  PutUnsigned(out, 1);
  out.push_back(0x00);
  out.insert(out.end(), {kDefineCfa, kRsp, kPointer});
  out.insert(out.end(),
             {static_cast<std::uint8_t>(kOffset | kReturnAddress), 1});
  CloseEntry(out, cie);

  Put(out, 0, 4);
  const std::size_t fde = out.size();
  Put(out, fde - (cie - 4), 4); // back to the CIE
  Put(out, reinterpret_cast<std::uintptr_t>(begin), kPointer);
  Put(out, shape.length, kPointer);
  PutUnsigned(out, 0);
  std::uint32_t at = 0;
  for (const FRAME_STEP &step : shape.steps) {
    AdvanceTo(out, step.at - at);
    at = step.at;
    out.push_back(kCfaOffset);
    PutUnsigned(out, static_cast<std::uint32_t>(kPointer + step.depth));
  }
  CloseEntry(out, fde);
  Put(out, 0, 4);
#else
  (void)begin;
  (void)shape;
#endif
  return out;
}

namespace {

#if defined(VOXEVAL_WINDOWS_UNWIND)
// Windows describes a frame by the prologue that makes it at the start of
// a function entry: the code is split where a frame is allocated from
// none (a part after the end making its own frame), each part an entry.
struct UNWIND_REGION {
  std::uint32_t begin;
  std::uint32_t end;
  std::uint32_t prologue;
  std::int32_t frame;
};

std::vector<UNWIND_REGION> Regions(const FRAME_SHAPE &shape) {
  std::vector<UNWIND_REGION> regions(1, UNWIND_REGION{0, shape.length, 0, 0});
  std::int32_t depth = 0;
  for (const FRAME_STEP &step : shape.steps) {
    if (step.allocation != 0 && depth == 0) {
      const std::uint32_t start = step.at - step.allocation;
      if (start != regions.back().begin) {
        regions.back().end = start;
        regions.push_back(UNWIND_REGION{start, shape.length, 0, 0});
      }
      regions.back().prologue = step.allocation;
      regions.back().frame = step.depth;
    }
    depth = step.depth;
  }
  return regions;
}

// UNWIND_INFO: version 1, the prologue's length, its one allocation.
void PutUnwindInfo(std::vector<std::uint8_t> &out, const UNWIND_REGION &r) {
  const std::uint16_t kAllocLarge = 1, kAllocSmall = 2;
  const std::uint16_t at = static_cast<std::uint16_t>(r.prologue);
  const std::uint32_t frame = static_cast<std::uint32_t>(r.frame);
  std::vector<std::uint16_t> codes;
  if (frame == 0) {
  } else if (frame <= 128) {
    codes.push_back(at | (kAllocSmall | (frame / 8 - 1) << 4) << 8);
  } else if (frame / 8 <= 0xFFFF) {
    codes.push_back(at | kAllocLarge << 8);
    codes.push_back(static_cast<std::uint16_t>(frame / 8));
  } else {
    codes.push_back(at | (kAllocLarge | 1 << 4) << 8);
    codes.push_back(static_cast<std::uint16_t>(frame));
    codes.push_back(static_cast<std::uint16_t>(frame >> 16));
  }
  out.push_back(1);
  out.push_back(static_cast<std::uint8_t>(r.prologue));
  out.push_back(static_cast<std::uint8_t>(codes.size()));
  out.push_back(0);
  if (codes.size() % 2 != 0)
    codes.push_back(0);
  for (std::uint16_t code : codes) {
    out.push_back(static_cast<std::uint8_t>(code));
    out.push_back(static_cast<std::uint8_t>(code >> 8));
  }
}
#endif

std::uint32_t DescribedWords(std::uint32_t units) { return (units + 63) / 64; }

// The list's first entry. libgcc takes a list whose first word reads 0 for
// one it never registered, so the entry is a zero word (no function) at an
// address whose low half is not 0.
void *Lead() {
  static const std::uint32_t kNoFunctions[2] = {0, 0};
  const std::uint32_t *lead = &kNoFunctions[0];
  if (static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(lead)) == 0)
    lead = &kNoFunctions[1];
  return const_cast<std::uint32_t *>(lead);
}

} // namespace

void AppendUnwindData(std::vector<std::uint8_t> &code, FRAME_SHAPE &shape) {
#if defined(VOXEVAL_WINDOWS_UNWIND)
  while (code.size() % 4 != 0)
    code.push_back(0);
  shape.data = static_cast<std::uint32_t>(code.size());
  for (const UNWIND_REGION &region : Regions(shape))
    PutUnwindInfo(code, region);
#else
  (void)code;
  (void)shape;
#endif
}

struct UNWIND_RECORD {
  // The call frame entries libgcc reads.
  std::vector<std::uint8_t> bytes;
  // Windows: the function's entries, (begin, end, unwind data) from the
  // region's base, one a part.
  std::vector<std::uint32_t> entries;
  UNWIND_RECORD *next = nullptr; // while retired
};

namespace {

void FreeRecords(UNWIND_RECORD *record) {
  while (record != nullptr) {
    UNWIND_RECORD *next = record->next;
    delete record;
    record = next;
  }
}

} // namespace

CUnwindTable::CUnwindTable(std::uint32_t units)
#if defined(VOXEVAL_DWARF_UNWIND) || defined(VOXEVAL_WINDOWS_UNWIND)
    : m_units(units), m_slots(new std::atomic<UNWIND_RECORD *>[units]) {
  for (std::uint32_t u = 0; u < units; ++u)
    m_slots[u].store(nullptr, std::memory_order_relaxed);
#if defined(VOXEVAL_DWARF_UNWIND)
  m_described.reset(new std::atomic<std::uint64_t>[DescribedWords(units)]);
  for (std::uint32_t w = 0; w < DescribedWords(units); ++w)
    m_described[w].store(0, std::memory_order_relaxed);
  // The lead, a record a unit at most, the null at the end.
  for (std::unique_ptr<void *[]> &list : m_lists)
    list.reset(new void *[std::size_t(units) + 2]);
#endif
}
#else
    : m_units(0) {
  (void)units;
}
#endif

CUnwindTable::~CUnwindTable() {
  Close();
  if (m_registered != nullptr)
    WithdrawUnwindList(m_registered);
  for (std::uint32_t u = 0; u < m_units; ++u)
    delete m_slots[u].load(std::memory_order_relaxed);
  FreeRecords(m_retired.load(std::memory_order_relaxed));
}

void CUnwindTable::Open(const void *base, std::size_t size,
                        std::size_t unitBytes) {
  m_base = base;
  m_size = size;
  m_unitBytes = unitBytes;
#if defined(VOXEVAL_WINDOWS_UNWIND)
  m_lookup = InstallFunctionLookup(base, size, &Lookup, this);
#endif
}

void CUnwindTable::Close() {
  RemoveFunctionLookup(m_lookup);
  m_lookup = nullptr;
  m_base = nullptr;
  m_size = 0;
}

void CUnwindTable::Add(std::uint32_t unit, const void *begin,
                       const FRAME_SHAPE &shape) {
  if (unit >= m_units)
    return;
  std::unique_ptr<UNWIND_RECORD> record(new UNWIND_RECORD);
#if defined(VOXEVAL_WINDOWS_UNWIND)
  if (m_lookup == nullptr)
    return;
  const std::uint32_t at = static_cast<std::uint32_t>(
      static_cast<const char *>(begin) - static_cast<const char *>(m_base));
  std::uint32_t data = at + shape.data;
  for (const UNWIND_REGION &region : Regions(shape)) {
    record->entries.insert(record->entries.end(),
                           {at + region.begin, at + region.end, data});
    std::vector<std::uint8_t> info;
    PutUnwindInfo(info, region);
    data += static_cast<std::uint32_t>(info.size());
  }
  // The unit is the caller's alone: its slot is empty. Lookups read it
  // from now on, no renewal needed.
  m_slots[unit].store(record.release());
#else
  record->bytes = UnwindRecord(begin, shape);
  if (record->bytes.empty())
    return;
  m_slots[unit].store(record.release());
  m_described[unit / 64].fetch_or(std::uint64_t(1) << (unit % 64));
  m_version.fetch_add(1);
  Renew();
#endif
}

// The entry of the function holding address: the nearest described unit at
// or below the address's unit is the function's first when the address is
// in a live function (its other units have empty slots), so only that
// function's record is read, which stays while it can run.
const void *CUnwindTable::Lookup(std::uint64_t address, void *table) {
  const CUnwindTable *self = static_cast<const CUnwindTable *>(table);
  const std::uint64_t base = reinterpret_cast<std::uintptr_t>(self->m_base);
  if (address < base || address - base >= self->m_size)
    return nullptr;
  const std::uint64_t offset = address - base;
  for (std::uint64_t u = offset / self->m_unitBytes + 1; u-- > 0;) {
    if (u >= self->m_units)
      continue;
    const UNWIND_RECORD *record = self->m_slots[u].load();
    if (record == nullptr)
      continue;
    const std::vector<std::uint32_t> &entries = record->entries;
    for (std::size_t e = 0; e + 2 < entries.size(); e += 3)
      if (offset >= entries[e] && offset < entries[e + 1])
        return &entries[e];
    return nullptr;
  }
  return nullptr;
}

void CUnwindTable::Remove(std::uint32_t unit) {
  if (unit >= m_units)
    return;
  UNWIND_RECORD *record = m_slots[unit].exchange(nullptr);
  if (record == nullptr)
    return;
#if defined(VOXEVAL_WINDOWS_UNWIND)
  // Only a lookup for this function read it, and it no longer runs.
  delete record;
#else
  m_described[unit / 64].fetch_and(~(std::uint64_t(1) << (unit % 64)));
  record->next = m_retired.load(std::memory_order_relaxed);
  while (!m_retired.compare_exchange_weak(record->next, record))
    ;
  m_version.fetch_add(1);
  Renew();
#endif
}

// Whoever changed a slot bumped the version before coming here; if another
// thread is renewing, that thread sees the new version when it is done and
// renews again, so no change is left unregistered.
void CUnwindTable::Renew() {
  for (;;) {
    bool idle = false;
    if (!m_renewing.compare_exchange_strong(idle, true))
      return;
    const std::uint32_t seen = m_version.load();
    // Taken before the slots are read: none of these is in the new list.
    UNWIND_RECORD *gone = m_retired.exchange(nullptr);
    Rebuild();
    FreeRecords(gone);
    m_renewing.store(false);
    if (m_version.load() == seen)
      return;
  }
}

// The new list is registered before the old one is withdrawn, so that
// code described in both is never without a description.
void CUnwindTable::Rebuild() {
  void **list = m_lists[m_registered == m_lists[0].get() ? 1 : 0].get();
  std::size_t n = 0;
  list[n++] = Lead();
  for (std::uint32_t w = 0; w < DescribedWords(m_units); ++w) {
    for (std::uint64_t bits = m_described[w].load(); bits != 0;
         bits &= bits - 1) {
      const std::uint32_t u =
          w * 64 + static_cast<std::uint32_t>(LowestBit(bits));
      const UNWIND_RECORD *record = m_slots[u].load();
      // A slot whose bit is not yet set is seen by the renewal its version
      // change brings.
      if (record != nullptr)
        list[n++] = const_cast<std::uint8_t *>(record->bytes.data());
    }
  }
  list[n] = nullptr;
  if (n > 1)
    RegisterUnwindList(list);
  if (m_registered != nullptr)
    WithdrawUnwindList(m_registered);
  m_registered = n > 1 ? list : nullptr;
}
