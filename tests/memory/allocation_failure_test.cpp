// Lack of memory at every allocation a scenario makes: the k-th allocation
// fails (alone, or with every one after it), for every k. Each run completes
// or throws std::bad_alloc, leaks nothing and leaves a parser that gives the
// right results.
#include <VOXEvalExpressions.h>

#include "platform/allocation.h"
#include "platform/executable_memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// While armed, every allocation (operator new and the library's malloc door)
// is counted, and the planned ones fail.
struct FailurePlan {
  bool armed;
  long seen;
  long failAt; // 1-based; 0 never
  bool failAfter;
  long live; // operator new blocks not yet deleted
};

FailurePlan g_plan = {false, 0, 0, false, 0};
// The same for the system calls for code memory, which are refused.
FailurePlan g_refusal = {false, 0, 0, false, 0};

// Counts a call while the plan is armed; true when it is to fail.
bool Planned(FailurePlan &plan) {
  if (!plan.armed)
    return false;
  ++plan.seen;
  if (plan.failAt == 0)
    return false;
  return plan.failAfter ? plan.seen >= plan.failAt : plan.seen == plan.failAt;
}

bool FailNow() { return Planned(g_plan); }

void *Allocate(std::size_t size) {
  if (FailNow())
    return nullptr;
  void *block = std::malloc(size != 0 ? size : 1);
  if (block != nullptr)
    ++g_plan.live;
  return block;
}

void Release(void *block) {
  if (block == nullptr)
    return;
  --g_plan.live;
  std::free(block);
}

} // namespace

bool InjectedAllocationFailure() { return FailNow(); }

bool InjectedCodeMemoryRefusal() { return Planned(g_refusal); }

