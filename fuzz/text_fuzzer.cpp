// Any text a user might type, through every text operation of a parser that
// also knows a host variable, a host callback and a non-ASCII name.
#include "fuzz_input.h"
#include "promises.h"

#include <VOXEvalExpressions.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace {

const std::uintptr_t kContexts[] = {0, 1, 0xDEADBEEF,
                                    std::numeric_limits<std::uintptr_t>::max()};

// Depends only on the context, so that repeated evaluations must agree; some
// contexts give values that are not finite.
double HostCallback(std::uintptr_t context) {
  CountCall();
  switch (context) {
  case 1:
    return std::numeric_limits<double>::quiet_NaN();
  case 0xDEADBEEF:
    return std::numeric_limits<double>::infinity();
  default:
    return static_cast<double>(context % 1000) * 0.25 - 7.0;
  }
}

boost::shared_ptr<IVOXExpressionParser> HostParser() {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  FUZZ_REQUIRE(parser->AddVariable(u"k"));
  FUZZ_REQUIRE(parser->SetValue(u"k", 2.5));
  FUZZ_REQUIRE(parser->AddFunction(u"cb", HostCallback));
  FUZZ_REQUIRE(parser->AddVariable(u"\u03c1"));
  FUZZ_REQUIRE(parser->SetValue(u"\u03c1", -1.5));
  FUZZ_REQUIRE(parser->SetValue(u"x", 0.75));
  FUZZ_REQUIRE(parser->SetValue(u"t", 1e300));
  FUZZ_REQUIRE(parser->GetCount() == 47 + 6);
  return parser;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Values for every context; evaluating again must give the same bits.
void EvaluateAll(const IVOXExpression &expression, double *values) {
  for (std::size_t i = 0; i < sizeof kContexts / sizeof *kContexts; ++i) {
    CallsThisEvaluation() = 0;
    values[i] = CheckedEvaluate(expression, kContexts[i]);
    CallsThisEvaluation() = 0;
    FUZZ_REQUIRE(
        SameBits(values[i], CheckedEvaluate(expression, kContexts[i])));
  }
}

void Run(const std::u16string &text) {
  boost::shared_ptr<IVOXExpressionParser> parser = HostParser();
  const bool wellFormed = parser->CheckSyntax(text.c_str());
  FUZZ_REQUIRE(wellFormed == parser->CheckSyntax(text.c_str()));

  boost::shared_ptr<IVOXExpression> expression =
      parser->CreateExpression(text.c_str());
  boost::shared_ptr<IVOXExpression> again =
      parser->CreateExpression(text.c_str());
  FUZZ_REQUIRE(!expression == !again);
  if (!expression)
    return;
  const bool space = expression->DependsOnSpace();
  const bool time = expression->DependsOnTime();
  FUZZ_REQUIRE(space == again->DependsOnSpace());
  FUZZ_REQUIRE(time == again->DependsOnTime());

  double first[4];
  double second[4];
  EvaluateAll(*expression, first);
  EvaluateAll(*again, second);
  for (int i = 0; i < 4; ++i)
    FUZZ_REQUIRE(SameBits(first[i], second[i]));

  // The expression keeps its parser alive once the host lets go of it.
  parser.reset();
  again.reset();
  EvaluateAll(*expression, second);
  for (int i = 0; i < 4; ++i)
    FUZZ_REQUIRE(SameBits(first[i], second[i]));
  FUZZ_REQUIRE(space == expression->DependsOnSpace());
  FUZZ_REQUIRE(time == expression->DependsOnTime());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  FuzzInput input(data, size);
  const std::u16string text = input.Text(size);
  try {
    Run(text);
  } catch (const CallBudgetSpent &) {
    return -1;
  } catch (const std::bad_alloc &) {
    // The one exception the library may throw.
  } catch (...) {
    FUZZ_REQUIRE(!"an exception other than std::bad_alloc");
  }
  return 0;
}
