#include "execution/machine/host_calls.h"
#include "execution/machine/machine_program.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>

#if defined(__GLIBC__)
#include <cxxabi.h>
#endif

#if !defined(_MSC_VER)
namespace {

// What CallHost leaves in the code's slot when the callback throws and no
// memory is left to keep the exception in.
void *const kLostException = reinterpret_cast<void *>(1);

#if defined(__GLIBC__)
// An exception that is not C++'s (a thread's end by pthread_exit or
// cancellation) must never be caught for good: leaving its handler aborts
// the process. Its record is kept in the slot with this bit set (the ABI
// aligns records to 16 bytes).
const std::uintptr_t kForeignBit = 2;

// The exception the runtime counts as being handled on this thread: the
// first word of the C++ ABI's per-thread record.
void *&HandledException() {
  return *reinterpret_cast<void **>(abi::__cxa_get_globals());
}
#endif

} // namespace
#endif

#if defined(_MSC_VER)
// Microsoft's C++ exceptions are the system's own, and the system unwinds
// through the code by the function table the library gives it for every
// code chunk: a callback's exception is left to pass through on its way to
// the host, and nothing is ever kept for Rethrow.
double CallHost(EVAL_CALLBACK callback, std::uintptr_t context, void **) {
  return callback(context);
}

void Rethrow(void *) { std::abort(); }
#else
double CallHost(EVAL_CALLBACK callback, std::uintptr_t context, void **thrown) {
  try {
    return callback(context);
  } catch (...) {
    const std::exception_ptr exception = std::current_exception();
#if defined(__GLIBC__)
    if (!exception) {
      // Taken off the runtime's record so that leaving this handler does
      // not end it; Rethrow resumes it beyond the code's frame, which the
      // unwinder cannot step through.
      void *&handled = HandledException();
      *thrown = static_cast<char *>(handled) + kForeignBit;
      handled = nullptr;
      return 0.0;
    }
#endif
    std::exception_ptr *kept = new (std::nothrow) std::exception_ptr(exception);
    *thrown = kept != nullptr ? static_cast<void *>(kept) : kLostException;
    return 0.0;
  }
}

void Rethrow(void *thrown) {
  if (thrown == kLostException)
    throw std::bad_alloc();
#if defined(__GLIBC__)
  const std::uintptr_t bits = reinterpret_cast<std::uintptr_t>(thrown);
  if ((bits & kForeignBit) != 0) {
    // Handled once more, then rethrown: the runtime resumes the unwind
    // from here, through the host's frames.
    HandledException() = static_cast<char *>(thrown) - kForeignBit;
    throw;
  }
#endif
  std::exception_ptr *kept = static_cast<std::exception_ptr *>(thrown);
  const std::exception_ptr exception = *kept;
  delete kept;
  std::rethrow_exception(exception);
}

#endif

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
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
