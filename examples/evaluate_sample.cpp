// A host in a dozen lines: compile a formula once, set values, evaluate.
#include <VOXEvalExpressions.h>

#include <cstdio>

int main() {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  boost::shared_ptr<IVOXExpression> formula =
      parser->CreateExpression(u"2*x+sin(t)");
  if (!formula) {
    std::fprintf(stderr, "the formula does not compile\n");
    return 1;
  }
  parser->SetValue(u"x", 1.5);
  parser->SetValue(u"t", 0.5);
  const std::pair<bool, double> result = formula->Evaluate(0);
  std::printf("2*x+sin(t) at x=1.5, t=0.5: %.17g\n", result.second);
  return 0;
}
