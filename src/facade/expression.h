// A compiled expression as the host sees it.
#ifndef VOXEVAL_FACADE_EXPRESSION_H
#define VOXEVAL_FACADE_EXPRESSION_H

#include "builder/token.h"
#include "evaluation/flat_program.h"
#include "evaluation/machine_program.h"
#include "evaluation/stoken.h"
#include "facade/parser_facade.h"

#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>

class CVOXExpression : public IVOXExpression {
public:
  // Takes ownership of the tree and of its compiled records, and lays the
  // plan read from them out for evaluation.
  CVOXExpression(const boost::shared_ptr<CVOXExpressionParser> &parser,
                 std::unique_ptr<calc_nmspace::TOKEN> &tree,
                 std::unique_ptr<STOKEN, void (*)(STOKEN *)> &compiled,
                 const CVisitPlan *plan);
  ~CVOXExpression() override;
  CVOXExpression(const CVOXExpression &) = delete;
  CVOXExpression &operator=(const CVOXExpression &) = delete;

  std::pair<bool, double> Evaluate(std::uintptr_t context) const override;
  bool DependsOnSpace() const override;
  bool DependsOnTime() const override;

  // The parse tree and the records compiled from it, for tools that show how
  // the text was read.
  const calc_nmspace::TOKEN &Tree() const { return *m_tree; }
  const STOKEN &Records() const { return *m_compiled; }

protected:
  // The one variable or constant the tree is, or null.
  const double *SingleValue() const { return m_program.Leaf(); }

private:
  // Evaluation where the machine code has no value.
  static std::pair<bool, double> Fallback(const void *expression,
                                          std::uintptr_t context);

  // Keeps the builder, and so every variable the records point at, alive.
  boost::shared_ptr<CVOXExpressionParser> m_parser;
  boost::shared_ptr<calc_nmspace::TOKEN> m_tree;
  boost::shared_ptr<STOKEN> m_compiled;
  // The records translated for evaluation; empty when they are evaluated
  // as they are.
  CFlatProgram m_program;
  // The same as machine code, tried first where there is some.
  CMachineProgram m_machine;
};

// A tree that is a single variable or constant, read at once: the host's
// call lands here without a further jump.
class CVOXValueExpression final : public CVOXExpression {
public:
  using CVOXExpression::CVOXExpression;

  std::pair<bool, double> Evaluate(std::uintptr_t) const override {
    return std::pair<bool, double>(true, FlatFinite(*SingleValue()));
  }
};

// The deleter of every expression handle.
void DeleteExpression(CVOXExpression *expression);

// Parses and compiles the text; an empty handle when it cannot be parsed.
boost::shared_ptr<IVOXExpression>
MakeExpression(const boost::shared_ptr<CVOXExpressionParser> &parser,
               const std::u16string &text);

#endif
