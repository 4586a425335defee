// Every tier (records, single values, flat program, machine code in both
// vector forms) against the record evaluator, which stays the reference:
// on every tree each must give the same bits and call the same callbacks,
// in the same order, with the same context word. Under the other
// environments hosts set (rounding modes, flushing subnormals), the machine
// code must give the flat program's bits and flags: constant parts are
// computed when compiled, so the records differ there by design.
#include "builder/expression_builder.h"
#include "builder/standard_names.h"
#include "environments.h"
#include "evaluation/evaluator.h"
#include "execution/visit_plan.h"
#include "forced_forms.h"
#include "record_trees.h"
#include "standard_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// What the callbacks saw, in order; the context word is its address. With
// a builder, callback h also sets x to the value it returns, so that a
// variable read out of place shows.
struct CallLog {
  std::vector<std::pair<int, std::uintptr_t>> calls;
  std::size_t next = 0;
  CExpressionBuilder *builder = nullptr;
};

// Each call returns the next of these, so that a call made out of order
// shows in the value as well as in the log.
const double kCallbackValues[] = {1.5,  -2.0,  0.0,  kInf,  3.0, kNaN,
                                  -0.0, 1e308, 0.25, -kInf, 2.0, 7.0};

template <int Id> double Logged(std::uintptr_t context) {
  CallLog *log = reinterpret_cast<CallLog *>(context);
  log->calls.emplace_back(Id, context);
  const std::size_t count = sizeof kCallbackValues / sizeof kCallbackValues[0];
  const double value = kCallbackValues[log->next++ % count];
  if (Id == 2 && log->builder != nullptr)
    log->builder->SetValue(u"x", value);
  return value;
}

double Halve(double v) { return v / 2; }
double Infinite(double) { return kInf; }

std::uint64_t Bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// One evaluation of a tree, with a fresh log, and the flags it raised.
struct Outcome {
  double value;
  CallLog log;
  int flags;
};

Outcome Reference(const STOKEN &root, CExpressionBuilder *builder) {
  Outcome out;
  out.log.builder = builder;
  std::feclearexcept(FE_ALL_EXCEPT);
  out.value = EvaluateSToken(&root, reinterpret_cast<std::uintptr_t>(&out.log));
  out.flags = std::fetestexcept(kStandardFlags);
  return out;
}

// Whether a group of the tree holds an operator whose mode has no steps:
// the plan leaves such a tree to the records, the parser's trees included.
bool UsesModeWithoutSteps(const STOKEN &record) {
  if (record.type != TT_GROUP)
    return false;
  const STOKEN *items = record.value.group.items;
  for (std::int32_t i = 0; i < record.value.group.count; ++i) {
    if ((i > 0 && !HasSteps(ModeAfter(items[i - 1].type))) ||
        UsesModeWithoutSteps(items[i]))
      return true;
  }
  return false;
}

// A tree laid out by every tier this machine runs.
struct Programs {
  explicit Programs(const STOKEN &root) {
    for (const TierCase &tier : TiersOnThisMachine())
      forms.emplace_back(new ForcedForm(root, tier.options));
  }
  // The form of the strongest tier.
  const CCompiledForm &Strongest() const { return forms.back()->form; }
  // The tree was read by the plan: only the records' own tier serves
  // where it was not.
  bool Covered() const { return forms[1]->form.Serving() != Tier::kRecords; }

  std::vector<std::unique_ptr<ForcedForm>> forms;
};

// A single value is read by the expression itself, not through the form.
Outcome Run(const CCompiledForm &form, bool single,
            CExpressionBuilder *builder) {
  Outcome out;
  out.log.builder = builder;
  const std::uintptr_t context = reinterpret_cast<std::uintptr_t>(&out.log);
  std::feclearexcept(FE_ALL_EXCEPT);
  out.value = single ? FiniteOrZero(*form.SingleValue())
                     : form.Evaluate(context).second;
  out.flags = std::fetestexcept(kStandardFlags);
  return out;
}

std::string CompareOne(const Outcome &expected, const Outcome &actual,
                       bool flags = false);

