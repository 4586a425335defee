// Any text, compiled once through a parser as a host compiles it and
// evaluated three times: by the expression's Evaluate (machine code where
// it has some), by the flat program, and by the record evaluator they stand
// in for. All must give the same bits and call the same callbacks in the
// same order with the same context word, whatever the variables hold; a
// callback's throw must come out of each alike. Expressions of earlier
// inputs stay alive a while, so that the process's code memory takes
// freed space again and gives empty chunks back as a host's would.
#include "fuzz_input.h"
#include "planted_fault.h"
#include "promises.h"

#include "evaluation/evaluator.h"
#include "execution/compiled_form.h"
#include "execution/machine/code_arena.h"
#include "facade/expression.h"

#include <VOXEvalExpressions.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
};
const char16_t *const kNames[] = {u"x", u"y", u"z", u"t", u"a", u"b"};

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Outcome {
  double value = 0.0;
  CallLog log;
  bool spent = false;
};

template <class Evaluate>
Outcome Observe(IVOXExpressionParser &parser, const double *values,
                Evaluate evaluate) {
  for (int i = 0; i < 6; ++i)
    FUZZ_REQUIRE(parser.SetValue(kNames[i], values[i]));
  Outcome out;
  out.log.parser = &parser;
  CallsThisEvaluation() = 0;
  try {
    out.value = evaluate(reinterpret_cast<std::uintptr_t>(&out.log));
  } catch (const CallBudgetSpent &) {
    out.spent = true;
  }
  return out;
}

void Require(const Outcome &reference, const Outcome &actual) {
  FUZZ_REQUIRE(!actual.spent);
  FUZZ_REQUIRE(SameBits(reference.value, actual.value));
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

void Run(const std::u16string &text) {
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
    Require(reference, Observe(*parser, values, [&program](std::uintptr_t c) {
              return program.Evaluate(c).second;
            }));
    Require(reference, Observe(*parser, values, [&](std::uintptr_t c) {
              return machine.Evaluate(c).second;
            }));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  AbortOnPlantedInput(data, size);
  FuzzInput input(data, size);
  std::u16string text = input.Text(4096);
  // A host's text ends at its first zero unit.
  text.resize(std::char_traits<char16_t>::length(text.c_str()));
  Run(text);
  return 0;
}
