// Floating-point environment: hosts unmask traps, change the rounding mode,
// flush subnormal numbers to zero. Every tier must then raise exactly the
// exception flags the record evaluator raises (so a trap happens where, and
// only where, its own arithmetic traps) and give its bits.
#include "builder/expression_builder.h"
#include "environments.h"
#include "evaluation/evaluator.h"
#include "forced_forms.h"
#include "record_trees.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <csetjmp>
#include <csignal>
#endif

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double Callback(std::uintptr_t) { return kNaN; }

std::uint64_t Bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// The value and the flags one evaluation raised.
struct Outcome {
  std::uint64_t bits;
  int flags;
};

template <class F> Outcome Observe(F evaluate) {
  std::feclearexcept(FE_ALL_EXCEPT);
  const double v = evaluate();
  const int flags = std::fetestexcept(kStandardFlags);
  return Outcome{Bits(v), flags};
}

// The texts compiled once (under round-to-nearest, as constant parts are
// documented to be), each laid out by every tier of this machine.
class Formulas {
public:
  explicit Formulas(std::initializer_list<const char *> texts)
      : m_builder(new CExpressionBuilder) {
    m_builder->AddFunction(u"f", Callback);
    for (const char *text : texts) {
      Entry entry{text, CompileText(m_builder, text), {}};
      for (const TierCase &tier : TiersOnThisMachine())
        entry.forms.emplace_back(
            new ForcedForm(entry.tree->root, tier.options));
      m_entries.push_back(std::move(entry));
    }
  }

  void Set(const char16_t *name, double v) { m_builder->SetValue(name, v); }

  // Empty when every tier gives the reference's bits and flags.
  std::string Compare() const {
    const std::vector<TierCase> tiers = TiersOnThisMachine();
    for (const Entry &entry : m_entries) {
      const Outcome expected =
          Observe([&] { return EvaluateSToken(&entry.tree->root, 0); });
      for (std::size_t i = 0; i < tiers.size(); ++i) {
        const CCompiledForm &form = entry.forms[i]->form;
        std::string problem =
            Differs(expected, Observe([&] { return form.Evaluate(0).second; }));
        if (problem.empty() && form.SingleValue() != nullptr)
          problem = Differs(expected, Observe([&] {
                              return FiniteOrZero(*form.SingleValue());
                            }));
        if (!problem.empty())
          return entry.text + " by " + tiers[i].name + ": " + problem;
      }
    }
    return std::string();
  }

  struct Entry {
    std::string text;
    std::unique_ptr<Tree> tree;
    std::vector<std::unique_ptr<ForcedForm>> forms;
  };
  const std::vector<Entry> &Entries() const { return m_entries; }

private:
  static std::string Differs(const Outcome &expected, const Outcome &actual) {
    if (expected.bits != actual.bits)
      return "other bits";
    if (expected.flags != actual.flags)
      return "flags " + std::to_string(actual.flags) + ", reference " +
             std::to_string(expected.flags);
    return std::string();
  }

  boost::shared_ptr<CExpressionBuilder> m_builder;
  std::vector<Entry> m_entries;
};

const double kSpecial[] = {
    0.0,   -0.0,   1.0,     -3.0,     0.5,
    1e308, -1e308, 1e-310,  kInf,     -kInf,
    kNaN,  1e154,  0x1p512, 0x1p-484, 0x1.ffffffffffffep+24};

// Calls check(environment, x, y) with x and y set, for every environment
// and every pair of special values, until an assertion fails.
template <class Check> void OverSpecialValues(Formulas &formulas, Check check) {
  EnvironmentGuard guard;
  for (const Environment &environment : kEnvironments) {
    guard.Set(environment);
    for (double x : kSpecial)
      for (double y : kSpecial) {
        formulas.Set(u"x", x);
        formulas.Set(u"y", y);
        check(environment, x, y);
        if (::testing::Test::HasFatalFailure())
          return;
      }
  }
}

} // namespace

// Finiteness tests on infinity and NaN, values that overflow, divisions by
// zero, callbacks that give NaN, squares at the edges of overflow and of the
// subnormal range: the same flags as the records, in every environment.
TEST(FloatingPointEnvironment, FlagsMatchTheRecordsOnSpecialValues) {
  // From (x*x-1)*y nine carry an overflowed group on, or must not; the
  // five after them drop a value, which is still made; the last is nested
  // deep enough that of x and y one is held in a register, the other read
  // from memory.
  Formulas formulas{"x",
                    "x+1",
                    "2*x-3",
                    "x*y",
                    "x/y",
                    "f+x",
                    "x-y*f",
                    "sin(x)*y",
                    "(x+y)^2",
                    "x^y",
                    "exp(x)+y",
                    "x^3",
                    "y-x^2",
                    "(x*2-y)/(y+x)",
                    "(x*x-1)*y",
                    "((x*x+y)*2-x)/y+1",
                    "(x*x+1)/y*0",
                    "((y*x)*x-y)^2",
                    "x^2+(x*y)^2+(y*3)^2",
                    "x-y+(y/2)^2",
                    "0*(x*y)",
                    "3-(x*y)^2/(y-x)",
                    "(x*y)^y",
                    "1 log(x)",
                    "2(x/y)",
                    "x (x*y)-1",
                    "f (y/x)",
                    "y sin(x*y)",
                    "x*(0+(0+(0+(0+(0+(0+(0+(0+(0+(y*x))))))))))",
                    "2.5e-310*x^2",
                    "y*1e-310+x^3"};
  OverSpecialValues(formulas,
                    [&](const Environment &environment, double x, double y) {
                      ASSERT_EQ(formulas.Compare(), "")
                          << environment.name << ", x = " << x << ", y = " << y;
                    });
}

