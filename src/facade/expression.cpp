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
    std::unique_ptr<calc_nmspace::TOKEN> &tree,
    std::unique_ptr<STOKEN, void (*)(STOKEN *)> &compiled,
    const CVisitPlan *plan)
    : m_parser(parser), m_tree(tree.release(), DeleteTree),
      m_machine(&Fallback) {
  // Should the handles' counts not be allocated, they release what they
  // were given.
  m_compiled.reset(compiled.release(), FreeRecordTree);
  if (plan != nullptr) {
    m_program.Build(*plan);
    if (m_program.Leaf() == nullptr)
      m_machine.Build(*plan, m_parser->CodeArena());
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
  std::unique_ptr<STOKEN, void (*)(STOKEN *)> records(tree->Compile(builder),
                                                      FreeRecordTree);
  if (!records)
    return boost::shared_ptr<IVOXExpression>();
  CVisitPlan plan;
  const bool read = plan.Read(*records);
  const bool single = read && plan.Top().kind != PlanOperand::kGroup;
  // The tree and records pass to the object as it takes them; the handle
  // deletes the object itself should its count not be allocated.
  CVOXExpression *expression =
      single
          ? new CVOXValueExpression(parser, tree, records, &plan)
          : new CVOXExpression(parser, tree, records, read ? &plan : nullptr);
  return boost::shared_ptr<CVOXExpression>(expression, DeleteExpression);
}
