#include "facade/parser_facade.h"

#include "builder/expression_builder.h"
#include "execution/machine/code_arena.h"
#include "facade/expression.h"

#include <cstdint>
#include <limits>
#include <memory>
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
  return MakeExpression(copy);
}

// Parse, compile (which binds every name), and lay out for evaluation.
boost::shared_ptr<IVOXExpression>
CVOXExpressionParser::MakeExpression(const std::u16string &text) {
  const boost::shared_ptr<CExpressionBuilder> builder = GetBuilder();
  // Positions are 32-bit; a longer text cannot be read.
  if (!builder ||
      text.size() > static_cast<std::size_t>(
                        std::numeric_limits<std::int32_t>::max() - 1))
    return boost::shared_ptr<IVOXExpression>();
  std::int32_t position = 0;
  std::unique_ptr<calc_nmspace::TOKEN> tree(
      builder->ParseGroup(text, position));
  if (!tree)
    return boost::shared_ptr<IVOXExpression>();
  RECORDS_PTR records(tree->Compile(builder));
  if (!records)
    return boost::shared_ptr<IVOXExpression>();
  // Machine code goes to the process's arena, shared by all parsers.
  CCompiledForm form(&CVOXExpression::Fallback);
  form.Build(*records, CCodeArena::Shared());
  const boost::shared_ptr<IVOXExpressionParser> self = shared_from_this();
  // The tree, records and form pass to the object as it takes them; the
  // handle deletes the object itself should its count not be allocated.
  CVOXExpression *expression =
      NewExpression(self, builder, tree, records, form);
  return boost::shared_ptr<CVOXExpression>(expression, DeleteExpression);
}

bool CVOXExpressionParser::CheckSyntax(const char16_t *text) {
  if (text == nullptr)
    return false;
  const std::u16string copy(text);
  return GetBuilder()->CheckSyntax(copy);
}

// Called for every quantity at every point: the name is read where it is,
// and the parser's own handle keeps the builder alive for the call. On a
// cache line of its own start, so that its speed does not hang on where
// the linker happens to put it.
__attribute__((aligned(64))) bool
CVOXExpressionParser::SetValue(const char16_t *name, const double &value) {
  if (name == nullptr)
    return false;
  return m_builder->SetValue(name, value);
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