// Squares and cubes (products where pow would give the same) and pow with a
// variable exponent of 2, at random values of every size and in each
// environment: the same bits and flags as pow in the records.
TEST(FloatingPointEnvironment, PowersMatchTheRecordsInEveryEnvironment) {
  Formulas formulas{"x^2",      "x^3", "(x+y)^2", "sin(x)^2",
                    "exp(x^2)", "x^y", "z-x^y"};
  formulas.Set(u"y", 2.0);
  std::mt19937_64 random(14);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-600, 600);
  EnvironmentGuard guard;
  for (const Environment &environment : kEnvironments) {
    guard.Set(environment);
    for (int i = 0; i < 4000; ++i) {
      double x = std::ldexp(mantissa(random),
                            i % 4 ? exponent(random) % 30 : exponent(random));
      if (i % 3 == 0)
        x = -x;
      if (i == 0)
        x = 0x1.ffffffffffffep+24;
      formulas.Set(u"x", x);
      ASSERT_EQ(formulas.Compare(), "") << environment.name << ", x = " << x;
    }
  }
}

namespace {

double SwitchUpward(std::uintptr_t) {
  std::fesetround(FE_UPWARD);
  return 1.0;
}

} // namespace

// A callback may change the rounding mode: a square after it follows the
// new mode, whatever a square before it found out.
TEST(FloatingPointEnvironment, SquaresFollowTheModeACallbackSets) {
  boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  builder->AddFunction(u"up", SwitchUpward);
  const std::unique_ptr<Tree> tree = CompileText(builder, "x^2+up+y^2");
  const std::vector<TierCase> tiers = TiersOnThisMachine();
  std::vector<std::unique_ptr<ForcedForm>> forms;
  for (const TierCase &tier : tiers)
    forms.emplace_back(new ForcedForm(tree->root, tier.options));
#if defined(__x86_64__) && !defined(_WIN32)
  // Windows leaves formulas with callbacks to the flat program; other
  // processors have no machine code.
  EXPECT_EQ(forms.back()->form.Serving(), Tier::kMachineCode);
#endif
  std::mt19937_64 random(9);
  std::uniform_real_distribution<double> value(1.0, 1e6);
  EnvironmentGuard guard;
  for (int i = 0; i < 3000; ++i) {
    builder->SetValue(u"x", value(random));
    builder->SetValue(u"y", value(random));
    std::fesetround(FE_TONEAREST);
    const Outcome expected =
        Observe([&] { return EvaluateSToken(&tree->root, 0); });
    for (std::size_t t = 0; t < tiers.size(); ++t) {
      std::fesetround(FE_TONEAREST);
      const Outcome actual =
          Observe([&] { return forms[t]->form.Evaluate(0).second; });
      ASSERT_EQ(actual.bits, expected.bits) << tiers[t].name << " at " << i;
      ASSERT_EQ(actual.flags, expected.flags) << tiers[t].name;
    }
  }
}

#if defined(__GLIBC__)
namespace {

sigjmp_buf g_trapped;
void OnTrap(int) { siglongjmp(g_trapped, 1); }

// Whether evaluating traps with invalid operation, division by zero and
// overflow unmasked. The evaluation is left by the handler: no tier keeps
// state across the jump.
template <class F> bool Traps(F evaluate) {
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = OnTrap;
  sigaction(SIGFPE, &action, &previous);
  volatile bool trapped = false;
  std::feclearexcept(FE_ALL_EXCEPT);
  if (sigsetjmp(g_trapped, 1) == 0) {
    feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    volatile double v = evaluate();
    (void)v;
  } else {
    trapped = true;
  }
  fedisableexcept(FE_ALL_EXCEPT);
  std::feclearexcept(FE_ALL_EXCEPT);
  sigaction(SIGFPE, &previous, nullptr);
  return trapped;
}

} // namespace

// With traps unmasked, as simulation hosts run to catch NaNs early: every
// tier traps on exactly the inputs on which the records trap.
TEST(FloatingPointEnvironment, TrapsWhereTheRecordsTrap) {
  volatile double zero = 0.0;
  if (!Traps([&] { return 1.0 / zero; }))
    GTEST_SKIP() << "floating-point traps are not delivered here (valgrind "
                    "and some processors do not)";
  Formulas formulas{"x+1", "2*x-3", "x*y", "f+x",
                    "x/y", "x^2",   "x-y", "2.5e-310*x^2"};
  const std::vector<TierCase> tiers = TiersOnThisMachine();
  int trapping = 0;
  OverSpecialValues(
      formulas, [&](const Environment &environment, double x, double y) {
        for (const Formulas::Entry &entry : formulas.Entries()) {
          const bool expected =
              Traps([&] { return EvaluateSToken(&entry.tree->root, 0); });
          trapping += expected;
          for (std::size_t i = 0; i < tiers.size(); ++i)
            ASSERT_EQ(
                Traps([&] { return entry.forms[i]->form.Evaluate(0).second; }),
                expected)
                << entry.text << " by " << tiers[i].name << ", "
                << environment.name << ", x = " << x << ", y = " << y;
        }
      });
  // Division by zero, inf - inf, inf * 0 and overflow do trap.
  EXPECT_GT(trapping, 20);
}
#endif
