// Pages the processor may run: filled while writable, then made read-only
// and executable, never both at once.
#ifndef VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H
#define VOXEVAL_PLATFORM_EXECUTABLE_MEMORY_H

#include <cstddef>

// Copies size bytes of machine code into pages of their own and makes them
// executable. Null when the system refuses (no memory, or a policy against
// executable mappings); the caller then does without.
void *MapMachineCode(const void *code, std::size_t size);

// Releases what MapMachineCode returned for the same size; null is ignored.
void UnmapMachineCode(void *pages, std::size_t size);

#endif
