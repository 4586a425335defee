// Threads: parsers owned by different threads share nothing, and handles to
// one parser and its expressions may be copied and released on any thread.
// Meant to run under ThreadSanitizer (the tsan preset), which reports any
// data race; the checks below also hold without it.
#include "host_support.h"

#include <boost/weak_ptr.hpp>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

double TwiceTheContext(std::uintptr_t context) { return 2.0 * double(context); }

const int kThreads = 4;

// Each thread compiles, changes names and values, and evaluates on its own
// parser while the others do the same.
TEST(Threads, EachThreadOwnsAParser) {
  std::atomic<int> wrong(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      ParserHandle parser = CreateExpressionParser();
      for (int i = 0; i < 300; ++i) {
        if (i % 100 == 0) {
          parser->Clear();
          parser->LoadDefaults();
          parser->AddVariable(u"k");
          parser->AddFunction(u"cb", TwiceTheContext);
        }
        parser->SetValue(u"k", double(i));
        parser->SetValue(u"x", double(t));
        ExpressionHandle e = parser->CreateExpression(u"k*2+x+sin(0*cb)");
        const std::pair<bool, double> r =
            e ? e->Evaluate(std::uintptr_t(t)) : std::make_pair(false, 0.0);
        if (r != std::make_pair(true, 2.0 * i + t) ||
            parser->GetCount() != FreshCount() + 4 || e->DependsOnTime())
          ++wrong;
      }
    });
  }
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(0, wrong.load());
}

// The host serialises its calls on one parser and its expressions (here
// with one mutex); only the handles' counts are touched without it. The
// host's own handles go first, so that the last release, and with it the
// parser's destruction, happens on whichever worker ends last.
TEST(Threads, HandlesToOneParserCopiedAndReleasedOnManyThreads) {
  std::mutex host;
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddVariable(u"k"));
  ASSERT_TRUE(parser->AddFunction(u"cb", TwiceTheContext));
  std::vector<ExpressionHandle> expressions = {
      parser->CreateExpression(u"k+1"), parser->CreateExpression(u"cb*x"),
      parser->CreateExpression(u"sin(k)^2+cos(k)^2")};
  boost::weak_ptr<IVOXExpressionParser> watch = parser;

  std::atomic<int> started(0);
  std::atomic<int> wrong(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, parser, expressions, &host, &started, &wrong] {
      ++started;
      std::vector<ExpressionHandle> mine = expressions;
      ParserHandle own = parser;
      for (int i = 0; i < 500; ++i) {
        ExpressionHandle copy = mine[std::size_t(i) % mine.size()];
        ParserHandle again = own;
        boost::weak_ptr<IVOXExpressionParser> weak = again;
        if (i % 50 == 0) {
          std::lock_guard<std::mutex> lock(host);
          again->SetValue(u"x", 1.0);
          ExpressionHandle made = again->CreateExpression(u"k*0+x");
          if (!made || made->Evaluate(0) != std::make_pair(true, 1.0))
            ++wrong;
          const double first = copy->Evaluate(std::uintptr_t(t)).second;
          if (copy->Evaluate(std::uintptr_t(t)).second != first)
            ++wrong;
        }
        if (!weak.lock())
          ++wrong;
      }
      mine.clear();
      own.reset();
    });
  }
  while (started.load() < kThreads)
    std::this_thread::yield();
  parser.reset();
  expressions.clear();
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_TRUE(watch.expired());
}

} // namespace
