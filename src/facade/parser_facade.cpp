#include "facade/parser_facade.h"

#include "builder/expression_builder.h"
#include "facade/expression.h"

#include <string>

CVOXExpressionParser::CVOXExpressionParser()
    : m_builder(new CExpressionBuilder) {}

CVOXExpressionParser::~CVOXExpressionParser() { m_builder.reset(); }

boost::shared_ptr<CExpressionBuilder> CVOXExpressionParser::GetBuilder() const {
  return m_builder;
}

// Every text is copied before use; a null pointer is refused like an
// unknown name.
boost::shared_ptr<IVOXExpression>
CVOXExpressionParser::CreateExpression(const char16_t *text) {
  if (text == nullptr)
    return boost::shared_ptr<IVOXExpression>();
  const std::u16string copy(text);
  const boost::shared_ptr<CVOXExpressionParser> self = shared_from_this();
  return MakeExpression(self, copy);
}

bool CVOXExpressionParser::CheckSyntax(const char16_t *text) {
  if (text == nullptr)
    return false;
  const std::u16string copy(text);
  return GetBuilder()->CheckSyntax(copy);
}

// Called for every quantity at every point: the name is read where it is,
// and the parser's own handle keeps the builder alive for the call.
bool CVOXExpressionParser::SetValue(const char16_t *name, const double &value) {
  if (name == nullptr)
    return false;
  return m_builder.get()->SetValue(name, value);
}

void CVOXExpressionParser::Clear() { GetBuilder()->Clear(); }

std::int32_t CVOXExpressionParser::GetCount() {
  return GetBuilder()->GetCount();
}

bool CVOXExpressionParser::AddFunction(const char16_t *name,
                                       EVAL_CALLBACK callback) {
  if (name == nullptr)
    return false;
  const std::u16string copy(name);
  return GetBuilder()->AddFunction(copy, callback);
}

void CVOXExpressionParser::LoadDefaults() { GetBuilder()->LoadDefaults(); }

bool CVOXExpressionParser::AddVariable(const char16_t *name) {
  if (name == nullptr)
    return false;
  const std::u16string copy(name);
  return GetBuilder()->AddVariable(copy);
}

void DeleteParser(CVOXExpressionParser *parser) { delete parser; }

// The handle's deleter is the library's own, so the last release runs this
// library's destruction code wherever it happens. Should the handle's count
// not be allocated, the handle itself deletes the parser with DeleteParser.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" VOXEVAL_API boost::shared_ptr<IVOXExpressionParser>
CreateExpressionParser() {
  return boost::shared_ptr<CVOXExpressionParser>(new CVOXExpressionParser,
                                                 DeleteParser);
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
