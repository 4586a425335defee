#include "execution/machine/unwind_table.h"

#include "platform/unwind_registry.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

#if defined(VOXEVAL_DWARF_UNWIND)
// Call frame instructions and register numbers of x86-64.
const std::uint8_t kAdvance = 0x40; // delta in the low six bits
const std::uint8_t kAdvance1 = 0x02;
const std::uint8_t kAdvance2 = 0x03;
const std::uint8_t kAdvance4 = 0x04;
const std::uint8_t kDefineCfa = 0x0C;
const std::uint8_t kCfaOffset = 0x0E;
const std::uint8_t kOffset = 0x80; // register in the low six bits
const std::uint8_t kRsp = 7;
const std::uint8_t kReturnAddress = 16;

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
// address's slot plus eight), one FDE whose rules follow the shape's
// steps, and the zero word that ends a list.
std::vector<std::uint8_t> UnwindRecord(const void *begin,
                                       const FRAME_SHAPE &shape) {
  std::vector<std::uint8_t> out;
#if defined(VOXEVAL_DWARF_UNWIND)
  Put(out, 0, 4);
  const std::size_t cie = out.size();
  Put(out, 0, 4); // the CIE's mark
  out.push_back(1);
  const char augmentation[] = "zR"; // FDE addresses: absolute, 8 bytes
  out.insert(out.end(), augmentation, augmentation + sizeof augmentation);
  PutUnsigned(out, 1);
  out.push_back(0x78); // data alignment -8
  out.push_back(kReturnAddress);
  PutUnsigned(out, 1);
  out.push_back(0x00);
  out.insert(out.end(), {kDefineCfa, kRsp, 8});
  out.insert(out.end(),
             {static_cast<std::uint8_t>(kOffset | kReturnAddress), 1});
  CloseEntry(out, cie);

  Put(out, 0, 4);
  const std::size_t fde = out.size();
  Put(out, fde - (cie - 4), 4); // back to the CIE
  Put(out, reinterpret_cast<std::uintptr_t>(begin), 8);
  Put(out, shape.length, 8);
  PutUnsigned(out, 0);
  std::uint32_t at = 0;
  for (const FRAME_STEP &step : shape.steps) {
    AdvanceTo(out, step.at - at);
    at = step.at;
    out.push_back(kCfaOffset);
    PutUnsigned(out, static_cast<std::uint32_t>(8 + step.depth));
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

void CUnwindTable::Add(const void *begin, const FRAME_SHAPE &shape) {
  const std::vector<std::uint8_t> bytes = UnwindRecord(begin, shape);
  if (bytes.empty())
    return;
  m_records.reserve(m_records.size() + 1);
  std::unique_ptr<std::uint8_t[]> record(new std::uint8_t[bytes.size()]);
  std::memcpy(record.get(), bytes.data(), bytes.size());
  // The lead, every record, the null at the end.
  void **list = new void *[m_records.size() + 3];
  list[0] = Lead();
  for (std::size_t i = 0; i < m_records.size(); ++i)
    list[i + 1] = m_records[i];
  list[m_records.size() + 1] = record.get();
  list[m_records.size() + 2] = nullptr;
  m_records.push_back(record.release());
  // The new list first, so that the code is never without one; the old
  // list goes, its records stay.
  RegisterUnwindList(list);
  if (m_registered != nullptr) {
    WithdrawUnwindList(m_registered);
    delete[] m_registered;
  }
  m_registered = list;
}

void CUnwindTable::Release() {
  if (m_registered != nullptr) {
    WithdrawUnwindList(m_registered);
    delete[] m_registered;
    m_registered = nullptr;
  }
  for (std::uint8_t *record : m_records)
    delete[] record;
  m_records.clear();
}
