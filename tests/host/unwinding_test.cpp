// Unwinding: a thread that ends inside a callback (pthread_exit, or
// cancelled while it waits there) ends as it would in the host's own code:
// the host's frames are unwound, and the parser serves other threads. A
// backtrace taken inside a callback (a debugger's, a profiler's) reaches
// the host's frames.
#include "host_support.h"

#if defined(__GLIBC__)

#include <execinfo.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

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

// --- Backtraces from inside a callback.

std::vector<void *> g_trace;

_Unwind_Reason_Code Collect(_Unwind_Context *context, void *) {
  g_trace.push_back(reinterpret_cast<void *>(_Unwind_GetIP(context)));
  return g_trace.size() < 64 ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// The context word picks the unwinder's own walk or glibc's backtrace().
double TraceBack(std::uintptr_t glibc) {
  g_trace.clear();
  if (glibc == 0) {
    _Unwind_Backtrace(Collect, nullptr);
  } else {
    void *frames[64];
    const int n = backtrace(frames, 64);
    g_trace.assign(frames, frames + (n > 0 ? n : 0));
  }
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

// A frame of the trace is the host's when its return address lies in the
// function whose unwind entry starts at HostEvaluates.
bool TraceReachesHost() {
  for (void *ip : g_trace) {
    if (_Unwind_FindEnclosingFunction(static_cast<char *>(ip) - 1) ==
        reinterpret_cast<void *>(&HostEvaluates))
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
    for (std::uintptr_t glibc = 0; glibc < 2; ++glibc) {
      SCOPED_TRACE(Printable(texts[i]) + (glibc ? " backtrace" : " unwinder"));
      evaluate(expressions[i].get(), glibc);
      EXPECT_TRUE(TraceReachesHost()) << g_trace.size() << " frames";
    }
  }
}

} // namespace

#endif
