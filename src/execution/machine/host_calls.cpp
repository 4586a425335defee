#include "execution/machine/host_calls.h"
#include "execution/machine/machine_program.h"

#include <exception>
#include <new>

namespace {

// What CallHost leaves in the code's slot when the callback throws and no
// memory is left to keep the exception in.
void *const kLostException = reinterpret_cast<void *>(1);

} // namespace

double CallHost(EVAL_CALLBACK callback, std::uintptr_t context, void **thrown) {
  try {
    return callback(context);
  } catch (...) {
    std::exception_ptr *kept =
        new (std::nothrow) std::exception_ptr(std::current_exception());
    *thrown = kept != nullptr ? static_cast<void *>(kept) : kLostException;
    return 0.0;
  }
}

void Rethrow(void *thrown) {
  if (thrown == kLostException)
    throw std::bad_alloc();
  std::exception_ptr *kept = static_cast<std::exception_ptr *>(thrown);
  const std::exception_ptr exception = *kept;
  delete kept;
  std::rethrow_exception(exception);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(_M_X64))
bool ProcessorRunsVex() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx");
}
#else
bool ProcessorRunsVex() { return false; }
#endif

// Squares are proven only where the C library's pow is known well enough
// (glibc's); elsewhere the plain forms serve as they always have.
MACHINE_FEATURES DetectedMachineFeatures() {
  static const MACHINE_FEATURES detected = [] {
    MACHINE_FEATURES features;
#if defined(__GLIBC__)
    features.vex = ProcessorRunsVex();
#endif
    return features;
  }();
  return detected;
}
