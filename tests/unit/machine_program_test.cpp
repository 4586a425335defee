// The machine code on its own: when it hands evaluation back, where it finds
// variables, squares at the edges of their proof, deep nesting across
// calls, callbacks that throw, and the plans it leaves alone. Its values are
// held to the record evaluator's bit for bit.
#include "builder/expression_builder.h"
#include "evaluation/evaluator.h"
#include "execution/machine/machine_program.h"
#include "facade/expression.h"
#include "record_trees.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <typeinfo>

namespace {

#if defined(VOXEVAL_MACHINE_CODE)
const bool kMachineCode = true;
#else
const bool kMachineCode = false;
#endif
// Callbacks run as machine code wherever it runs.
const bool kCallbacksInCode = kMachineCode;

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t Bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// Machine code over a tree, with a fallback that counts its calls and
// evaluates the records as they are.
struct Compiled {
  explicit Compiled(const STOKEN &records) : root(&records), machine(&Count) {
    CVisitPlan plan;
    EXPECT_TRUE(plan.Read(records));
    machine.Build(plan, arena, DetectedMachineFeatures());
  }
  static std::pair<bool, double> Count(const void *owner,
                                       std::uintptr_t context) {
    const Compiled *self = static_cast<const Compiled *>(owner);
    ++self->fallbacks;
    return std::make_pair(true, EvaluateSToken(self->root, context));
  }
  double Run(std::uintptr_t context = 0) const {
    return machine.Run(this, context).second;
  }
  const STOKEN *root;
  mutable int fallbacks = 0;
  CCodeArena arena;
  CMachineProgram machine;
};

// A parser's builder, and the records of texts compiled with it.
class Texts {
public:
  Texts() : m_builder(new CExpressionBuilder) {}
  CExpressionBuilder &Builder() { return *m_builder; }

  std::unique_ptr<Tree> Compile(const std::string &text) {
    std::unique_ptr<Tree> tree = CompileText(m_builder, text);
    EXPECT_TRUE(tree != nullptr) << text;
    return tree;
  }

private:
  boost::shared_ptr<CExpressionBuilder> m_builder;
};

} // namespace

// Values that only divisors, exponents, function arguments and the result
// test send the evaluation back; finite ones never do. A base that a later
// power can make finite is tested too: in (x+x)^2^y+1 at x = 1e308, y = -1,
// x+x reads as 0 and 0^-1 is not finite, so the group gives 0, not 1.
TEST(MachineProgram, HandsBackOnlyWhenATestedValueIsNotFinite) {
  struct Case {
    const char *text;
    double x;
    int fallbacks;
  };
  const Case cases[] = {
      {"1/x", 2.0, 0},         {"1/x", kInf, 1},      {"1/x", 0.0, 1},
      {"x+1", kInf, 1},        {"x*0+1", kInf, 1},    {"x*0+1", kNaN, 1},
      {"2^x", kNaN, 1},        {"(x+1)^2", kInf, 1},  {"exp(x)", -kInf, 1},
      {"x-x", 1e308, 0},       {"x*x*x", 1e200, 1},   {"(1/x)*0", 0.0, 1},
      {"2*x+sin(x)", 0.5, 0},  {"x^0", kNaN, 1},      {"x^2+1", -0.0, 0},
      {"x^2^y+1", kInf, 1},    {"x^2^y+1", -kInf, 1}, {"(x+x)^2^y+1", 1e308, 1},
      {"(x+x)^0+1", 1e308, 1},
  };
  Texts texts;
  texts.Builder().SetValue(u"y", -1.0);
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " at x = " + std::to_string(c.x));
    std::unique_ptr<Tree> tree = texts.Compile(c.text);
    const Compiled compiled(tree->root);
    EXPECT_EQ(compiled.machine.Ready(), kMachineCode);
    texts.Builder().SetValue(u"x", c.x);
    EXPECT_EQ(Bits(compiled.Run()), Bits(tree->Value()));
    EXPECT_EQ(compiled.fallbacks, kMachineCode ? c.fallbacks : 1);
  }
}

// Variables on the heap, on the stack and in static storage (usually more
// than 2 GiB apart, out of reach of a displacement from the first) alike.
TEST(MachineProgram, ReadsVariablesWhereverTheyAre) {
  static double kept = 0.0;
  double local = 0.0;
  std::unique_ptr<double> owned(new double(0.0));
  Tree tree(Group({Var(owned.get()), Plus, Var(&local), Mul, Var(&kept), Div,
                   Group({Var(&local), Minus, Var(owned.get())})}));
  const Compiled compiled(tree.root);
  EXPECT_EQ(compiled.machine.Ready(), kMachineCode);
  const double values[][3] = {
      {1.5, -2.0, 0.25}, {3.0, 7.0, -1e10}, {0.0, 0.0, 1.0}, {2.0, 2.0, 5.0}};
  for (const auto &v : values) {
    *owned = v[0];
    local = v[1];
    kept = v[2];
    EXPECT_EQ(Bits(compiled.Run()), Bits(tree.Value()));
  }
}

