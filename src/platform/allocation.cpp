#include "platform/allocation.h"

#include <cstdlib>

namespace {

// Only a test build asks whether to fail; a library a host loads never does.
bool FailNow() {
#if defined(VOXEVAL_FAILURE_INJECTION)
  return InjectedAllocationFailure();
#else
  return false;
#endif
}

} // namespace

void *AllocateBlock(std::size_t size) {
  return FailNow() ? nullptr : std::malloc(size);
}

void *AllocateZeroedBlock(std::size_t count, std::size_t size) {
  return FailNow() ? nullptr : std::calloc(count, size);
}
