// Memory for machine code: a region of code pages (read and execute) with
// read-only data pages right after it, for the code's constants.
// Nothing is ever mapped writable: code and data are written into the
// region's backing memory through its handle, so no page is writable and
// executable at once, none changes its protection, and no writable view
// lies around for a stray write to find.
#ifndef VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H
#define VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H

#include <cstddef>
#include <cstdint>

struct CODE_PAGES {
  // code bytes of code, then data bytes of data at executable + code.
  const void *executable = nullptr;
  std::size_t code = 0;
  std::size_t data = 0;
  // What the memory is written through (a file descriptor or a section),
  // and what tells it from another opened later under the same number.
  std::intptr_t handle = -1;
  std::uint64_t identity[2] = {0, 0};
};

// A region of code bytes of code (a multiple of kCodePageGranule) and data
// bytes of data (a multiple of the page size), wherever the system puts it.
// False when the system refuses (no memory, no more mappings, or a policy
// against executable memory); the caller then does without.
bool AllocateCodePages(std::size_t code, std::size_t data, CODE_PAGES &pages);

// Copies bytes to offset (from the start of the code) in the region. False
// when the system refuses, or when the handle is no longer the region's:
// a host may close descriptors it did not open (before exec, in daemons)
// and open its own files under their numbers; the region's code then
// stays as it is, and the caller takes new memory or does without.
bool WriteCodePages(const CODE_PAGES &pages, std::size_t offset,
                    const void *bytes, std::size_t count);

// Unmaps the region and closes its handle, if the handle is still the
// region's.
void ReleaseCodePages(CODE_PAGES &pages);

// Regions are a multiple of this (the system's allocation granularity).
const std::size_t kCodePageGranule = std::size_t(64) * 1024;

// Pages mapped for code stay shared with a child after fork, so only the
// process that mapped them may add code to them. A fork witness tells,
// without a system call, whether the process has forked since it was
// written: a page that a child sees as zeros. Null where the system has
// no such pages; the process id then tells, at the cost of a call.
void *OpenForkWitness();
void CloseForkWitness(void *witness);
std::uint64_t CurrentProcess();

#if defined(VOXEVAL_FAILURE_INJECTION)
// Defined by the test that builds the library with failure injection: true
// when the system call for code memory being made now is to be refused.
bool InjectedCodeMemoryRefusal();
#endif

#endif