// Empty when every way agrees with the reference, else what differs. Where
// callbacks change variables, reset puts them back before each evaluation.
// Under an environment, the machine code against the flat program.
std::string Compare(const STOKEN &root, const Programs &programs,
                    CExpressionBuilder *builder = nullptr,
                    const std::function<void()> &reset = nullptr,
                    const Environment *environment = nullptr) {
  if (reset)
    reset();
  EnvironmentGuard guard;
  if (environment != nullptr)
    guard.Set(*environment);
  const Outcome expected = environment != nullptr
                               ? Run(programs.forms[1]->form, false, builder)
                               : Reference(root, builder);
  const std::vector<TierCase> tiers = TiersOnThisMachine();
  for (std::size_t i = environment != nullptr ? 2 : 0; i < tiers.size(); ++i) {
    const CCompiledForm &form = programs.forms[i]->form;
    for (const bool single : {false, true}) {
      if (single && form.SingleValue() == nullptr)
        continue;
      if (reset)
        reset();
      const std::string problem = CompareOne(
          expected, Run(form, single, builder), environment != nullptr);
      if (!problem.empty())
        return std::string(tiers[i].name) + (single ? " (single value)" : "") +
               (environment != nullptr ? std::string(", ") + environment->name
                                       : std::string()) +
               ": " + problem;
    }
  }
  return std::string();
}

std::string CompareOne(const Outcome &expected, const Outcome &actual,
                       bool flags) {
  if (Bits(expected.value) != Bits(actual.value))
    return "value " + std::to_string(actual.value) + ", reference " +
           std::to_string(expected.value);
  if (flags && expected.flags != actual.flags)
    return "flags " + std::to_string(actual.flags) + ", reference " +
           std::to_string(expected.flags);
  if (expected.log.calls.size() != actual.log.calls.size())
    return std::to_string(actual.log.calls.size()) + " calls, reference " +
           std::to_string(expected.log.calls.size());
  for (std::size_t i = 0; i < expected.log.calls.size(); ++i) {
    if (expected.log.calls[i].first != actual.log.calls[i].first)
      return "call " + std::to_string(i) + " went to another callback";
    if (actual.log.calls[i].second !=
        reinterpret_cast<std::uintptr_t>(&actual.log))
      return "call " + std::to_string(i) + " got another context word";
  }
  return std::string();
}

// A parser whose names cover the language: host variables a and b,
// callbacks f, g and h (which also sets x).
class Formulas {
public:
  Formulas() : m_builder(new CExpressionBuilder) {
    m_builder->AddVariable(u"a");
    m_builder->AddVariable(u"b");
    m_builder->AddFunction(u"f", Logged<0>);
    m_builder->AddFunction(u"g", Logged<1>);
    m_builder->AddFunction(u"h", Logged<2>);
  }

  void Set(const char16_t *name, double v) { m_builder->SetValue(name, v); }
  CExpressionBuilder *Builder() { return m_builder.get(); }

  // The bound records of the text, or null when it does not parse.
  std::unique_ptr<Tree> Compile(const std::string &text) {
    return CompileText(m_builder, text);
  }

private:
  boost::shared_ptr<CExpressionBuilder> m_builder;
};

const char16_t *const kVariables[] = {u"x", u"y", u"z", u"t", u"a", u"b"};

const double kSpecialValues[] = {
    0.0,  -0.0,  1.0,  2.0, -3.0,  0.5,  1e308,   -1e308,   1e-310,
    kInf, -kInf, kNaN, 0.1, 1e154, -2.5, 0x1p512, 0x1p-484, 1e200};

#if defined(VOXEVAL_MACHINE_CODE)
const bool kMachineCode = true;
#else
const bool kMachineCode = false;
#endif

