// Memory for machine code, seen twice: written through one view and run
// through the other, so that no page is ever writable and executable at
// once, and code can be added without changing any page's protection.
#ifndef VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H
#define VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H

#include <cstddef>
#include <cstdint>

struct CODE_PAGES {
  void *writable;
  void *executable;
  std::size_t size;
};

// size bytes (a multiple of the page size) seen both ways, the executable
// view at the given address where the system allows, elsewhere otherwise.
// False when the system refuses (no memory, or a policy against executable
// memory); the caller then does without.
bool AllocateCodePages(std::size_t size, const void *near, CODE_PAGES &pages);

// Releases both views.
void ReleaseCodePages(const CODE_PAGES &pages);

// Pages mapped for code stay shared with a child after fork, so only the
// process that mapped them may add code to them. A fork witness tells,
// without a system call, whether the process has forked since it was
// written: a page that a child sees as zeros. Null where the system has
// no such pages; the process id then tells, at the cost of a call.
void *OpenForkWitness();
void CloseForkWitness(void *witness);
std::uint64_t CurrentProcess();

#endif
