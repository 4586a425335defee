// What the system's unwinder needs to step through generated code, for a
// region of code (a chunk): debuggers, profilers and crash reporters then
// see the host's frames above a callback or a crash in the code.
//
// Functions are added as they are placed and the table is registered anew
// after each addition: one registration per region, however many functions
// it holds. The unwinder (libgcc) searches its registrations one by one
// under a process-wide lock on every exception the host throws, so their
// number is kept to the number of regions. The lock is the system's,
// taken inside its registration calls at compile time; Evaluate never
// touches the table.
//
// A table is filled and registered on one thread; it may be released on
// another once nothing more is added.
#ifndef VOXEVAL_EXECUTION_MACHINE_UNWIND_TABLE_H
#define VOXEVAL_EXECUTION_MACHINE_UNWIND_TABLE_H

#include "execution/machine/frame_shape.h"

#include <cstdint>
#include <vector>

class CUnwindTable {
public:
  CUnwindTable() = default;
  ~CUnwindTable() { Release(); }
  CUnwindTable(const CUnwindTable &) = delete;
  CUnwindTable &operator=(const CUnwindTable &) = delete;

  // Describes the function at begin, and registers the table with the
  // function in place of the one without it. Throws std::bad_alloc; the
  // table is then as before.
  void Add(const void *begin, const FRAME_SHAPE &shape);

  // Withdraws the registration and frees the descriptions.
  void Release();

private:
  // One self-contained description per function, never moved or changed
  // while registered: the unwinder reads it outside its lock.
  std::vector<std::uint8_t *> m_records;
  // The registered list of the records (null-terminated), or null.
  void **m_registered = nullptr;
};

// The description of one function as the system's unwinder reads it
// (empty where the library registers none). For tests and for reading.
std::vector<std::uint8_t> UnwindRecord(const void *begin,
                                       const FRAME_SHAPE &shape);

#endif