// Checks one text at several assignments of the variables; counts the texts
// that ran as machine code.
void CheckText(Formulas &formulas, const std::string &text,
               std::mt19937_64 &random, int *machineCode = nullptr) {
  std::unique_ptr<Tree> tree = formulas.Compile(text);
  if (!tree)
    return;
  // Whatever the parser builds, the flat form covers, unless an operator
  // has no steps; so does the machine code, on x86-64, where no callback or
  // host function is called.
  const Programs programs(tree->root);
  ASSERT_EQ(programs.Covered(), !UsesModeWithoutSteps(tree->root)) << text;
  if (machineCode != nullptr &&
      programs.Strongest().Serving() == Tier::kMachineCode)
    ++*machineCode;
  std::uniform_int_distribution<std::size_t> pick(
      0, sizeof kSpecialValues / sizeof kSpecialValues[0] - 1);
  std::uniform_real_distribution<double> plain(-4.0, 4.0);
  std::uniform_int_distribution<std::size_t> other(1, kEnvironmentCount - 1);
  // The last round under an environment other than round-to-nearest.
  for (int round = 0; round < 5; ++round) {
    double values[6];
    for (double &v : values)
      v = round == 0 ? plain(random) : kSpecialValues[pick(random)];
    const auto reset = [&formulas, &values] {
      for (int i = 0; i < 6; ++i)
        formulas.Set(kVariables[i], values[i]);
    };
    const std::string problem =
        Compare(tree->root, programs, formulas.Builder(), reset,
                round == 4 ? &kEnvironments[other(random)] : nullptr);
    ASSERT_EQ(problem, "") << text;
  }
}

// Well-formed formulas and token soup alike: the parser accepts both.
std::string RandomText(std::mt19937_64 &random, int depth) {
  static const char *const kOperands[] = {
      "x", "y", "z", "t",   "a",     "b",   "pi",    "gol",
      "0", "1", "2", "0.5", "3",     "10",  "1e308", "1e-310",
      "f", "g", "h", "Re",  "2.5e3", "0.1", "7",     "phi"};
  static const std::vector<const char *> kFunctions = [] {
    std::vector<const char *> names;
    for (const STANDARD_NAME &row : StandardNames())
      if (row.kind == StandardKind::kFunction)
        names.push_back(row.name);
    return names;
  }();
  static const std::vector<const STANDARD_NAME *> kOperators =
      StandardOperators();
  auto choose = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  std::string text;
  const std::size_t items = 1 + choose(7);
  for (std::size_t i = 0; i < items; ++i) {
    switch (choose(10)) {
    case 0:
      // A stray operator: a leading sign, or two operators in a row.
      text += kOperators[choose(kOperators.size())]->name;
      break;
    case 1:
      // A function, with or without a bracketed argument.
      text += kFunctions[choose(kFunctions.size())];
      if (depth < 4 && choose(3) != 0)
        text += "(" + RandomText(random, depth + 1) + ")";
      break;
    case 2:
      if (depth < 4)
        text += "(" + RandomText(random, depth + 1) + (choose(6) ? ")" : "");
      break;
    default:
      text += kOperands[choose(sizeof kOperands / sizeof kOperands[0])];
      break;
    }
    if (i + 1 < items && choose(8) != 0)
      text += kOperators[choose(kOperators.size())]->name;
  }
  return text;
}

} // namespace

// Shapes that are easy to get wrong: dropped items, constant runs that
// overflow midway, functions of constants that are not finite, callbacks
// dropped or evaluated twice, squares, functions without arguments.
TEST(DifferentialEvaluator, AgreesOnChosenFormulas) {
  static const char *const kTexts[] = {
      "",
      "x",
      "-x",
      "x y",
      "2*-3",
      "2^3^2",
      "x*-y",
      "1+2*3-4/5",
      "0.1+0.2+x",
      "1e308*10-1e308*10+x",
      "1e308*10+x-x",
      "log(0)+1",
      "1+log(0)",
      "x+log(0)*0",
      "exp(1000)-exp(1000)",
      "sin",
      "1+sin",
      "(sin)",
      "sin sin x",
      "sin sin f",
      "sin(f)",
      "sin f",
      "f g h",
      "x f",
      "f+g*h-(f^g)",
      "2*f()+x",
      "exp(-f*t)",
      "sin(cos(tan(f+g)))",
      "x^2",
      "(x)^2",
      "x^2^2",
      "y*x^2",
      "x^0.5",
      "(x+1)*(y-2)/(z+3)",
      "((((x+1)*2+3)*4+5)*6+7)",
      "exp(-(x*x+y*y)/(2*a))*cos(t)",
      "a*x^2+b*x+1-(y*y+z*z)/(1+t)+sin(x)*cos(y)*tan(z/10)+log(1+a*a)",
      "()",
      "(())+x",
      "x+()",
      "gol*x",
      "pi*x",
      "1+2)*5",
      "((x",
      "x/0",
      "0/0+x",
  };
  Formulas formulas;
  std::mt19937_64 random(1);
  int machineCode = 0;
  for (const char *text : kTexts) {
    ASSERT_TRUE(formulas.Compile(text) != nullptr) << text;
    CheckText(formulas, text, random, &machineCode);
  }
  // All but the texts with callbacks, single values and constants.
  EXPECT_GE(machineCode, kMachineCode ? 20 : 0);
}

