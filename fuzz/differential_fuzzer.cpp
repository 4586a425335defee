// Any text, compiled once through a parser as a host compiles it and
// evaluated three times: by the expression's Evaluate (machine code where
// it has some), by the flat program, and by the record evaluator they stand
// in for. All must give the same bits and call the same callbacks in the
// same order with the same context word, whatever the variables hold; a
// callback's throw must come out of each alike. Expressions of earlier
// inputs stay alive a while, so that the process's code memory takes
// freed space again and gives empty chunks back as a host's would.
// Each input also picks the environment the evaluations run under (a
// rounding mode; on x86-64 flush-to-zero and denormals-are-zero, as hosts
// built with -ffast-math run) and exceptions to unmask: the machine code
// must raise the flat program's flags, and with those it does not raise
// unmasked, a trap ends the run.
#include "fuzz_input.h"
#include "planted_fault.h"
#include "promises.h"

#include "evaluation/evaluator.h"
#include "execution/compiled_form.h"
#include "execution/machine/code_arena.h"
#include "facade/expression.h"

#include <VOXEvalExpressions.h>

#include <cfenv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The callbacks log into the context word's target; their values run
// through a list with non-finite entries, so that order shows in values.
// Callback g also sets x to its value: a variable read moved across a call
// shows too.
struct CallLog {
  std::vector<std::pair<int, std::uintptr_t>> calls;
  IVOXExpressionParser *parser = nullptr;
};

const double kReturned[] = {1.5, kNaN, -2.0, kInf, 0.0, -0.0, 1e308, -kInf};

template <int Id> double Logged(std::uintptr_t context) {
  CountCall();
  CallLog *log = reinterpret_cast<CallLog *>(context);
  log->calls.emplace_back(Id, context);
  const double value =
      kReturned[log->calls.size() % (sizeof kReturned / sizeof *kReturned)];
  if (Id == 1)
    log->parser->SetValue(u"x", value);
  return value;
}

// Values for x, y, z, t, a and b, one row per evaluation.
const double kAssignments[][6] = {
    {0.75, -1.25, 2.0, 0.5, 3.0, -0.5},
    {kNaN, kInf, -kInf, -0.0, 1e308, 1e-310},
    {2.0, 0.0, -3.0, 1e154, 0.1, -kNaN},
    // The edges of overflow and of the subnormal range for squares.
    {0x1p512, 0x1p-484, 2.5e-310, -0x1.fffffffffffffp511, 1e200, 0x1p-537},
};
const char16_t *const kNames[] = {u"x", u"y", u"z", u"t", u"a", u"b"};

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Outcome {
  double value = 0.0;
  CallLog log;
  bool spent = false;
  int flags = 0;
};

// The floating-point environment of one input: a rounding mode, the vector
// unit's flush bits, and the exceptions to unmask where the flat program
// does not raise them.
struct Environment {
  int rounding = FE_TONEAREST;
  unsigned flush = 0;
  int traps = 0;
};

const unsigned kFlushToZero = 0x8000;
const unsigned kDenormalsAreZero = 0x40;

// Sets the rounding mode and flush bits; round-to-nearest without them
// again when the object goes.
class InForce {
public:
  explicit InForce(const Environment &environment) {
    Set(environment.rounding, environment.flush);
  }
  ~InForce() { Set(FE_TONEAREST, 0); }
  InForce(const InForce &) = delete;
  InForce &operator=(const InForce &) = delete;

private:
  static void Set(int rounding, unsigned flush) {
    std::fesetround(rounding);
#if defined(__x86_64__)
    _mm_setcsr((_mm_getcsr() & ~(kFlushToZero | kDenormalsAreZero)) | flush);
#else
    (void)flush;
#endif
  }
};

