// The evaluator over hand-built record trees, and the record operations.
#include "evaluation/evaluator.h"
#include "evaluation/stoken.h"
#include "record_trees.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Callbacks see the context word; the tests pass a pointer to a probe.
struct Probe {
  int calls = 0;
  double next = 1.0; // value of the next call; each call adds 1
  std::vector<std::uintptr_t> contexts;
};

double Counting(std::uintptr_t context) {
  Probe *probe = reinterpret_cast<Probe *>(context);
  ++probe->calls;
  probe->contexts.push_back(context);
  double v = probe->next;
  probe->next += 1.0;
  return v;
}

std::uintptr_t g_lastContext;
int g_recordCalls;
double Recording(std::uintptr_t context) {
  g_lastContext = context;
  ++g_recordCalls;
  return 2.0;
}

double g_returned;
double Returning(std::uintptr_t) { return g_returned; }

int g_functionCalls;
double CountedDouble(double v) {
  ++g_functionCalls;
  return 2 * v;
}

double Sin(double v) { return std::sin(v); }
double Log(double v) { return std::log(v); }
double Exp(double v) { return std::exp(v); }

std::uintptr_t ProbeWord(Probe &probe) {
  return reinterpret_cast<std::uintptr_t>(&probe);
}

} // namespace

// How an item's value v joins the running value, by the kind of the item
// before it: [6, P, 2] where P is a record of each kind.
TEST(Evaluator, ItemCombinesByTheKindOfTheItemBeforeIt) {
  struct Case {
    TOKEN_TYPE prev;
    double expected;
  };
  const Case cases[] = {
      {TT_NONE, 2.0},
      {TT_INT, 6.0},
      {TT_FLOAT, 6.0},
      {TT_DOUBLE, 6.0},
      {TT_INT_REF, 6.0},
      {TT_FLOAT_REF, 6.0},
      {TT_DOUBLE_REF, 6.0},
      {TT_FUNCTION, 6.0},
      {TT_PLUS, 8.0},
      {TT_MINUS, 4.0},
      {TT_MUL, 12.0},
      {TT_DIV, 3.0},
      {TT_POW, 36.0},
      {TT_GROUP, 6.0},
      {TT_LPAREN, 6.0},
      {TT_RPAREN, 6.0},
      {TT_CALLBACK, 6.0},
      {TT_PLACEHOLDER, 6.0},
      {static_cast<TOKEN_TYPE>(200), 6.0}, // a kind no record has
  };
  Probe probe;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prev);
    STOKEN middle = Rec(c.prev);
    if (c.prev == TT_FUNCTION)
      middle.value.func = Sin;
    if (c.prev == TT_CALLBACK)
      middle.value.callback = Counting;
    Tree tree(Group({Num(6.0), middle, Num(2.0)}));
    EXPECT_EQ(tree.Value(ProbeWord(probe)), c.expected);
  }
}

TEST(Evaluator, GroupsReadStrictlyLeftToRight) {
  double x = 3.0, y = 5.0;
  struct Case {
    const char *shape;
    STOKEN group;
    double expected;
  };
  Case cases[] = {
      {"[2, ^, 10]", Group({Num(2), Pow, Num(10)}), 1024.0},
      {"[7, -, 2, -, 1]", Group({Num(7), Minus, Num(2), Minus, Num(1)}), 4.0},
      {"[2, +, 3, *, 4]", Group({Num(2), Plus, Num(3), Mul, Num(4)}), 20.0},
      {"[8, /, 2, /, 2]", Group({Num(8), Div, Num(2), Div, Num(2)}), 2.0},
      {"[-, x]", Group({Minus, Var(&x)}), -3.0},
      {"[+, x]", Group({Plus, Var(&x)}), 3.0},
      {"[x, y]", Group({Var(&x), Var(&y)}), 3.0},
      {"[x, *, -, y]", Group({Var(&x), Mul, Minus, Var(&y)}), -5.0},
      {"[1, +, [2, *, 3]]", Group({Num(1), Plus, Group({Num(2), Mul, Num(3)})}),
       7.0},
      {"[]", Group({}), 0.0},
      {"[[]]", Group({Group({})}), 0.0},
      {"[+]", Group({Plus}), 0.0},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.shape);
    Tree tree(c.group);
    EXPECT_EQ(tree.Value(), c.expected);
  }
}

