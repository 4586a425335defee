// A minimal host: two formulas a user typed, evaluated on the nodes of a
// small mesh over a few time steps.
#include <VOXEvalExpressions.h>

#include <cstdint>
#include <cstdio>

namespace {

// Host data that a callback reaches through the context word.
struct Boundary {
  double wallTemperature;
};

double WallTemperature(std::uintptr_t context) {
  return reinterpret_cast<const Boundary *>(context)->wallTemperature;
}

struct UserFormula {
  const char16_t *text;
  const char *label;
  boost::shared_ptr<IVOXExpression> compiled;
};

} // namespace

int main() {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  // Names the formulas may use besides the predefined ones; both must be
  // known before a formula that uses them is compiled.
  parser->AddVariable(u"amplitude");
  parser->AddFunction(u"Tw", WallTemperature);

  UserFormula formulas[] = {
      {u"Tw + amplitude*sin(pi*x)*exp(-t)", "temperature", {}},
      {u"amplitude*x^2", "source", {}},
  };
  for (UserFormula &f : formulas) {
    f.compiled = parser->CreateExpression(f.text);
    if (!f.compiled) {
      std::fprintf(stderr, "the %s formula does not compile\n", f.label);
      return 1;
    }
  }

  Boundary boundary{300.0};
  const std::uintptr_t context = reinterpret_cast<std::uintptr_t>(&boundary);
  parser->SetValue(u"amplitude", 5.0);

  for (int step = 0; step < 3; ++step) {
    parser->SetValue(u"t", 0.5 * step);
    for (UserFormula &f : formulas) {
      // A formula that does not read t keeps its values from step 0.
      if (step > 0 && !f.compiled->DependsOnTime())
        continue;
      std::printf("t=%.1f %-11s", 0.5 * step, f.label);
      for (int node = 0; node <= 4; ++node) {
        parser->SetValue(u"x", 0.25 * node);
        std::printf(" %9.4f", f.compiled->Evaluate(context).second);
      }
      std::printf("\n");
    }
  }
  return 0;
}
