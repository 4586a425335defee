#include "facade/expression.h"

#include "builder/expression_builder.h"

#include <cstddef>
#include <cstring>
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
  return m_form.EvaluateFor(this, context);
}

std::pair<bool, double> CVOXExpression::Fallback(const void *expression,
                                                 std::uintptr_t context) {
  return static_cast<const CVOXExpression *>(expression)
      ->m_form.EvaluateWithoutCode(context);
}

// The Itanium C++ ABI's table: offset to top and type information before
// the address the object points at, then an entry per virtual function; a
// pointer to a virtual member function holds its entry's offset plus one.
// Only where the code gives back the pair, as the host's call expects.
void CVOXExpression::LandCallsInCode() {
#if defined(VOXEVAL_OWN_TABLE)
  const MACHINE_FALLBACK code = m_form.PairEntry();
  if (code == nullptr)
    return;
  std::pair<bool, double> (CVOXExpression::*evaluate)(std::uintptr_t) const =
      &CVOXExpression::Evaluate;
  std::ptrdiff_t offset;
  std::memcpy(&offset, &evaluate, sizeof offset);
  const std::ptrdiff_t slot =
      (offset - 1) / static_cast<std::ptrdiff_t>(sizeof(void *));
  if (offset % static_cast<std::ptrdiff_t>(sizeof(void *)) != 1 || slot < 0 ||
      slot >= kVirtualSlots)
    return;
  const void *const *table;
  std::memcpy(&table, static_cast<const void *>(this), sizeof table);
  std::memcpy(m_table, table - 2, sizeof m_table);
  m_table[2 + slot] = reinterpret_cast<const void *>(code);
  const void *const *own = m_table + 2;
  std::memcpy(static_cast<void *>(this), &own, sizeof own);
#endif
}

bool CVOXExpression::DependsOnSpace() const {
  return m_builder->DependsOnSpace(*m_tree);
}

bool CVOXExpression::DependsOnTime() const {
  return m_builder->DependsOnTime(*m_tree);
}

void DeleteExpression(CVOXExpression *expression) { delete expression; }