TEST(DifferentialEvaluator, AgreesOnRandomFormulas) {
  Formulas formulas;
  std::mt19937_64 random(20240601);
  int machineCode = 0;
  for (int i = 0; i < 6000; ++i)
    CheckText(formulas, RandomText(random, 0), random, &machineCode);
  EXPECT_GE(machineCode, kMachineCode ? 1000 : 0);
}

// Callbacks in nested function arguments are called 2^d times; the flat
// form must neither lose calls nor lay the argument out 2^d times.
TEST(DifferentialEvaluator, AgreesOnCallbacksInNestedArguments) {
  Formulas formulas;
  std::mt19937_64 random(7);
  for (int depth = 1; depth <= 12; ++depth) {
    std::string text = "x";
    for (int i = 0; i < depth; ++i)
      text = (i % 2 ? "exp(" : "sin(") + text + (i % 3 ? "+f)" : "*g-y)");
    CheckText(formulas, text, random);
    std::unique_ptr<Tree> tree = formulas.Compile(text);
    CVisitPlan plan;
    ASSERT_TRUE(plan.Read(tree->root));
    CFlatProgram program;
    program.Build(plan);
    EXPECT_LT(program.Steps().size(), 20u * depth) << text;
  }
}

TEST(DifferentialEvaluator, AgreesAtTheNestingBound) {
  Formulas formulas;
  std::mt19937_64 random(11);
  std::string brackets = "x";
  std::string operands = "x";
  std::string saving = "x";
  for (int i = 0; i < 255; ++i) {
    brackets = "(" + brackets + (i % 2 ? "*y)" : "+1)");
    operands = "y-" + (i % 3 ? "(" + operands + ")" : "2*(" + operands + ")");
    if (i < 100)
      saving = "x*y+(" + saving + ")";
  }
  CheckText(formulas, brackets, random);
  CheckText(formulas, "f+" + brackets + "*g", random);
  CheckText(formulas, operands, random);
  // Each level saves a running value, in a walk that calls.
  ASSERT_TRUE(formulas.Compile(saving + "*f") != nullptr);
  CheckText(formulas, saving + "*f", random);
}