TEST(Evaluator, LeavesReadTheirOwnKindOfValue) {
  std::int32_t i = -7;
  float f = 1.5f;
  double d = 2.25;
  struct Case {
    const char *what;
    STOKEN record;
    double expected;
  };
  STOKEN ival = Rec(TT_INT), fval = Rec(TT_FLOAT), iref = Rec(TT_INT_REF),
         fref = Rec(TT_FLOAT_REF), nullIref = Rec(TT_INT_REF),
         nullFref = Rec(TT_FLOAT_REF);
  ival.value.ival = 12;
  fval.value.fval = 0.5f;
  iref.value.iref = &i;
  fref.value.fref = &f;
  STOKEN placeholder = Rec(TT_PLACEHOLDER);
  placeholder.value.ival = 1;
  Case cases[] = {
      {"int", ival, 12.0},
      {"float", fval, 0.5},
      {"double", Num(-3.5), -3.5},
      {"int ref", iref, -7.0},
      {"float ref", fref, 1.5},
      {"double ref", Var(&d), 2.25},
      {"null int ref", nullIref, 0.0},
      {"null float ref", nullFref, 0.0},
      {"null double ref", Var(nullptr), 0.0},
      {"placeholder", placeholder, 0.0},
      {"operator", Rec(TT_POW), 0.0},
      {"none", Rec(TT_NONE), 0.0},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EvaluateSToken(&c.record, 0), c.expected);
  }
  EXPECT_EQ(EvaluateSToken(nullptr, 0), 0.0);
}

TEST(Evaluator, VariablesAreReadAtEveryEvaluation) {
  double x = 2.0;
  Tree tree(Group({Var(&x), Plus, Num(3.0)}));
  EXPECT_EQ(tree.Value(), 5.0);
  x = 4.0;
  EXPECT_EQ(tree.Value(), 7.0);
}

// Only what passes through EvaluateSToken is made finite: leaf reads and
// whole groups. Function and callback results enter the running value raw.
TEST(Evaluator, OnlyRecordValuesAreMadeFinite) {
  double inf = kInf, nan = kNaN, minusInf = -kInf;
  {
    Tree tree(Group({Num(1.0), Div, Num(0.0)}));
    EXPECT_EQ(tree.Value(), 0.0);
    EXPECT_EQ(EvaluateGroup(tree.root, 0), kInf);
  }
  {
    Tree tree(Group({Num(0.0), Div, Num(0.0)}));
    EXPECT_EQ(tree.Value(), 0.0);
  }
  {
    // The inner group is an item: its infinity reads 0.0.
    Tree tree(Group({Group({Num(1.0), Div, Num(0.0)}), Plus, Num(5.0)}));
    EXPECT_EQ(tree.Value(), 5.0);
    EXPECT_EQ(EvaluateGroup(tree.root, 0), 5.0);
  }
  {
    // A function's argument too: exp of 0.0.
    Tree tree(Group({Fn(Exp), Group({Num(1.0), Div, Num(0.0)})}));
    EXPECT_EQ(tree.Value(), 1.0);
  }
  {
    Tree tree(Group(
        {Var(&inf), Plus, Var(&nan), Plus, Var(&minusInf), Plus, Num(4.0)}));
    EXPECT_EQ(tree.Value(), 4.0);
  }
  {
    // A callback's infinity stays one: inf * 0 is NaN, and NaN + 3 stays
    // NaN until the whole group is read through EvaluateSToken.
    g_returned = kInf;
    Tree tree(Group({Cb(Returning), Mul, Num(0.0), Plus, Num(3.0)}));
    EXPECT_TRUE(std::isnan(EvaluateGroup(tree.root, 0)));
    EXPECT_EQ(tree.Value(), 0.0);
    g_returned = kNaN;
    Tree nanTree(Group({Cb(Returning), Plus, Num(1.0)}));
    EXPECT_TRUE(std::isnan(EvaluateGroup(nanTree.root, 0)));
    EXPECT_EQ(nanTree.Value(), 0.0);
  }
  {
    // log(0) is -inf and enters raw too.
    Tree tree(Group({Fn(Log), Num(0.0), Mul, Num(0.0), Plus, Num(3.0)}));
    EXPECT_TRUE(std::isnan(EvaluateGroup(tree.root, 0)));
    EXPECT_EQ(tree.Value(), 0.0);
  }
  {
    // Inside a group that is itself an item, the final value is tested.
    g_returned = kInf;
    Tree tree(Group({Num(2.0), Plus, Group({Cb(Returning), Mul, Num(0.0)})}));
    EXPECT_EQ(tree.Value(), 2.0);
  }
}

