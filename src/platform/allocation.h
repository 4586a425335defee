// The one door through which the library takes malloc blocks (records, their
// names, the compiled image), so that a test build can make it fail.
#ifndef VOXEVAL_PLATFORM_ALLOCATION_H
#define VOXEVAL_PLATFORM_ALLOCATION_H

#include <cstddef>

// malloc: a block of size bytes that free releases, or null.
void *AllocateBlock(std::size_t size);

// calloc: a zero-filled block of count elements of size bytes, or null.
void *AllocateZeroedBlock(std::size_t count, std::size_t size);

#if defined(VOXEVAL_FAILURE_INJECTION)
// Defined by the test that builds the library with failure injection: true
// when the allocation being made now is to fail.
bool InjectedAllocationFailure();
#endif

#endif
