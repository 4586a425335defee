// Unwinding: a thread that ends inside a callback (pthread_exit, or
// cancelled while it waits there) ends as it would in the host's own code:
// the host's frames are unwound, and the parser serves other threads.
#include "host_support.h"

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
