// The failing build's allocation hook: while the process's environment has
// VOXEVAL_FAIL_ALLOCATIONS, every allocation of the library fails, so that
// a host test can watch std::bad_alloc cross into its own catch.
#include "platform/allocation.h"
#include "platform/executable_memory.h"

#include <windows.h>

bool InjectedAllocationFailure() {
  return GetEnvironmentVariableW(L"VOXEVAL_FAIL_ALLOCATIONS", nullptr, 0) != 0;
}

// Code memory is never refused here: the formulas run as they would in the
// library a host links.
bool InjectedCodeMemoryRefusal() { return false; }
