#include "facade/expression.h"

#include "builder/expression_builder.h"
#include "execution/flat_program_run.h"

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

#if defined(VOXEVAL_OWN_TABLE)
namespace {

// Evaluate's entry in its class's table of virtual functions, or -1.
std::ptrdiff_t EvaluateSlot() {
#if defined(_MSC_VER)
  // Microsoft's ABI lays the entries out in the order of declaration, the
  // destructor in one; a pointer to a virtual member function is a thunk,
  // which tells nothing of the entry.
  return 1;
#else
  // Itanium's: a pointer to a virtual member function holds its entry's
  // offset plus one.
  std::pair<bool, double> (CVOXExpression::*evaluate)(std::uintptr_t) const =
      &CVOXExpression::Evaluate;
  std::ptrdiff_t offset;
  std::memcpy(&offset, &evaluate, sizeof offset);
  if (offset % static_cast<std::ptrdiff_t>(sizeof(void *)) != 1)
    return -1;
  return (offset - 1) / static_cast<std::ptrdiff_t>(sizeof(void *));
#endif
}

} // namespace
#endif

// The object points at its table's first entry; what the ABI keeps before
// it is copied with the entries.
void CVOXExpression::LandCallsInCode() {
#if defined(VOXEVAL_OWN_TABLE)
  const void *const code = m_form.CodeEntry();
  const std::ptrdiff_t slot = EvaluateSlot();
  if (code == nullptr || slot < 0 || slot >= kVirtualSlots)
    return;
  const void *const *table;
  std::memcpy(&table, static_cast<const void *>(this), sizeof table);
  std::memcpy(m_table, table - kTablePrefix, sizeof m_table);
  m_table[kTablePrefix + slot] = code;
  const void *const *own = m_table + kTablePrefix;
  std::memcpy(static_cast<void *>(this), &own, sizeof own);
#endif
}

bool CVOXExpression::DependsOnSpace() const {
  return m_builder->DependsOnSpace(*m_tree);
}

bool CVOXExpression::DependsOnTime() const {
  return m_builder->DependsOnTime(*m_tree);
}

// The steps are the walk's at once: for a program that calls nothing,
// the host's call runs them here, with no call between.
template <FlatWalk kWalk>
std::pair<bool, double>
CVOXFlatExpression<kWalk>::Evaluate(std::uintptr_t context) const {
  return flat_walk::RunWalk<kWalk>(Form().Flat().Steps().data(), context);
}

CVOXExpression *
NewExpression(const boost::shared_ptr<IVOXExpressionParser> &parser,
              const boost::shared_ptr<CExpressionBuilder> &builder,
              std::unique_ptr<calc_nmspace::TOKEN> &tree, RECORDS_PTR &records,
              CCompiledForm &form) {
  if (form.SingleValue() != nullptr)
    return new CVOXValueExpression(parser, builder, tree, records, form);
  if (form.Serving() != Tier::kFlatProgram) {
    CVOXExpression *expression =
        new CVOXExpression(parser, builder, tree, records, form);
    expression->LandCallsInCode();
    return expression;
  }
  switch (form.Flat().WalkKind()) {
  case FlatWalk::kInline:
    return new CVOXFlatExpression<FlatWalk::kInline>(parser, builder, tree,
                                                     records, form);
  case FlatWalk::kShallow:
    return new CVOXFlatExpression<FlatWalk::kShallow>(parser, builder, tree,
                                                      records, form);
  case FlatWalk::kDeep:
    break;
  }
  return new CVOXFlatExpression<FlatWalk::kDeep>(parser, builder, tree, records,
                                                 form);
}

void DeleteExpression(CVOXExpression *expression) { delete expression; }
