// Any text a user might type, through every text operation of a parser that
// also knows a host variable, host callbacks and a non-ASCII name. Values
// are checked against the record evaluator, which the fast evaluation
// behind Evaluate must match, callback calls included.
#include "fuzz_input.h"
#include "planted_fault.h"
#include "promises.h"

#include "builder/expression_builder.h"
#include "evaluation/evaluator.h"
#include "facade/parser_facade.h"

#include <VOXEvalExpressions.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace {

const std::uintptr_t kContexts[] = {0, 1, 0xDEADBEEF,
                                    std::numeric_limits<std::uintptr_t>::max()};

// The calls made, as a hash of which callback ran in what order.
std::uint64_t g_callTrace = 0;

void Trace(std::uint64_t callback) {
  CountCall();
  g_callTrace = g_callTrace * 1000003u + callback;
}

// Depends only on the context, so that repeated evaluations must agree; some
// contexts give values that are not finite.
double HostCallback(std::uintptr_t context) {
  Trace(1);
  switch (context) {
  case 1:
    return std::numeric_limits<double>::quiet_NaN();
  case 0xDEADBEEF:
    return std::numeric_limits<double>::infinity();
  default:
    return static_cast<double>(context % 1000) * 0.25 - 7.0;
  }
}

double OtherCallback(std::uintptr_t context) {
  Trace(2);
  return context == 1 ? -1e308 : 3.5;
}

boost::shared_ptr<IVOXExpressionParser> HostParser() {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  FUZZ_REQUIRE(parser->AddVariable(u"k"));
  FUZZ_REQUIRE(parser->SetValue(u"k", 2.5));
  FUZZ_REQUIRE(parser->AddFunction(u"cb", HostCallback));
  FUZZ_REQUIRE(parser->AddFunction(u"cc", OtherCallback));
  FUZZ_REQUIRE(parser->AddVariable(u"\u03c1"));
  FUZZ_REQUIRE(parser->SetValue(u"\u03c1", -1.5));
  FUZZ_REQUIRE(parser->SetValue(u"x", 0.75));
  FUZZ_REQUIRE(parser->SetValue(u"t", 1e300));
  static const int fresh = CreateExpressionParser()->GetCount();
  FUZZ_REQUIRE(parser->GetCount() == fresh + 8);
  return parser;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The text compiled to records without the fast evaluation, as the library
// would evaluate them without it.
struct ReferenceRecords {
  STOKEN *root = nullptr;
  ~ReferenceRecords() {
    if (root != nullptr) {
      FreeSToken(*root);
      std::free(root);
    }
  }
};

void CompileReference(IVOXExpressionParser &parser, const std::u16string &text,
                      ReferenceRecords &records) {
  const boost::shared_ptr<CExpressionBuilder> builder =
      static_cast<CVOXExpressionParser &>(parser).GetBuilder();
  // The host's text ends at its first zero unit.
  const std::u16string hostText(text.c_str());
  std::int32_t position = 0;
  const std::unique_ptr<calc_nmspace::TOKEN> tree(
      builder->ParseGroup(hostText, position));
  FUZZ_REQUIRE(tree);
  records.root = tree->Compile(builder);
}

// Function arguments around the most deeply wrapped callback, -1 for none.
int CallbackNesting(const STOKEN &record, int around) {
  if (record.type == TT_CALLBACK)
    return around;
  int deepest = -1;
  if (record.type != TT_GROUP)
    return deepest;
  const STOKEN *items = record.value.group.items;
  for (std::int32_t i = 0; i < record.value.group.count; ++i) {
    const bool argument =
        i > 0 && items[i - 1].type == TT_FUNCTION && items[i].type == TT_GROUP;
    deepest = std::max(deepest, CallbackNesting(items[i], around + argument));
  }
  return deepest;
}

// Values for every context, each equal to the records' value and made by
// the same callback calls.
void EvaluateAll(const IVOXExpression &expression, const STOKEN &reference,
                 double *values) {
  for (std::size_t i = 0; i < sizeof kContexts / sizeof *kContexts; ++i) {
    g_callTrace = 0;
    const double expected = EvaluateSToken(&reference, kContexts[i]);
    const std::uint64_t expectedTrace = g_callTrace;
    g_callTrace = 0;
    values[i] = CheckedEvaluate(expression, kContexts[i]);
    FUZZ_REQUIRE(values[i] == expected);
    FUZZ_REQUIRE(g_callTrace == expectedTrace);
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

  ReferenceRecords reference;
  CompileReference(*parser, text, reference);
  if (CallbackNesting(*reference.root, 0) > kMaxCallbackNesting)
    throw CallBudgetSpent();
  double first[4];
  double second[4];
  EvaluateAll(*expression, *reference.root, first);
  EvaluateAll(*again, *reference.root, second);
  for (int i = 0; i < 4; ++i)
    FUZZ_REQUIRE(SameBits(first[i], second[i]));

  // The expression keeps its parser alive once the host lets go of it.
  parser.reset();
  again.reset();
  FUZZ_REQUIRE(SameBits(first[0], CheckedEvaluate(*expression, kContexts[0])));
  FUZZ_REQUIRE(space == expression->DependsOnSpace());
  FUZZ_REQUIRE(time == expression->DependsOnTime());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  AbortOnPlantedInput(data, size);
  FuzzInput input(data, size);
  const std::u16string text = input.Text(size);
  CallsThisInput() = 0;
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