// Small whole powers are taken without pow only where the two cannot
// differ; over values of every size, pow decides.
TEST(DifferentialEvaluator, SmallPowersMatchPowBitForBit) {
  Formulas formulas;
  formulas.Set(u"y", 0.0);
  std::mt19937_64 random(3);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  EnvironmentGuard guard;
  // One past the largest exponent proven, which pow decides.
  for (std::int32_t n = 2; n <= kMaxProvenExponent + 1; ++n) {
    const std::string power = "^" + std::to_string(n);
    const std::string texts[] = {"x" + power, "y+x" + power, "(x-y)" + power};
    std::vector<std::unique_ptr<Tree>> trees;
    std::vector<std::unique_ptr<Programs>> programs;
    for (const std::string &text : texts) {
      trees.push_back(formulas.Compile(text));
      programs.emplace_back(new Programs(trees.back()->root));
      ASSERT_EQ(programs.back()->Strongest().Serving() == Tier::kMachineCode,
                kMachineCode);
    }
    // Values of every size, past the range on either side.
    const int range = PowerRange(std::min(n, kMaxProvenExponent));
    std::uniform_int_distribution<int> exponent(-range - 40, range + 40);
    for (int i = 0; i < 30000; ++i) {
      double x = std::ldexp(mantissa(random), exponent(random));
      if (i % 2)
        x = -x;
      if (i % 97 == 0)
        x = std::ldexp(1.0, exponent(random)); // powers of two
      formulas.Set(u"x", x);
      for (std::size_t k = 0; k < 3; ++k)
        ASSERT_EQ(Compare(trees[k]->root, *programs[k]), "")
            << texts[k] << " at x = " << x;
    }
    // The proof's edges, in every environment, for every tier: values that
    // are not finite or are subnormal, the range's bounds and their
    // neighbours, bases of magnitude 1 (whose powers pow gives without a
    // flag), powers of two, powers either side of 2, below which the
    // spacing halves, and exact powers that a pow computing in wider
    // products may flag inexact or not (3^2 unflagged, (2^16 + 1)^2 and
    // (2^26 + 1)^2 flagged by 32-bit x86 glibc's).
    const double root = std::pow(2.0, 1.0 / n);
    const double edges[] = {0.0,
                            kInf,
                            kNaN,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(),
                            std::numeric_limits<double>::max(),
                            std::ldexp(1.0, -range),
                            std::nextafter(std::ldexp(1.0, -range), 0.0),
                            std::nextafter(std::ldexp(1.0, -range), 1.0),
                            std::ldexp(1.7, -range),
                            std::ldexp(1.7, range - 1),
                            std::nextafter(std::ldexp(1.0, range), 0.0),
                            std::ldexp(1.0, range),
                            1.0,
                            0.5,
                            std::nextafter(1.0, 2.0),
                            std::nextafter(1.0, 0.0),
                            std::nextafter(root, 0.0),
                            root,
                            std::nextafter(root, 2.0),
                            3.0,
                            0.1,
                            94906265.62425156,
                            67108865.0,
                            65537.0};
    for (const Environment &environment : kEnvironments) {
      guard.Set(environment);
      for (double edge : edges) {
        for (double x : {edge, -edge}) {
          formulas.Set(u"x", x);
          for (std::size_t k = 0; k < 3; ++k) {
            const Outcome expected = Reference(trees[k]->root, nullptr);
            for (const auto &tier : programs[k]->forms)
              ASSERT_EQ(
                  CompareOne(expected, ::Run(tier->form, false, nullptr), true),
                  "")
                  << texts[k] << " at x = " << x << ", " << environment.name;
          }
        }
      }
    }
    guard.Set(kEnvironments[0]);
  }
}

