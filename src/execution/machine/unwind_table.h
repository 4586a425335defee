// What the system's unwinder needs to step through generated code, for a
// region of code (a chunk): debuggers, profilers and crash reporters then
// see the host's frames above a callback or a crash in the code.
//
// Functions are added as they are placed, one registration per region
// however many functions it holds: libgcc searches its registrations one
// by one under a process-wide lock on every exception the host throws, so
// their number is kept to the number of regions. There the grown list is
// registered anew after each addition; Windows grows its table in place.
// The locks are the system's, taken inside its registration calls at
// compile time; Evaluate never touches the table.
//
// A table is filled and registered on one thread; it may be released on
// another once nothing more is added.
#ifndef VOXEVAL_EXECUTION_MACHINE_UNWIND_TABLE_H
#define VOXEVAL_EXECUTION_MACHINE_UNWIND_TABLE_H

#include "execution/machine/frame_shape.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CUnwindTable {
public:
  CUnwindTable() = default;
  ~CUnwindTable() { Release(); }
  CUnwindTable(const CUnwindTable &) = delete;
  CUnwindTable &operator=(const CUnwindTable &) = delete;

  // The region of code the table describes, once, before any Add.
  void Cover(const void *base, std::size_t size);

  // Describes the function at begin, and registers the table with the
  // function in place of the one without it. Throws std::bad_alloc; the
  // table is then as before. A function that does not fit in the table
  // goes undescribed (Windows: more than a region can hold).
  void Add(const void *begin, const FRAME_SHAPE &shape);

  // Withdraws the registration and frees the descriptions.
  void Release();

private:
  void AddRecord(const void *begin, const FRAME_SHAPE &shape);

  // One self-contained description per function, never moved or changed
  // while registered: the unwinder reads it outside its lock.
  std::vector<std::uint8_t *> m_records;
  // The registered list of the records (null-terminated), or null.
  void **m_registered = nullptr;
  const void *m_base = nullptr;
  std::size_t m_size = 0;
  // Windows: the function entries, never moved (their capacity is set at
  // the first), and the system's handle of the table.
  std::vector<std::uint32_t> m_entries;
  void *m_table = nullptr;
};

// Appends to the code the unwind data the system wants beside it, if any
// (Windows), and notes where in shape.
void AppendUnwindData(std::vector<std::uint8_t> &code, FRAME_SHAPE &shape);

// The description of one function as the system's unwinder reads it
// (empty where the library registers none). For tests and for reading.
std::vector<std::uint8_t> UnwindRecord(const void *begin,
                                       const FRAME_SHAPE &shape);

#endif
