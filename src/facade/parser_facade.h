// The parser a host holds: a thin facade over one expression builder.
#ifndef VOXEVAL_FACADE_PARSER_FACADE_H
#define VOXEVAL_FACADE_PARSER_FACADE_H

#include <VOXEvalExpressions.h>

#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

class CExpressionBuilder;

class CVOXExpressionParser
    : public IVOXExpressionParser,
      public boost::enable_shared_from_this<CVOXExpressionParser> {
public:
  CVOXExpressionParser();
  ~CVOXExpressionParser() override;
  CVOXExpressionParser(const CVOXExpressionParser &) = delete;
  CVOXExpressionParser &operator=(const CVOXExpressionParser &) = delete;

  // A strong handle to the builder, for the length of one operation.
  boost::shared_ptr<CExpressionBuilder> GetBuilder() const;

  boost::shared_ptr<IVOXExpression>
  CreateExpression(const char16_t *text) override;
  bool CheckSyntax(const char16_t *text) override;
  bool SetValue(const char16_t *name, const double &value) override;
  void Clear() override;
  std::int32_t GetCount() override;
  bool AddFunction(const char16_t *name, EVAL_CALLBACK callback) override;
  void LoadDefaults() override;
  bool AddVariable(const char16_t *name) override;

private:
  // Parses and compiles the text; an empty handle when it cannot be read.
  boost::shared_ptr<IVOXExpression> MakeExpression(const std::u16string &text);

  boost::shared_ptr<CExpressionBuilder> m_builder;
};

// The deleter of every parser handle.
void DeleteParser(CVOXExpressionParser *parser);

#endif
