#include "facade/expression.h"

#include "builder/expression_builder.h"

#include <utility>

namespace {

void DeleteTree(calc_nmspace::TOKEN *tree) { delete tree; }

} // namespace

CVOXExpression::CVOXExpression(
    const boost::shared_ptr<IVOXExpressionParser> &parser,
    const boost::shared_ptr<CExpressionBuilder> &builder,
    std::unique_ptr<calc_nmspace::TOKEN> &tree, RECORDS_PTR &records,
    CCompiledForm &form)
    : m_parser(parser), m_builder(builder), m_tree(tree.release(), DeleteTree),
      m_form(std::move(form)) {
  // Should the handles' counts not be allocated, they release what they
  // were given.
  m_records.reset(records.release(), FreeRecordTree);
}

std::pair<bool, double> CVOXExpression::Evaluate(std::uintptr_t context) const {
  return m_form.Evaluate(context);
}

bool CVOXExpression::DependsOnSpace() const {
  return m_builder->DependsOnSpace(*m_tree);
}

bool CVOXExpression::DependsOnTime() const {
  return m_builder->DependsOnTime(*m_tree);
}

void DeleteExpression(CVOXExpression *expression) { delete expression; }
