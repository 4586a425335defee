// What the system's unwinder needs to step through generated code, for a
// region of code (a chunk): debuggers, profilers and crash reporters then
// see the host's frames above a callback or a crash in the code.
//
// Functions are described as they are placed, one registration per region
// however many functions it holds: libgcc searches its registrations one
// by one under a process-wide lock on every exception the host throws, so
// their number is kept to the number of regions. The region's list is
// registered anew when a function joins or leaves it. Windows instead asks
// the region's own lookup for the function holding an address, which reads
// the slots below (nothing to renew).
//
// Functions join and leave from any thread, without a lock: each has a
// slot by its first unit, and whichever thread finds no renewal under way
// renews the list from the slots, again while others changed them
// meanwhile. A function's description is freed by the renewer once the
// list holding it is withdrawn. A function may run before its
// description is registered (a backtrace then stops there); throws never
// pass through the code, so nothing depends on it. Evaluate never touches
// the table.
#ifndef VOXEVAL_EXECUTION_MACHINE_UNWIND_TABLE_H
#define VOXEVAL_EXECUTION_MACHINE_UNWIND_TABLE_H

#include "execution/machine/frame_shape.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct UNWIND_RECORD;

class CUnwindTable {
public:
  // For a region of units functions at most.
  explicit CUnwindTable(std::uint32_t units);
  // Nothing may join, leave or renew any more.
  ~CUnwindTable();

  // The region's code is at [base, base + size) from now until Close, in
  // units of unitBytes. Windows: its lookup is installed (none if the
  // system refuses: backtraces then stop at the code).
  void Open(const void *base, std::size_t size, std::size_t unitBytes);
  // Before the region's pages go back, every function having left.
  void Close();
  CUnwindTable(const CUnwindTable &) = delete;
  CUnwindTable &operator=(const CUnwindTable &) = delete;

  // Describes the function at begin, whose first unit is unit (free of
  // any other). Throws std::bad_alloc; nothing is described then.
  void Add(std::uint32_t unit, const void *begin, const FRAME_SHAPE &shape);

  // Forgets the function at unit, if one is described. Any thread.
  void Remove(std::uint32_t unit);

private:
  void Renew();
  void Rebuild();
  static const void *Lookup(std::uint64_t address, void *table);

  const std::uint32_t m_units;
  std::unique_ptr<std::atomic<UNWIND_RECORD *>[]> m_slots;
  // A bit a slot, set while it may hold a description: the renewal reads
  // only those slots, so its cost follows the functions, not the units.
  std::unique_ptr<std::atomic<std::uint64_t>[]> m_described;
  // Descriptions taken out of their slots, to free once withdrawn.
  std::atomic<UNWIND_RECORD *> m_retired{nullptr};
  // Changes with every slot changed; the renewal runs while it moves.
  std::atomic<std::uint32_t> m_version{0};
  std::atomic<bool> m_renewing{false};
  // Touched only while renewing: two lists (null-terminated) taking turns,
  // and the registered one, or null.
  std::unique_ptr<void *[]> m_lists[2];
  void **m_registered = nullptr;
  // Between Open and Close.
  const void *m_base = nullptr;
  std::size_t m_size = 0;
  std::size_t m_unitBytes = 1;
  void *m_lookup = nullptr;
};

// Appends to the code the unwind data the system wants beside it, if any
// (Windows), and notes where in shape.
void AppendUnwindData(std::vector<std::uint8_t> &code, FRAME_SHAPE &shape);

// The description of one function as the system's unwinder reads it
// (empty where the library registers none). For tests and for reading.
std::vector<std::uint8_t> UnwindRecord(const void *begin,
                                       const FRAME_SHAPE &shape);

#endif