void *operator new(std::size_t size) {
  if (void *block = Allocate(size))
    return block;
  throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return Allocate(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return Allocate(size);
}
void operator delete(void *block) noexcept { Release(block); }
void operator delete[](void *block) noexcept { Release(block); }
void operator delete(void *block, std::size_t) noexcept { Release(block); }
void operator delete[](void *block, std::size_t) noexcept { Release(block); }

namespace {

// A fresh parser's count, taken before any allocation is made to fail.
const int kFresh = CreateExpressionParser()->GetCount();

typedef boost::shared_ptr<IVOXExpressionParser> ParserHandle;
typedef boost::shared_ptr<IVOXExpression> ExpressionHandle;

// One scenario: state made before arming, the armed action, and the checks
// made afterwards knowing whether the action completed.
struct Scenario {
  std::function<void()> setup;
  std::function<void()> action;
  std::function<void(bool completed)> verify;
  std::function<void()> teardown;
};

// Runs the scenario with allocations numbered from 1; returns whether the
// action completed. Anything but std::bad_alloc is a failure.
bool RunOnce(const Scenario &s, long failAt, bool failAfter) {
  s.setup();
  g_plan.seen = 0;
  g_plan.failAt = failAt;
  g_plan.failAfter = failAfter;
  bool completed = true;
  g_plan.armed = true;
  try {
    s.action();
  } catch (const std::bad_alloc &) {
    completed = false;
  } catch (...) {
    g_plan.armed = false;
    ADD_FAILURE() << "an exception other than std::bad_alloc, failing at "
                  << failAt;
  }
  g_plan.armed = false;
  s.verify(completed);
  s.teardown();
  return completed;
}

// The process's code memory, made once before any count: its records stay
// for the process's life.
void WarmCodeMemory() {
  ParserHandle p = CreateExpressionParser();
  ExpressionHandle e = p->CreateExpression(u"x*2+1");
  ASSERT_TRUE(e);
}

// Counts the scenario's allocations, then fails each in turn; returns the
// count. Every run must leave as many operator new blocks alive as before.
long ExerciseEveryFailure(const char *name, const Scenario &s) {
  WarmCodeMemory();
  const long before = g_plan.live;
  EXPECT_TRUE(RunOnce(s, 0, false));
  const long total = g_plan.seen;
  EXPECT_EQ(before, g_plan.live) << name << ": leak without failure";
  for (int failAfter = 0; failAfter < 2; ++failAfter) {
    for (long k = 1; k <= total; ++k) {
      RunOnce(s, k, failAfter != 0);
      EXPECT_EQ(before, g_plan.live)
          << name << ": leak when allocation " << k << " fails"
          << (failAfter ? " with all after it" : "");
      if (::testing::Test::HasFailure())
        return total;
    }
  }
  std::cout << "[ alloc    ] " << name << ": " << total
            << " allocation points, each failed alone and with all after it"
            << std::endl;
  return total;
}

double Value(const ExpressionHandle &e, std::uintptr_t context = 0) {
  const std::pair<bool, double> r = e->Evaluate(context);
  EXPECT_TRUE(r.first);
  return r.second;
}

double ValueOf(const ParserHandle &p, const std::u16string &text) {
  ExpressionHandle e = p->CreateExpression(text.c_str());
  EXPECT_TRUE(e) << "does not compile";
  return e ? Value(e) : -1.0;
}

double Twice(std::uintptr_t context) { return 2.0 * double(context); }
double Seven(std::uintptr_t) { return 7.0; }

// The standard names all still work: operators, functions, variables,
// constants and the placeholder.
void ExpectStandardNames(const ParserHandle &p) {
  ASSERT_TRUE(p->SetValue(u"x", 1.5));
  ASSERT_TRUE(p->SetValue(u"t", 0.0));
  EXPECT_DOUBLE_EQ(ValueOf(p, u"2*x+sin(t)-cos(t)^2/4"), 2.75);
  EXPECT_DOUBLE_EQ(ValueOf(p, u"exp(log(x))*pi"), 1.5 * 3.1415926);
  EXPECT_TRUE(p->CheckSyntax(u"tan(Re)+gol*{SI}-{Unit}"));
}

const std::u16string kLongName = u"Q" + std::u16string(300, u'q');

TEST(AllocationFailure, CreateExpressionParser) {
  ParserHandle parser;
  Scenario s;
  s.setup = [] {};
  s.action = [&] { parser = CreateExpressionParser(); };
  s.verify = [&](bool completed) {
    if (!completed) {
      EXPECT_FALSE(parser);
      parser = CreateExpressionParser();
    }
    EXPECT_EQ(kFresh, parser->GetCount());
    ExpectStandardNames(parser);
  };
  s.teardown = [&] { parser.reset(); };
  EXPECT_GT(ExerciseEveryFailure("CreateExpressionParser", s), 0);
}

// A text nesting groups and functions around a long host name and a
// callback, so that every stage allocates: tokens, operand copies, the
// image, records and the long names in them.
TEST(AllocationFailure, CreateExpressionOfNestedTextWithLongName) {
  const std::u16string text = u"2*(" + kLongName + u"+sin(x*(3-" + kLongName +
                              u")))^2-cb/(1+(2*(" + kLongName + u")))";
  ParserHandle parser;
  ExpressionHandle made;
  // Context 3: cb gives 6.
  const double expected = 2 * std::pow(0.5 + std::sin(2.0 * 2.5), 2) - 3.0;
  Scenario s;
  s.setup = [&] {
    parser = CreateExpressionParser();
    ASSERT_TRUE(parser->AddVariable(kLongName.c_str()));
    ASSERT_TRUE(parser->AddFunction(u"cb", Twice));
    ASSERT_TRUE(parser->SetValue(kLongName.c_str(), 0.5));
    ASSERT_TRUE(parser->SetValue(u"x", 2.0));
  };
  s.action = [&] { made = parser->CreateExpression(text.c_str()); };
  s.verify = [&](bool completed) {
    EXPECT_EQ(kFresh + 4, parser->GetCount());
    ExpressionHandle again = parser->CreateExpression(text.c_str());
    ASSERT_TRUE(again);
    if (completed) {
      ASSERT_TRUE(made);
      EXPECT_EQ(Value(again, 3), Value(made, 3));
    }
    EXPECT_DOUBLE_EQ(expected, Value(again, 3));
    ExpectStandardNames(parser);
  };
  s.teardown = [&] {
    made.reset();
    parser.reset();
  };
  EXPECT_GT(ExerciseEveryFailure("CreateExpression", s), 0);
}

// A non-ASCII name, added when the registry is full so that it must grow.
TEST(AllocationFailure, AddVariable) {
  const std::u16string name = u"\u03c1" + std::u16string(200, u'\u00e9');
  ParserHandle parser;
  bool added = false;
  Scenario s;
  s.setup = [&] {
    parser = CreateExpressionParser();
    for (char16_t c = u'a'; c < u'a' + 13; ++c)
      ASSERT_TRUE(parser->AddVariable(std::u16string(3, c).c_str()));
  };
  s.action = [&] { added = parser->AddVariable(name.c_str()); };
  s.verify = [&](bool completed) {
    const int before = kFresh + 26;
    if (!completed) {
      // Nothing of the name remains: it can be added afresh.
      EXPECT_EQ(before, parser->GetCount());
      EXPECT_FALSE(parser->SetValue(name.c_str(), 1.0));
      added = parser->AddVariable(name.c_str());
    }
    EXPECT_TRUE(added);
    EXPECT_EQ(before + 2, parser->GetCount());
    ASSERT_TRUE(parser->SetValue(name.c_str(), 4.0));
    ASSERT_TRUE(parser->SetValue(u"aaa", 0.5));
    EXPECT_DOUBLE_EQ(4.5, ValueOf(parser, name + u"+aaa"));
    ExpectStandardNames(parser);
  };
  s.teardown = [&] { parser.reset(); };
  EXPECT_GT(ExerciseEveryFailure("AddVariable", s), 0);
}

// A new name, and an existing variable turned into a callback: a failure
// leaves the old meaning in both tables.
TEST(AllocationFailure, AddFunction) {
  ParserHandle parser;
  bool added = false;
  Scenario s;
  s.setup = [&] { parser = CreateExpressionParser(); };
  s.action = [&] {
    added = parser->AddFunction(kLongName.c_str(), Seven);
    added = added && parser->AddFunction(u"x", Twice);
  };
  s.verify = [&](bool completed) {
    if (!completed) {
      const bool longKnown = parser->GetCount() == kFresh + 2;
      EXPECT_EQ(longKnown ? kFresh + 2 : kFresh, parser->GetCount());
      // "x" is still the variable it was.
      EXPECT_TRUE(parser->SetValue(u"x", 3.0));
      EXPECT_DOUBLE_EQ(3.0, ValueOf(parser, u"x"));
      if (longKnown)
        EXPECT_DOUBLE_EQ(7.0, ValueOf(parser, kLongName));
      else
        EXPECT_FALSE(parser->CreateExpression(kLongName.c_str()));
      added = parser->AddFunction(kLongName.c_str(), Seven) &&
              parser->AddFunction(u"x", Twice);
    }
    EXPECT_TRUE(added);
    EXPECT_EQ(kFresh + 2, parser->GetCount());
    EXPECT_FALSE(parser->SetValue(u"x", 1.0));
    ExpressionHandle e = parser->CreateExpression((kLongName + u"+x").c_str());
    ASSERT_TRUE(e);
    EXPECT_DOUBLE_EQ(7.0 + 10.0, Value(e, 5));
  };
  s.teardown = [&] { parser.reset(); };
  EXPECT_GT(ExerciseEveryFailure("AddFunction", s), 0);
}

// Lack of memory while the standard names come back leaves both tables
// empty, so that LoadDefaults can be called again.
TEST(AllocationFailure, ClearAndLoadDefaults) {
  ParserHandle parser;
  ExpressionHandle before;
  Scenario s;
  s.setup = [&] {
    parser = CreateExpressionParser();
    ASSERT_TRUE(parser->AddVariable(u"a"));
    ASSERT_TRUE(parser->SetValue(u"a", 5.0));
    ASSERT_TRUE(parser->SetValue(u"y", 2.0));
    before = parser->CreateExpression(u"a*y");
    ASSERT_TRUE(before);
  };
  s.action = [&] {
    parser->Clear();
    parser->LoadDefaults();
  };
  s.verify = [&](bool completed) {
    if (!completed) {
      EXPECT_EQ(0, parser->GetCount());
      parser->LoadDefaults();
    }
    EXPECT_EQ(kFresh, parser->GetCount());
    EXPECT_FALSE(parser->SetValue(u"a", 1.0));
    ASSERT_TRUE(parser->SetValue(u"y", 3.0));
    EXPECT_DOUBLE_EQ(15.0, Value(before));
    ExpectStandardNames(parser);
  };
  s.teardown = [&] {
    before.reset();
    parser.reset();
  };
  EXPECT_GT(ExerciseEveryFailure("Clear + LoadDefaults", s), 0);
}

// Evaluation allocates nothing, whatever the expression holds; neither do
// the dependency tests.
TEST(AllocationFailure, EvaluateAllocatesNothing) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddFunction(u"cb", Twice));
  ASSERT_TRUE(parser->AddVariable(kLongName.c_str()));
  ExpressionHandle e = parser->CreateExpression(
      (u"sin(cb*(x+" + kLongName + u"))^2+cos(cb)/3-pi").c_str());
  ASSERT_TRUE(e);
  double value = 0.0;
  bool space = false;
  Scenario s;
  s.setup = [] {};
  s.action = [&] {
    value = e->Evaluate(7).second;
    space = e->DependsOnSpace() && !e->DependsOnTime();
  };
  s.verify = [&](bool completed) {
    EXPECT_TRUE(completed);
    EXPECT_DOUBLE_EQ(std::pow(std::sin(14.0 * 0.0), 2) + std::cos(14.0) / 3 -
                         3.1415926,
                     value);
    EXPECT_TRUE(space);
  };
  s.teardown = [] {};
  EXPECT_EQ(0, ExerciseEveryFailure("Evaluate", s));
}