// Every variable is tested at entry, however many the formula reads: those
// held in registers (tested two to a register), and those left over (read
// in pairs by halves); nothing tests them again before a power. Each in
// turn infinite, under a power that makes it finite again: 0.5^v gives 0
// at v = inf and 2^v at v = -inf, where the records read v as 0 and give 1.
TEST(MachineProgram, TestsEveryVariableAtEntryHoweverMany) {
  Texts texts;
  const int kMost = 24;
  const auto name = [](int i) { return std::string(1, 'a' + i) + "v"; };
  for (int i = 0; i < kMost; ++i) {
    const std::string n = name(i);
    ASSERT_TRUE(
        texts.Builder().AddVariable(std::u16string(n.begin(), n.end())));
  }
  for (const double special : {kInf, -kInf}) {
    const char *base = special > 0 ? "0.5^" : "2^";
    std::string text;
    for (int n = 1; n <= kMost; ++n) {
      text += (n > 1 ? "+" : "") + std::string(base) + name(n - 1);
      std::unique_ptr<Tree> tree = texts.Compile(text);
      const Compiled compiled(tree->root);
      for (int k = 0; k < n; ++k) {
        for (int i = 0; i < n; ++i) {
          const std::string v = name(i);
          texts.Builder().SetValue(std::u16string(v.begin(), v.end()),
                                   i == k ? special : 1.0);
        }
        EXPECT_EQ(Bits(compiled.Run()), Bits(tree->Value()))
            << text << " with " << name(k) << " = " << special;
      }
    }
  }
}

// Nesting deeper than the registers, with calls at every level: the running
// values kept in registers and in the frame survive each call.
TEST(MachineProgram, KeepsRunningValuesAcrossCallsAtAnyDepth) {
  Texts texts;
  for (const int depth : {3, 11, 12, 13, 40}) {
    std::string text = "x";
    for (int i = 0; i < depth; ++i) {
      const char *forms[] = {"(0.5+sin(", "(x-cos(", "(2^(", "(x*exp("};
      text = forms[i % 4] + text + ")" + (i % 3 ? "^2" : "/y") + ")";
    }
    SCOPED_TRACE(depth);
    std::unique_ptr<Tree> tree = texts.Compile(text);
    const Compiled compiled(tree->root);
    EXPECT_EQ(compiled.machine.Ready(), kMachineCode);
    for (const double x : {0.3, -1.7, 2.5}) {
      texts.Builder().SetValue(u"x", x);
      texts.Builder().SetValue(u"y", x + 3.0);
      EXPECT_EQ(Bits(compiled.Run()), Bits(tree->Value()));
    }
  }
}

// Without any function, a square left to pow is the only call: deeper than
// the registers, the code must still keep what the fallback needs.
TEST(MachineProgram, KeepsTheFallbackAcrossASquareLeftToPow) {
  Texts texts;
  for (const int depth : {3, 12, 14, 40}) {
    std::string text = "x^2";
    for (int i = 0; i < depth; ++i)
      text = "1+(" + text + ")";
    SCOPED_TRACE(depth);
    std::unique_ptr<Tree> tree = texts.Compile(text);
    const Compiled compiled(tree->root);
    // 2^600: the square overflows in pow, and the fallback runs after it.
    for (const double x : {kNaN, 0x1p-600, 3.0, 0x1p600}) {
      texts.Builder().SetValue(u"x", x);
      EXPECT_EQ(Bits(compiled.Run()), Bits(tree->Value()));
    }
  }
}

namespace {

int g_calls = 0;
bool g_throw = false;

struct Thrown {};

double MaybeThrows(std::uintptr_t context) {
  ++g_calls;
  if (g_throw)
    throw Thrown();
  return static_cast<double>(context) / 4;
}

} // namespace

