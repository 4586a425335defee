// Walking the stack from where it is called, as debuggers, profilers and
// crash reporters do, and telling which function a return address lies in.
// Shared by the unit and host tests of unwinding.
#ifndef VOXEVAL_TESTS_STACK_WALK_H
#define VOXEVAL_TESTS_STACK_WALK_H

// (The C library's own header tells whether it is glibc.)
#include <cstddef>

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
#include <execinfo.h>
#include <unwind.h>
#define VOXEVAL_TEST_STACK_WALK 1
#elif defined(_WIN32) && defined(__x86_64__)
#include <windows.h>
#define VOXEVAL_TEST_STACK_WALK 1
#endif

#if defined(VOXEVAL_TEST_STACK_WALK)

#include <vector>

namespace stack_walk {

const std::size_t kDepth = 64;

#if defined(__GLIBC__)
// The unwinder's own walk, or glibc's backtrace().
const char *const kWays[] = {"_Unwind_Backtrace", "backtrace"};

inline _Unwind_Reason_Code Collect(_Unwind_Context *context, void *out) {
  std::vector<void *> &trace = *static_cast<std::vector<void *> *>(out);
  trace.push_back(reinterpret_cast<void *>(_Unwind_GetIP(context)));
  return trace.size() < kDepth ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// The return addresses above the caller, walked the given way.
inline std::vector<void *> Walk(std::size_t way) {
  std::vector<void *> trace;
  if (way == 0) {
    _Unwind_Backtrace(Collect, &trace);
  } else {
    void *frames[kDepth];
    const int n = backtrace(frames, static_cast<int>(kDepth));
    trace.assign(frames, frames + (n > 0 ? n : 0));
  }
  return trace;
}

// The start of the function a return address lies in.
inline const void *FunctionOf(void *ip) {
  return _Unwind_FindEnclosingFunction(static_cast<char *>(ip) - 1);
}
#else
const char *const kWays[] = {"RtlCaptureStackBackTrace", "RtlVirtualUnwind"};

inline std::vector<void *> Walk(std::size_t way) {
  std::vector<void *> trace;
  if (way == 0) {
    void *frames[kDepth];
    const USHORT n = RtlCaptureStackBackTrace(0, kDepth, frames, nullptr);
    trace.assign(frames, frames + n);
    return trace;
  }
  CONTEXT context;
  RtlCaptureContext(&context);
  while (context.Rip != 0 && trace.size() < kDepth) {
    trace.push_back(reinterpret_cast<void *>(context.Rip));
    DWORD64 base = 0;
    const PRUNTIME_FUNCTION entry =
        RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (entry == nullptr) {
      // A function without a frame: the return address is on top.
      context.Rip = *reinterpret_cast<DWORD64 *>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void *data = nullptr;
    DWORD64 frame = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, entry, &context,
                     &data, &frame, nullptr);
  }
  return trace;
}

inline const void *FunctionOf(void *ip) {
  DWORD64 base = 0;
  const PRUNTIME_FUNCTION entry =
      RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(ip) - 1, &base, nullptr);
  return entry != nullptr
             ? reinterpret_cast<const void *>(base + entry->BeginAddress)
             : nullptr;
}
#endif

// Some frame of the trace is the function's.
inline bool Reaches(const std::vector<void *> &trace, const void *function) {
  for (void *ip : trace) {
    if (FunctionOf(ip) == function)
      return true;
  }
  return false;
}

} // namespace stack_walk

#endif

#endif