TEST(Evaluator, CallbacksReceiveTheContextWordUnchanged) {
  const std::uintptr_t word = static_cast<std::uintptr_t>(0xDEADBEEFCAFEull);
  g_recordCalls = 0;
  g_lastContext = 0;
  Tree tree(Group({Cb(Recording), Plus, Num(1.0)}));
  EXPECT_EQ(tree.Value(word), 3.0);
  EXPECT_EQ(g_lastContext, word);
  EXPECT_EQ(g_recordCalls, 1);
  EXPECT_EQ(tree.Value(~std::uintptr_t(0)), 3.0);
  EXPECT_EQ(g_lastContext, ~std::uintptr_t(0));

  // A pointer handed through the word reaches every callback in the tree.
  Probe probe;
  Tree many(Group({Cb(Counting), Plus, Group({Cb(Counting), Mul, Cb(Counting)}),
                   Minus, Fn(Sin), Group({Cb(Counting)})}));
  many.Value(ProbeWord(probe));
  ASSERT_EQ(probe.calls, 5);
  for (std::uintptr_t context : probe.contexts)
    EXPECT_EQ(context, ProbeWord(probe));
}

// The argument of a function holding a callback is visited twice; the
// function takes the first visit's value.
TEST(Evaluator, CallbackInFunctionArgumentIsCalledTwice) {
  Probe probe;
  Tree tree(Group({Fn(Sin), Group({Cb(Counting)})}));
  EXPECT_EQ(tree.Value(ProbeWord(probe)), std::sin(1.0));
  EXPECT_EQ(probe.calls, 2);
  EXPECT_EQ(tree.Value(ProbeWord(probe)), std::sin(3.0));
  EXPECT_EQ(probe.calls, 4);
}

// [sin, c]: a callback record read as an argument is 0.0 and not called;
// its own visit calls it once and drops the value.
TEST(Evaluator, CallbackDirectlyAfterFunctionIsCalledOnce) {
  Probe probe;
  Tree tree(Group({Fn(Sin), Cb(Counting)}));
  EXPECT_EQ(tree.Value(ProbeWord(probe)), 0.0);
  EXPECT_EQ(probe.calls, 1);
  Tree plusOne(Group({Fn(Exp), Cb(Counting), Plus, Num(1.0)}));
  EXPECT_EQ(plusOne.Value(ProbeWord(probe)), 2.0);
  EXPECT_EQ(probe.calls, 2);
}

TEST(Evaluator, CallbackNotInAnArgumentIsCalledOnce) {
  Probe probe;
  Tree tree(Group({Fn(Sin), Group({Num(2.0)}), Plus, Cb(Counting)}));
  EXPECT_EQ(tree.Value(ProbeWord(probe)), std::sin(2.0) + 1.0);
  EXPECT_EQ(probe.calls, 1);
}

namespace {

// [f, [f, [ ... [f, [leaf]] ... ]]], depth functions deep.
STOKEN NestedFunctions(int depth, EVAL_FUNCTION f, STOKEN leaf) {
  STOKEN inner = Group({leaf});
  for (int i = 0; i < depth; ++i)
    inner = Group({Fn(f), inner});
  return inner;
}

} // namespace