// SetValue is the host's call at every point: it allocates nothing, for
// any kind of name, found the first time or remembered.
TEST(AllocationFailure, SetValueAllocatesNothing) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddVariable(kLongName.c_str()));
  ASSERT_TRUE(parser->AddFunction(u"cb", Twice));
  char16_t buffer[8] = u"y";
  int accepted = 0;
  Scenario s;
  s.setup = [&] { accepted = 0; };
  s.action = [&] {
    for (int round = 0; round < 2; ++round) {
      for (const char16_t *name : {u"x", u"pi", u"cb", u"sin", u"nosuch"})
        accepted += parser->SetValue(name, 1.0);
      accepted += parser->SetValue(kLongName.c_str(), 2.0);
      buffer[0] = round == 0 ? u'y' : u'z';
      accepted += parser->SetValue(buffer, 3.0);
    }
  };
  s.verify = [&](bool completed) {
    EXPECT_TRUE(completed);
    EXPECT_EQ(8, accepted);
  };
  s.teardown = [] {};
  EXPECT_EQ(0, ExerciseEveryFailure("SetValue", s));
}

// The check copies its text; failing there changes nothing.
TEST(AllocationFailure, CheckSyntaxAndSetValue) {
  const std::u16string text = u"2*(" + kLongName + u"+sin(x))^3";
  ParserHandle parser;
  bool wellFormed = false;
  Scenario s;
  s.setup = [&] {
    parser = CreateExpressionParser();
    ASSERT_TRUE(parser->AddVariable(kLongName.c_str()));
  };
  s.action = [&] {
    wellFormed = parser->CheckSyntax(text.c_str());
    wellFormed = parser->SetValue(kLongName.c_str(), 2.0) && wellFormed;
  };
  s.verify = [&](bool completed) {
    if (completed) {
      EXPECT_TRUE(wellFormed);
    }
    EXPECT_EQ(kFresh + 2, parser->GetCount());
    EXPECT_TRUE(parser->CheckSyntax(text.c_str()));
    ASSERT_TRUE(parser->SetValue(kLongName.c_str(), 2.0));
    EXPECT_DOUBLE_EQ(16.0, ValueOf(parser, text));
  };
  s.teardown = [&] { parser.reset(); };
  EXPECT_GT(ExerciseEveryFailure("CheckSyntax + SetValue", s), 0);
}