// Trees the parser never builds: other record kinds inside groups, records
// without targets, integer and float constants, empty groups.
TEST(DifferentialEvaluator, AgreesOnHandBuiltTrees) {
  double x = 1.5;
  double special = kNaN;
  std::mt19937_64 random(5);
  auto choose = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const EVAL_FUNCTION functions[] = {StandardFunction("sin"),
                                     StandardFunction("log"), Halve, Infinite,
                                     nullptr};
  const EVAL_CALLBACK callbacks[] = {Logged<0>, Logged<1>, nullptr};
  const std::vector<const STANDARD_NAME *> operators = StandardOperators();
  const TOKEN_TYPE others[] = {TT_NONE,        TT_LPAREN,  TT_RPAREN,
                               TT_PLACEHOLDER, TT_INT_REF, TT_FLOAT_REF};
  std::function<STOKEN(int)> item = [&](int depth) -> STOKEN {
    switch (choose(depth < 5 ? 9 : 8)) {
    case 0:
      return Num(kSpecialValues[choose(15)]);
    case 1: {
      STOKEN r = Rec(choose(2) ? TT_INT : TT_FLOAT);
      if (r.type == TT_INT)
        r.value.ival = static_cast<std::int32_t>(choose(5)) - 2;
      else
        r.value.fval = choose(2) ? 0.5f : std::numeric_limits<float>::max();
      return r;
    }
    case 2:
      return Var(choose(3) == 0 ? nullptr : choose(2) ? &x : &special);
    case 3:
      return Fn(functions[choose(5)]);
    case 4:
      return Cb(callbacks[choose(3)]);
    case 5:
      return Rec(others[choose(4)]); // null pointers only for the refs
    case 6:
    case 7:
      return Rec(operators[choose(operators.size())]->type);
    default: {
      STOKEN g = Rec(TT_GROUP);
      g.value.group.count = static_cast<std::int32_t>(choose(6));
      g.value.group.items = AllocSTokens(g.value.group.count);
      for (std::int32_t i = 0; i < g.value.group.count; ++i)
        g.value.group.items[i] = item(depth + 1);
      return g;
    }
    }
  };
  for (int i = 0; i < 20000; ++i) {
    STOKEN g = Rec(TT_GROUP);
    g.value.group.count = static_cast<std::int32_t>(1 + choose(7));
    g.value.group.items = AllocSTokens(g.value.group.count);
    for (std::int32_t k = 0; k < g.value.group.count; ++k)
      g.value.group.items[k] = item(1);
    Tree tree(g);
    const Programs programs(tree.root);
    ASSERT_EQ(programs.Covered(), !UsesModeWithoutSteps(tree.root));
    x = kSpecialValues[choose(15)];
    special = kSpecialValues[choose(15)];
    ASSERT_EQ(Compare(tree.root, programs), "") << "tree " << i;
  }
}

// Bound integer or float variables never come from the registry; the flat
// form leaves such trees to the reference evaluator.
TEST(DifferentialEvaluator, LeavesUncoveredTreesToTheReference) {
  std::int32_t count = 3;
  STOKEN ref = Rec(TT_INT_REF);
  ref.value.iref = &count;
  Tree tree(Group({Num(1), Plus, ref}));
  const Programs programs(tree.root);
  EXPECT_FALSE(programs.Covered());
  for (const std::unique_ptr<ForcedForm> &forced : programs.forms) {
    EXPECT_EQ(forced->form.Serving(), Tier::kRecords);
    EXPECT_EQ(forced->form.Evaluate(0), std::make_pair(true, 4.0));
  }
}

namespace {

// A callback that evaluates its own expression again, levels deep, noting
// where its frame lies at the first level and at the last.
struct Reentry {
  const CCompiledForm *form;
  int left;
  std::uintptr_t first;
  std::uintptr_t last;
};

double Reenter(std::uintptr_t context) {
  Reentry &reentry = *reinterpret_cast<Reentry *>(context);
  volatile char mark = 0;
  const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(&mark);
  if (reentry.first == 0)
    reentry.first = here;
  reentry.last = here;
  if (--reentry.left > 0)
    return reentry.form->Evaluate(context).second;
  return mark + 1.0;
}

// Stack bytes one level of re-entry takes.
std::uintptr_t StackPerLevel(const CCompiledForm &form) {
  const int kLevels = 64;
  Reentry reentry{&form, kLevels, 0, 0};
  form.Evaluate(reinterpret_cast<std::uintptr_t>(&reentry));
  return (reentry.first - reentry.last) / (kLevels - 1);
}

} // namespace

// The depth of re-entry a host reaches does not depend on whether the
// system granted executable memory: the flat program takes stack of the
// same order as the machine code at each level.
TEST(DifferentialEvaluator, ReentryTakesLikeStackInEveryTier) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "frames lie elsewhere under AddressSanitizer";
#endif
  boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  builder->AddFunction(u"f", Reenter);
  const std::unique_ptr<Tree> tree = CompileText(builder, "2*(x+f*(y-1))+x^2");
  const Programs programs(tree->root);
  const CCompiledForm &flat = programs.forms[1]->form;
  const CCompiledForm &strongest = programs.Strongest();
  ASSERT_EQ(flat.Serving(), Tier::kFlatProgram);
  if (strongest.Serving() != Tier::kMachineCode)
    GTEST_SKIP() << "callbacks run as the flat program here";
  EXPECT_LE(StackPerLevel(flat), 2 * StackPerLevel(strongest));
}
