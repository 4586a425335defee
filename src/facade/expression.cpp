#include "facade/expression.h"

#include "builder/expression_builder.h"
#include "evaluation/evaluator.h"

#include <cstdlib>
#include <limits>
#include <memory>

namespace {

void DeleteTree(calc_nmspace::TOKEN *tree) { delete tree; }

// Releases what the root record owns, then the root's own block.
void FreeRecordTree(STOKEN *root) {
  FreeSToken(*root);
  std::free(root);
}

} // namespace

CVOXExpression::CVOXExpression(
    const boost::shared_ptr<CVOXExpressionParser> &parser,
    calc_nmspace::TOKEN *tree)
    : m_parser(parser), m_tree(tree, DeleteTree), m_machine(&Fallback) {
  // Should the handle's count not be allocated, reset releases the records.
  m_compiled.reset(m_tree->Compile(m_parser->GetBuilder()), FreeRecordTree);
  CVisitPlan plan;
  if (plan.Read(*m_compiled)) {
    m_program.Build(plan);
    m_machine.Build(plan);
  }
}

// Records first, then the parse tree, then the parser: when this was the
// last handle to the parser, the builder goes last of all.
CVOXExpression::~CVOXExpression() {
  m_compiled.reset();
  m_tree.reset();
  m_parser.reset();
}

// The hot path: no allocation, no lookup, no lock.
std::pair<bool, double> CVOXExpression::Evaluate(std::uintptr_t context) const {
  return m_machine.Run(this, context);
}

std::pair<bool, double> CVOXExpression::Fallback(const void *expression,
                                                 std::uintptr_t context) {
  const CVOXExpression &self = *static_cast<const CVOXExpression *>(expression);
  std::pair<bool, double> result(false, 0.0);
  result.second = self.m_program.Empty()
                      ? EvaluateSToken(self.m_compiled.get(), context)
                      : self.m_program.Run(context);
  result.first = true;
  return result;
}

bool CVOXExpression::DependsOnSpace() const {
  return m_parser->GetBuilder()->DependsOnSpace(*m_tree);
}

bool CVOXExpression::DependsOnTime() const {
  return m_parser->GetBuilder()->DependsOnTime(*m_tree);
}

void DeleteExpression(CVOXExpression *expression) { delete expression; }

boost::shared_ptr<IVOXExpression>
MakeExpression(const boost::shared_ptr<CVOXExpressionParser> &parser,
               const std::u16string &text) {
  if (!parser)
    return boost::shared_ptr<IVOXExpression>();
  const boost::shared_ptr<CExpressionBuilder> builder = parser->GetBuilder();
  if (!builder)
    return boost::shared_ptr<IVOXExpression>();
  // Positions are 32-bit; a longer text cannot be read.
  if (text.size() >
      static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - 1))
    return boost::shared_ptr<IVOXExpression>();
  const std::u16string copy(text);
  std::int32_t position = 0;
  std::unique_ptr<calc_nmspace::TOKEN> tree(
      builder->ParseGroup(copy, position));
  if (!tree)
    return boost::shared_ptr<IVOXExpression>();
  // The tree passes to the object only once its memory is had; the handle
  // deletes the object itself should its count not be allocated.
  return boost::shared_ptr<CVOXExpression>(
      new CVOXExpression(parser, tree.release()), DeleteExpression);
}
