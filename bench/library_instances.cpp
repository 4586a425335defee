#include "library_instances.h"

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

bool LibraryInstances::Build(const char *text, const Point *points,
                             std::size_t count) {
  const std::u16string wide = ToUtf16(text);
  for (std::size_t k = 0; k < count; ++k) {
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