// A callback's throw reaches the caller, after the calls the evaluator
// would have made before it, and the code runs on afterwards.
TEST(MachineProgram, PassesACallbacksThrowOnAndRunsOn) {
  Texts texts;
  ASSERT_TRUE(texts.Builder().AddFunction(u"f", MaybeThrows));
  texts.Builder().SetValue(u"x", 1.25);
  for (const char *text : {"f", "1+sin(2*(f+x))", "x*f-f/x", "exp(f)^2"}) {
    SCOPED_TRACE(text);
    std::unique_ptr<Tree> tree = texts.Compile(text);
    const Compiled compiled(tree->root);
    EXPECT_EQ(compiled.machine.Ready(), kCallbacksInCode);
    g_calls = 0;
    const double expected = tree->Value(6);
    const int calls = g_calls;
    g_calls = 0;
    EXPECT_EQ(Bits(compiled.Run(6)), Bits(expected));
    EXPECT_EQ(g_calls, calls);
    EXPECT_EQ(compiled.fallbacks, kCallbacksInCode ? 0 : 1);
    g_throw = true;
    g_calls = 0;
    EXPECT_THROW(compiled.Run(6), Thrown);
    EXPECT_EQ(g_calls, 1);
    g_throw = false;
    EXPECT_EQ(Bits(compiled.Run(6)), Bits(expected));
  }
}

namespace {

// A callback may change any vector register (the caller keeps none): this
// one clears those the code's finiteness tests use.
double SpoilsRegisters(std::uintptr_t) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(_M_X64))
  __asm__ volatile("xorpd %%xmm1, %%xmm1\n\txorpd %%xmm13, %%xmm13\n\t"
                   "xorpd %%xmm14, %%xmm14\n\txorpd %%xmm15, %%xmm15" ::
                       : "xmm1", "xmm13", "xmm14", "xmm15");
#endif
  return 1.0;
}

} // namespace

// Code that calls callbacks tests every value on the spot, as the evaluator
// does, also after a call: the largest double is finite, infinity and NaN
// are not.
TEST(MachineProgram, ExactCodeTestsValuesAtTheEdgeOfFinite) {
  Texts texts;
  ASSERT_TRUE(texts.Builder().AddFunction(u"f", SpoilsRegisters));
  std::unique_ptr<Tree> tree = texts.Compile("f*0+x");
  const Compiled compiled(tree->root);
  EXPECT_EQ(compiled.machine.Ready(), kCallbacksInCode);
  for (const double x : {DBL_MAX, -DBL_MAX, kInf, kNaN}) {
    SCOPED_TRACE(x);
    texts.Builder().SetValue(u"x", x);
    EXPECT_EQ(Bits(compiled.Run(4)), Bits(tree->Value(4)));
  }
}

// Callbacks in nested function arguments double the code at each level;
// past its budget the plan is left to the fallback, which still evaluates.
TEST(MachineProgram, LeavesDoubledCallbacksPastItsBudgetToTheFallback) {
  Texts texts;
  ASSERT_TRUE(texts.Builder().AddFunction(u"f", MaybeThrows));
  for (const int depth : {4, 18}) {
    std::string text = "f";
    for (int i = 0; i < depth; ++i)
      text = "sin(" + text + ")";
    std::unique_ptr<Tree> tree = texts.Compile(text);
    const Compiled compiled(tree->root);
    EXPECT_EQ(compiled.machine.Ready(), kCallbacksInCode && depth == 4);
    EXPECT_EQ(Bits(compiled.Run(2)), Bits(tree->Value(2)));
  }
}

// Without code, every evaluation is the fallback's.
TEST(MachineProgram, WithoutCodeRunsTheFallback) {
  Tree tree(Group({Num(2), Plus, Num(3)}));
  const Compiled compiled(tree.root);
  const CMachineProgram bare(&Compiled::Count);
  EXPECT_FALSE(bare.Ready());
  EXPECT_EQ(bare.Run(&compiled, 0), std::make_pair(true, 5.0));
  EXPECT_EQ(compiled.fallbacks, 1);
}

// An expression with code takes the host's call in the code itself, from a
// table of its own; when the code hands back, the fallback finds the form
// from the expression; the table's other entries and its type information
// stay its class's.
TEST(MachineProgram, HostCallsLandInTheCode) {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  boost::shared_ptr<IVOXExpression> formula =
      parser->CreateExpression(u"x*t+1");
  ASSERT_TRUE(formula);
#if defined(VOXEVAL_OWN_TABLE)
  const char *table;
  std::memcpy(&table, formula.get(), sizeof table);
  const char *object = reinterpret_cast<const char *>(formula.get());
  EXPECT_TRUE(table > object && table < object + sizeof(CVOXExpression));
  // The type information came with the entries.
  EXPECT_TRUE(typeid(*formula) == typeid(CVOXExpression));
  EXPECT_EQ(dynamic_cast<const void *>(formula.get()), formula.get());
#endif
  for (const double x : {2.0, kInf, kNaN}) {
    parser->SetValue(u"x", x);
    parser->SetValue(u"t", 3.0);
    const double expected = IsFinite(x) ? x * 3.0 + 1.0 : 1.0;
    EXPECT_EQ(formula->Evaluate(0), std::make_pair(true, expected)) << x;
  }
  EXPECT_TRUE(formula->DependsOnSpace());
  EXPECT_TRUE(formula->DependsOnTime());
}