const int kRoundings[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
// Not underflow: unmasked, it traps on exact subnormal results too, which
// the flags of a masked run do not show.
const int kExceptions[] = {FE_INVALID, FE_DIVBYZERO, FE_OVERFLOW, FE_INEXACT};

// Unmasks traps (glibc only) for the life of the object.
class Unmasked {
public:
  explicit Unmasked(int traps) : m_traps(traps) {
#if defined(__GLIBC__)
    if (m_traps != 0)
      feenableexcept(m_traps);
#endif
  }
  ~Unmasked() {
#if defined(__GLIBC__)
    if (m_traps != 0)
      fedisableexcept(m_traps);
#endif
  }
  Unmasked(const Unmasked &) = delete;
  Unmasked &operator=(const Unmasked &) = delete;

private:
  int m_traps;
};

template <class Evaluate>
Outcome Observe(IVOXExpressionParser &parser, const double *values,
                Evaluate evaluate) {
  for (int i = 0; i < 6; ++i)
    FUZZ_REQUIRE(parser.SetValue(kNames[i], values[i]));
  Outcome out;
  out.log.parser = &parser;
  CallsThisEvaluation() = 0;
  std::feclearexcept(FE_ALL_EXCEPT);
  try {
    out.value = evaluate(reinterpret_cast<std::uintptr_t>(&out.log));
  } catch (const CallBudgetSpent &) {
    out.spent = true;
  }
  out.flags = std::fetestexcept(FE_ALL_EXCEPT);
  return out;
}

void Require(const Outcome &reference, const Outcome &actual, bool value,
             bool flags) {
  FUZZ_REQUIRE(!actual.spent);
  FUZZ_REQUIRE(!value || SameBits(reference.value, actual.value));
  FUZZ_REQUIRE(!flags || reference.flags == actual.flags);
  FUZZ_REQUIRE(reference.log.calls.size() == actual.log.calls.size());
  for (std::size_t i = 0; i < actual.log.calls.size(); ++i) {
    FUZZ_REQUIRE(reference.log.calls[i].first == actual.log.calls[i].first);
    FUZZ_REQUIRE(actual.log.calls[i].second ==
                 reinterpret_cast<std::uintptr_t>(&actual.log));
  }
}

// The expressions of the last inputs.
std::deque<boost::shared_ptr<IVOXExpression>> &Alive() {
  static std::deque<boost::shared_ptr<IVOXExpression>> alive;
  return alive;
}

void Run(const std::u16string &text, const Environment &environment) {
  const boost::shared_ptr<IVOXExpressionParser> parser =
      CreateExpressionParser();
  FUZZ_REQUIRE(parser->AddVariable(u"a"));
  FUZZ_REQUIRE(parser->AddVariable(u"b"));
  FUZZ_REQUIRE(parser->AddFunction(u"f", Logged<0>));
  FUZZ_REQUIRE(parser->AddFunction(u"g", Logged<1>));
  const boost::shared_ptr<IVOXExpression> made =
      parser->CreateExpression(text.c_str());
  if (!made)
    return;
  // Dropped half at a time, so that whole chunks fall empty.
  Alive().push_back(made);
  if (Alive().size() > 1024)
    Alive().erase(Alive().begin(), Alive().begin() + 512);
  const CVOXExpression &machine = static_cast<const CVOXExpression &>(*made);
  const STOKEN *root = &machine.Records();
  // Whatever the parser builds, the plan and the flat form cover.
  FORM_OPTIONS flatOnly;
  flatOnly.strongest = Tier::kFlatProgram;
  CCompiledForm program;
  program.Build(*root, CCodeArena::Shared(), flatOnly);
  FUZZ_REQUIRE(program.Serving() != Tier::kRecords);
  // Compiled under round-to-nearest, evaluated under the input's mode.
  // Constant parts are computed when compiled, where the records compute
  // them at each evaluation: under another mode, and in the flags they
  // raise, the records are compared with the flat program only by value
  // under round-to-nearest without flush bits, and the machine code with
  // the flat program in every bit and flag.
  const InForce inForce(environment);
  const bool nearest =
      environment.rounding == FE_TONEAREST && environment.flush == 0;
  for (const auto &values : kAssignments) {
    const Outcome reference =
        Observe(*parser, values, [root](std::uintptr_t context) {
          return EvaluateSToken(root, context);
        });
    if (reference.spent) {
      // Too many calls: the budget's throw must leave the machine code too.
      const Outcome thrown = Observe(*parser, values, [&](std::uintptr_t c) {
        return machine.Evaluate(c).second;
      });
      FUZZ_REQUIRE(thrown.spent);
      return;
    }
    const Outcome flat = Observe(*parser, values, [&program](std::uintptr_t c) {
      return program.Evaluate(c).second;
    });
    Require(reference, flat, nearest, false);
    const Unmasked unmasked(environment.traps & ~flat.flags);
    const Outcome code = Observe(*parser, values, [&](std::uintptr_t c) {
      return machine.Evaluate(c).second;
    });
    Require(flat, code, true, true);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  AbortOnPlantedInput(data, size);
  FuzzInput input(data, size);
  Environment environment;
  const std::uint8_t choice = input.Byte();
  environment.rounding = kRoundings[choice & 3];
  if (choice & 4)
    environment.flush |= kFlushToZero;
  if (choice & 128)
    environment.flush |= kDenormalsAreZero;
  for (int i = 0; i < 4; ++i)
    if (choice & (8 << i))
      environment.traps |= kExceptions[i];
  std::u16string text = input.Text(4096);
  // A host's text ends at its first zero unit.
  text.resize(std::char_traits<char16_t>::length(text.c_str()));
  Run(text, environment);
  return 0;
}