TEST(Evaluator, CallbackInsideNestedArgumentsIsCalledTwoToTheDepthTimes) {
  for (int depth = 1; depth <= 12; ++depth) {
    SCOPED_TRACE(depth);
    Probe probe;
    Tree tree(NestedFunctions(depth, Sin, Cb(Counting)));
    double expected = 1.0; // the first call's value
    for (int i = 0; i < depth; ++i)
      expected = std::sin(expected);
    EXPECT_EQ(tree.Value(ProbeWord(probe)), expected);
    EXPECT_EQ(probe.calls, 1 << depth);
  }
}

// With the argument visited twice regardless, these would take 2^60 and
// 2^200 steps; finishing at all is the test.
TEST(Evaluator, DeeplyNestedFunctionsWithoutCallbacksEvaluateAtOnce) {
  for (int depth : {60, 200}) {
    SCOPED_TRACE(depth);
    double x = 0.7;
    Tree tree(NestedFunctions(depth, Sin, Var(&x)));
    double expected = x;
    for (int i = 0; i < depth; ++i)
      expected = std::sin(expected);
    EXPECT_EQ(tree.Value(), expected);
  }
  // A function counts its own calls: each level is applied once.
  g_functionCalls = 0;
  Tree counted(NestedFunctions(60, CountedDouble, Num(1.0)));
  EXPECT_EQ(counted.Value(), std::ldexp(1.0, 60));
  EXPECT_EQ(g_functionCalls, 60);
  // A callback beside the nesting does not make it double.
  Probe probe;
  Tree beside(Group({Cb(Counting), Plus, NestedFunctions(60, Sin, Num(0.0))}));
  EXPECT_EQ(beside.Value(ProbeWord(probe)), 1.0);
  EXPECT_EQ(probe.calls, 1);
}

TEST(Evaluator, FunctionWithoutArgumentGivesZeroAndIsNotCalled) {
  g_functionCalls = 0;
  {
    Tree tree(Group({Fn(CountedDouble)}));
    EXPECT_EQ(tree.Value(), 0.0);
  }
  {
    Tree tree(Group({Num(2.0), Plus, Fn(CountedDouble)}));
    EXPECT_EQ(tree.Value(), 2.0);
  }
  {
    Tree tree(Group({Num(2.0), Plus, Group({Fn(CountedDouble)})}));
    EXPECT_EQ(tree.Value(), 2.0);
  }
  EXPECT_EQ(g_functionCalls, 0);
  // With an argument it is called, once.
  Tree tree(Group({Fn(CountedDouble), Num(3.0)}));
  EXPECT_EQ(tree.Value(), 6.0);
  EXPECT_EQ(g_functionCalls, 1);
}

TEST(Evaluator, RecordsWithoutTargetGiveZero) {
  struct Case {
    const char *shape;
    STOKEN group;
    double expected;
  };
  Case cases[] = {
      {"[f0, 3]", Group({Fn(nullptr), Num(3.0)}), 0.0},
      {"[2, +, f0, 3]", Group({Num(2.0), Plus, Fn(nullptr), Num(3.0)}), 2.0},
      {"[2, *, f0, [3]]",
       Group({Num(2.0), Mul, Fn(nullptr), Group({Num(3.0)})}), 0.0},
      {"[c0]", Group({Cb(nullptr)}), 0.0},
      {"[2, +, c0]", Group({Num(2.0), Plus, Cb(nullptr)}), 2.0},
      {"[sin, [c0]]", Group({Fn(Sin), Group({Cb(nullptr)})}), 0.0},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.shape);
    Tree tree(c.group);
    EXPECT_EQ(tree.Value(), c.expected);
  }
}

