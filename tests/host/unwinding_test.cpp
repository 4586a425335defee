// Unwinding: a thread that ends inside a callback (pthread_exit, or
// cancelled while it waits there) ends as it would in the host's own code:
// the host's frames are unwound, and the parser serves other threads.
#include "../stack_walk.h"
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

#if defined(VOXEVAL_TEST_STACK_WALK)

namespace {

std::vector<void *> g_trace;

double TraceBack(std::uintptr_t way) {
  g_trace = stack_walk::Walk(way);
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
      SCOPED_TRACE(Printable(texts[i]) + " " + stack_walk::kWays[way]);
      evaluate(expressions[i].get(), way);
      EXPECT_TRUE(stack_walk::Reaches(g_trace,
                                      reinterpret_cast<void *>(&HostEvaluates)))
          << g_trace.size() << " frames";
    }
  }
}

} // namespace

#endif
