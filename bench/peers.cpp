#include "peers.h"

namespace {

double MuCallback(void *data) { return static_cast<const Point *>(data)->q; }

} // namespace

std::u16string ToUtf16(const std::string &text) {
  return std::u16string(text.begin(), text.end());
}

boost::shared_ptr<IVOXExpressionParser> MakeBenchParser() {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  parser->SetValue(u"pi", kPi);
  for (const char16_t *name : {u"a", u"b", u"c", u"w"})
    parser->AddVariable(name);
  parser->AddFunction(u"cb", PointCallback);
  return parser;
}

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

bool LibraryInstances::Build(const char *text, const Point *points) {
  const std::u16string wide = ToUtf16(text);
  for (std::size_t k = 0; k < kPointCount; ++k) {
    boost::shared_ptr<IVOXExpressionParser> parser = MakeBenchParser();
    const Point &p = points[k];
    parser->SetValue(u"x", p.x);
    parser->SetValue(u"y", p.y);
    parser->SetValue(u"z", p.z);
    parser->SetValue(u"t", p.t);
    parser->SetValue(u"a", p.a);
    parser->SetValue(u"b", p.b);
    parser->SetValue(u"c", p.c);
    parser->SetValue(u"w", p.w);
    boost::shared_ptr<IVOXExpression> expression =
        parser->CreateExpression(wide.c_str());
    if (!expression)
      return false;
    parsers.push_back(parser);
    expressions.push_back(expression);
    raw.push_back(expression.get());
  }
  return true;
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
