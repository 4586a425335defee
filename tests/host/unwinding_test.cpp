// Unwinding: a thread that ends inside a callback (pthread_exit, or
// cancelled while it waits there) ends as it would in the host's own code:
// the host's frames are unwound, and the parser serves other threads.
#include "host_support.h"

#include <vector>

#if defined(__GLIBC__)

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

namespace {

int g_exitValue;
std::atomic<bool> g_inside(false);
std::atomic<int> g_unwound(0);

double EndThread(std::uintptr_t) { pthread_exit(&g_exitValue); }

double WaitForCancel(std::uintptr_t) {
  g_inside = true;
  for (;;)
    pause();
}

double Two(std::uintptr_t) { return 2.0; }

// A host frame above Evaluate; its destructor tells that it was unwound.
struct HostFrame {
  ~HostFrame() { ++g_unwound; }
};

void *EvaluateOnce(void *expression) {
  HostFrame frame;
  static_cast<IVOXExpression *>(expression)->Evaluate(0);
  return nullptr;
}

// Runs in a child process, so that an abort is a failed exit code rather
// than the end of the test runner. 0 when all held.
int EndInsideCallback(EVAL_CALLBACK callback, bool cancel, void *expected) {
  ParserHandle parser = CreateExpressionParser();
  if (!parser->AddFunction(u"cb", callback))
    return 10;
  ExpressionHandle expression = parser->CreateExpression(u"2*x+cb");
  if (!expression)
    return 11;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, EvaluateOnce, expression.get()) != 0)
    return 12;
  if (cancel) {
    while (!g_inside)
      usleep(1000);
    pthread_cancel(thread);
  }
  void *result = nullptr;
  pthread_join(thread, &result);
  if (result != expected)
    return 13;
  if (g_unwound != 1)
    return 14;
  // The parser goes on serving this thread.
  if (!parser->AddFunction(u"cb", Two) || !parser->SetValue(u"x", 3.0) ||
      ValueOf(parser, u"2*x+cb") != 8.0)
    return 15;
  return 0;
}

TEST(Unwinding, ThreadEndingInsideACallbackEndsAlone) {
  const struct {
    const char *name;
    EVAL_CALLBACK callback;
    bool cancel;
    void *expected;
  } cases[] = {
      {"pthread_exit", EndThread, false, &g_exitValue},
      {"pthread_cancel", WaitForCancel, true, PTHREAD_CANCELED},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0)
      _exit(EndInsideCallback(c.callback, c.cancel, c.expected));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
  }
}

} // namespace

#endif

// --- Backtraces from inside a callback (a debugger's, a profiler's) reach
// the host's frames: the system's unwinder steps through the formula's code.

#if defined(__GLIBC__)
#include <execinfo.h>
#include <unwind.h>
#define VOXEVAL_TEST_BACKTRACE 1
#elif defined(_WIN32) && defined(__x86_64__)
#include <windows.h>
#define VOXEVAL_TEST_BACKTRACE 1
#endif

#if defined(VOXEVAL_TEST_BACKTRACE)

namespace {

std::vector<void *> g_trace;

#if defined(__GLIBC__)
_Unwind_Reason_Code Collect(_Unwind_Context *context, void *) {
  g_trace.push_back(reinterpret_cast<void *>(_Unwind_GetIP(context)));
  return g_trace.size() < 64 ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// The unwinder's own walk, or glibc's backtrace().
const char *const kWalks[] = {"_Unwind_Backtrace", "backtrace"};

void Walk(std::uintptr_t way) {
  if (way == 0) {
    _Unwind_Backtrace(Collect, nullptr);
  } else {
    void *frames[64];
    const int n = backtrace(frames, 64);
    g_trace.assign(frames, frames + (n > 0 ? n : 0));
  }
}

// The start of the function a return address lies in.
const void *FunctionOf(void *ip) {
  return _Unwind_FindEnclosingFunction(static_cast<char *>(ip) - 1);
}
#else
const char *const kWalks[] = {"RtlCaptureStackBackTrace", "RtlVirtualUnwind"};

void Walk(std::uintptr_t way) {
  if (way == 0) {
    void *frames[64];
    const USHORT n = RtlCaptureStackBackTrace(0, 64, frames, nullptr);
    g_trace.assign(frames, frames + n);
    return;
  }
  CONTEXT context;
  RtlCaptureContext(&context);
  while (context.Rip != 0 && g_trace.size() < 64) {
    g_trace.push_back(reinterpret_cast<void *>(context.Rip));
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
}

const void *FunctionOf(void *ip) {
  DWORD64 base = 0;
  const PRUNTIME_FUNCTION entry =
      RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(ip) - 1, &base, nullptr);
  return entry != nullptr
             ? reinterpret_cast<const void *>(base + entry->BeginAddress)
             : nullptr;
}
#endif

double TraceBack(std::uintptr_t way) {
  g_trace.clear();
  Walk(way);
  return 1.0;
}

volatile double g_result;

// The host's frame that the trace must reach: no tail call, so that it
// stays on the stack.
__attribute__((noinline)) void HostEvaluates(IVOXExpression *expression,
                                             std::uintptr_t context) {
  g_result = expression->Evaluate(context).second;
  g_result = g_result + 1.0;
}

bool TraceReachesHost() {
  for (void *ip : g_trace) {
    if (FunctionOf(ip) == reinterpret_cast<void *>(&HostEvaluates))
      return true;
  }
  return false;
}

TEST(Unwinding, BacktraceFromACallbackReachesTheHost) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddFunction(u"trace", TraceBack));
  ASSERT_TRUE(parser->SetValue(u"x", 0.5));
  // Frames with and without slots for running values, several functions
  // in one region of code.
  const char16_t *const texts[] = {
      u"2*x+trace",
      u"sin(x)+trace*3",
      u"1+(2+(3+(4+(5+(6+(7+(8+(9+(10+(11+(12+(13+x*trace))))))))))))",
  };
  std::vector<ExpressionHandle> expressions;
  for (const char16_t *text : texts) {
    expressions.push_back(parser->CreateExpression(text));
    ASSERT_TRUE(expressions.back()) << Printable(text);
  }
  void (*volatile evaluate)(IVOXExpression *, std::uintptr_t) = HostEvaluates;
  for (std::size_t i = 0; i < expressions.size(); ++i) {
    for (std::uintptr_t way = 0; way < 2; ++way) {
      SCOPED_TRACE(Printable(texts[i]) + " " + kWalks[way]);
      evaluate(expressions[i].get(), way);
      EXPECT_TRUE(TraceReachesHost()) << g_trace.size() << " frames";
    }
  }
}

} // namespace

#endif
