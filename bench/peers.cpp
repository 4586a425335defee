#include "peers.h"

namespace {

double MuCallback(void *data) { return static_cast<const Point *>(data)->q; }

} // namespace

void DefineBenchNames(mu::Parser &parser, Point &point) {
  parser.DefineConst("pi", kPi);
  parser.DefineVar("x", &point.x);
  parser.DefineVar("y", &point.y);
  parser.DefineVar("z", &point.z);
  parser.DefineVar("t", &point.t);
  parser.DefineVar("a", &point.a);
  parser.DefineVar("b", &point.b);
  parser.DefineVar("c", &point.c);
  parser.DefineVar("w", &point.w);
  // Not optimisable: the callback's value changes between evaluations.
  parser.DefineFunUserData("cb", MuCallback, &point, false);
}

bool MuParserInstances::Build(const char *text, const Point *source,
                              std::string &error) {
  points.assign(source, source + kPointCount);
  try {
    for (std::size_t k = 0; k < kPointCount; ++k) {
      std::unique_ptr<mu::Parser> parser(new mu::Parser);
      DefineBenchNames(*parser, points[k]);
      parser->SetExpr(text);
      parser->Eval();
      parsers.push_back(std::move(parser));
    }
  } catch (const mu::Parser::exception_type &e) {
    error = e.GetMsg();
    return false;
  }
  return true;
}
