// A compiled expression as the host sees it.
#ifndef VOXEVAL_FACADE_EXPRESSION_H
#define VOXEVAL_FACADE_EXPRESSION_H

#include <VOXEvalExpressions.h>

#include "builder/token.h"
#include "evaluation/stoken.h"
#include "execution/compiled_form.h"

#include <boost/shared_ptr.hpp>

#include <memory>

class CExpressionBuilder;

// Where there is machine code and tables of virtual functions are laid out
// as Microsoft's or the Itanium C++ ABI has them, an expression with code
// takes the host's call in the code (see LandCallsInCode).
#if defined(VOXEVAL_MACHINE_CODE) &&                                           \
    (defined(_MSC_VER) || defined(__GXX_ABI_VERSION))
#define VOXEVAL_OWN_TABLE 1
#endif

class CVOXExpression : public IVOXExpression {
public:
  // Takes ownership of the tree, of its compiled records and of the form
  // built from them. Holds the parser, and with it the builder every record
  // points into.
  CVOXExpression(const boost::shared_ptr<IVOXExpressionParser> &parser,
                 const boost::shared_ptr<CExpressionBuilder> &builder,
                 std::unique_ptr<calc_nmspace::TOKEN> &tree,
                 RECORDS_PTR &records, CCompiledForm &form);
  CVOXExpression(const CVOXExpression &) = delete;
  CVOXExpression &operator=(const CVOXExpression &) = delete;

  // The hot path: the form's jump into the code, as a tail call, the code
  // entered with the expression. Once LandCallsInCode has run, the host's
  // call goes to the code itself.
  std::pair<bool, double> Evaluate(std::uintptr_t context) const override;
  bool DependsOnSpace() const override;
  bool DependsOnTime() const override;

  // The parse tree and the records compiled from it, for tools that show how
  // the text was read.
  const calc_nmspace::TOKEN &Tree() const { return *m_tree; }
  const STOKEN &Records() const { return *m_records; }

  // Where the code has no value: the form's fallback, found from the
  // expression the code was entered with.
  static std::pair<bool, double> Fallback(const void *expression,
                                          std::uintptr_t context);
  // Where the form has code, the object's table of virtual functions
  // becomes a copy of its class's whose Evaluate is the code's entry: the
  // host's call lands in the code, with no jump between.
  void LandCallsInCode();

protected:
  const CCompiledForm &Form() const { return m_form; }

private:
  // Members go in reverse: the form (and its block of code) first, then
  // the records it reads, the parse tree, and the parser, which owns the
  // builder.
  boost::shared_ptr<IVOXExpressionParser> m_parser;
  boost::shared_ptr<CExpressionBuilder> m_builder;
  boost::shared_ptr<calc_nmspace::TOKEN> m_tree;
  boost::shared_ptr<STOKEN> m_records;
  CCompiledForm m_form;
#if defined(VOXEVAL_OWN_TABLE)
  // The table LandCallsInCode makes: what precedes the entries (Microsoft's
  // ABI: the type's locator; Itanium's: offset to top and type
  // information), then the interface's entries (Microsoft's ABI gives the
  // destructor one, Itanium's two).
#if defined(_MSC_VER)
  static const int kTablePrefix = 1;
  static const int kVirtualSlots = 4;
#else
  static const int kTablePrefix = 2;
  static const int kVirtualSlots = 5;
#endif
  const void *m_table[kTablePrefix + kVirtualSlots] = {};
#endif
};

// The same for a form that is a single variable or constant: the host's
// call reads it here at once, without the jump a form's Evaluate makes.
class CVOXValueExpression final : public CVOXExpression {
public:
  using CVOXExpression::CVOXExpression;

  std::pair<bool, double> Evaluate(std::uintptr_t) const override {
    return std::pair<bool, double>(true, FiniteOrZero(*Form().SingleValue()));
  }
};

// The same for a form served by its flat program (every form where no
// machine code is made: other processors, plans the code does not take,
// code memory refused): the host's call walks the steps itself, without
// asking for code that is not there, one class for each kind of walk.
template <FlatWalk kWalk>
class CVOXFlatExpression final : public CVOXExpression {
public:
  using CVOXExpression::CVOXExpression;

  std::pair<bool, double> Evaluate(std::uintptr_t context) const override;
};

// An expression for the form, of the class that serves it fastest.
CVOXExpression *
NewExpression(const boost::shared_ptr<IVOXExpressionParser> &parser,
              const boost::shared_ptr<CExpressionBuilder> &builder,
              std::unique_ptr<calc_nmspace::TOKEN> &tree, RECORDS_PTR &records,
              CCompiledForm &form);

// The deleter of every expression handle.
void DeleteExpression(CVOXExpression *expression);

#endif