TEST(Evaluator, FunctionOrCallbackAsRootGivesZeroAndCallsNothing) {
  Probe probe;
  STOKEN callback = Cb(Counting);
  EXPECT_EQ(EvaluateSToken(&callback, ProbeWord(probe)), 0.0);
  EXPECT_EQ(probe.calls, 0);
  g_functionCalls = 0;
  STOKEN function = Fn(CountedDouble);
  EXPECT_EQ(EvaluateSToken(&function, 0), 0.0);
  EXPECT_EQ(g_functionCalls, 0);
  EXPECT_EQ(ApplyFunction(function, 4.0), 8.0);
  EXPECT_EQ(ApplyFunction(Num(4.0), 4.0), 0.0);
  // EvaluateGroup refuses what is not a group.
  STOKEN number = Num(4.0);
  EXPECT_EQ(EvaluateGroup(number, 0), 0.0);
}

TEST(Records, AllocSTokensGivesZeroFilledRecords) {
  STOKEN *block = AllocSTokens(4);
  ASSERT_NE(block, nullptr);
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(block);
  for (std::size_t i = 0; i < 4 * sizeof(STOKEN); ++i)
    ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(block[3].type, TT_NONE);
  EXPECT_EQ(block[3].name, nullptr);
  std::free(block);
  EXPECT_EQ(AllocSTokens(0), nullptr);
}

TEST(Records, FreeSTokenReleasesAllLevelsAndLeavesNone) {
  STOKEN tree = Named(
      Group({Named(Num(1.0), "1"), Plus,
             Group({Named(Var(nullptr), "x"), Group({Named(Num(2), "2")})})}),
      "root");
  FreeSToken(tree);
  EXPECT_EQ(tree.type, TT_NONE);
  EXPECT_EQ(tree.name, nullptr);
  EXPECT_EQ(tree.value.group.items, nullptr);
  EXPECT_EQ(tree.value.group.count, 0);
  FreeSToken(tree); // a second release finds nothing to free
}

TEST(Records, CopySTokensIsDeepAndIndependent) {
  double x = 2.0;
  STOKEN source[2] = {
      Named(Group({Named(Var(&x), "x"), Plus,
                   Group({Named(Num(2.5), "2.5"), Mul, Fn(Sin), Group({})})}),
            "root"),
      Named(Cb(Recording), "cb")};
  STOKEN *copy = AllocSTokens(2);
  // Whatever the destination held is released first.
  copy[0] = Group({Named(Num(9.0), "9")});
  CopySTokens(copy, source, 2);

  ASSERT_EQ(copy[0].type, TT_GROUP);
  EXPECT_STREQ(copy[0].name, "root");
  EXPECT_NE(copy[0].name, source[0].name);
  ASSERT_EQ(copy[0].value.group.count, 3);
  EXPECT_NE(copy[0].value.group.items, source[0].value.group.items);
  const STOKEN &inner = copy[0].value.group.items[2];
  ASSERT_EQ(inner.type, TT_GROUP);
  ASSERT_EQ(inner.value.group.count, 4);
  EXPECT_NE(inner.value.group.items,
            source[0].value.group.items[2].value.group.items);
  EXPECT_EQ(inner.value.group.items[3].value.group.count, 0);
  EXPECT_EQ(inner.value.group.items[3].value.group.items, nullptr);
  EXPECT_EQ(copy[1].type, TT_CALLBACK);
  EXPECT_EQ(copy[1].value.callback, Recording);
  EXPECT_STREQ(copy[1].name, "cb");

  const double before = EvaluateSToken(&copy[0], 0);
  // Changing, then releasing the source leaves the copy as it was.
  source[0].value.group.items[0].name[0] = 'q';
  source[0].value.group.items[2].value.group.items[0].value.dval = 100.0;
  FreeSToken(source[0]);
  FreeSToken(source[1]);
  EXPECT_STREQ(copy[0].value.group.items[0].name, "x");
  EXPECT_EQ(inner.value.group.items[0].value.dval, 2.5);
  EXPECT_EQ(EvaluateSToken(&copy[0], 0), before);
  // The targets are shared, not copied: the variable is still read.
  x = 3.0;
  EXPECT_EQ(EvaluateSToken(&copy[0], 0), 3.0);

  FreeSToken(copy[0]);
  FreeSToken(copy[1]);
  std::free(copy);
}
