// Pages the processor may run: filled while writable, then made read-only
// and executable, never both at once.
#ifndef VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H
#define VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H

#include <cstddef>

// Writable pages for size bytes of machine code, placed at the given
// address where the system allows, elsewhere otherwise. Null when the
// system refuses.
void *AllocateCodePages(std::size_t size, const void *near);

// Makes the pages read-only and executable. False when the system refuses
// (a policy against executable mappings); the caller then does without and
// releases them.
bool SealCodePages(void *pages, std::size_t size);

// Releases what AllocateCodePages returned for the same size; null is
// ignored.
void UnmapMachineCode(void *pages, std::size_t size);

#endif