// Allocations while compiling a one-name text, with the plan counting.
long AllocationsToCompile(const ParserHandle &p, const std::u16string &text) {
  g_plan.seen = 0;
  g_plan.failAt = 0;
  g_plan.armed = true;
  ExpressionHandle e = p->CreateExpression(text.c_str());
  g_plan.armed = false;
  EXPECT_TRUE(e);
  return g_plan.seen;
}

// A name outside ASCII is found without a copy of each of its prefixes:
// a name ten times as long costs no allocation per unit.
TEST(Names, LongNameOutsideAsciiReadWithoutCopyingPrefixes) {
  ParserHandle p = CreateExpressionParser();
  const std::u16string shortName(100, u'\u03c1');
  const std::u16string longName(1000, u'\u03c1');
  ASSERT_TRUE(p->AddVariable(shortName.c_str()));
  ASSERT_TRUE(p->AddVariable(longName.c_str()));
  const long shortCount = AllocationsToCompile(p, shortName);
  const long longCount = AllocationsToCompile(p, longName);
  EXPECT_LT(longCount - shortCount, 100);
}

// Code memory refused at any system call (the region, its mapping, its
// protection, the writes), alone or with every one after it: each text
// compiles and evaluates right, by the flat program where its code found
// no room, and nothing throws. The long sum needs a region of its own; the
// nested sum keeps twelve running values while it calls.
TEST(CodeMemoryRefused, AtEveryCallExpressionsStillEvaluateRight) {
  std::u16string sum = u"x";
  for (int i = 0; i < 40000; ++i)
    sum += u"+x";
  const std::u16string nested = u"x*y+(x*y+(x*y+(x*y+(x*y+(x*y+(x*y+(x*y+("
                                u"x*y+(x*y+(x*y+(x*y+sin(x))))))))))))";
  const std::u16string texts[] = {u"x*2+1", sum, u"(x-3)^2/y", u"sin(x)*y",
                                  nested};
  const double expected[] = {4.0, 40001 * 1.5, 2.25 / 4.0, std::sin(1.5) * 4,
                             72 + std::sin(1.5)};
  auto run = [&](long refuseAt, bool refuseAfter) {
    ParserHandle p = CreateExpressionParser();
    ASSERT_TRUE(p->SetValue(u"x", 1.5));
    ASSERT_TRUE(p->SetValue(u"y", 4.0));
    g_refusal.seen = 0;
    g_refusal.failAt = refuseAt;
    g_refusal.failAfter = refuseAfter;
    g_refusal.armed = true;
    std::vector<ExpressionHandle> made;
    for (const std::u16string &text : texts)
      made.push_back(p->CreateExpression(text.c_str()));
    g_refusal.armed = false;
    for (std::size_t i = 0; i < made.size(); ++i) {
      ASSERT_TRUE(made[i]) << i;
      EXPECT_DOUBLE_EQ(Value(made[i]), expected[i])
          << "text " << i << ", refusing call " << refuseAt;
    }
  };
  run(0, false);
  const long calls = g_refusal.seen;
#if defined(__x86_64__)
  EXPECT_GE(calls, 6); // a region opened and written, and the others written
#endif
  for (int after = 0; after < 2; ++after) {
    for (long k = 1; k <= calls; ++k)
      run(k, after != 0);
  }
  run(1, true); // none at all
}

} // namespace
