// Evaluation record trees for the unit tests: leaves by value, groups that
// take ownership of their items, a holder that frees them, and the records
// the builder compiles from a text.
#ifndef VOXEVAL_TESTS_RECORD_TREES_H
#define VOXEVAL_TESTS_RECORD_TREES_H

#include "builder/expression_builder.h"
#include "evaluation/evaluator.h"
#include "evaluation/stoken.h"
#include "platform/runtime.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>

inline STOKEN Rec(TOKEN_TYPE type) {
  STOKEN r = STOKEN();
  r.type = type;
  return r;
}

inline STOKEN Num(double v) {
  STOKEN r = Rec(TT_DOUBLE);
  r.value.dval = v;
  return r;
}

inline STOKEN Var(double *v) {
  STOKEN r = Rec(TT_DOUBLE_REF);
  r.value.dref = v;
  return r;
}

inline STOKEN Fn(EVAL_FUNCTION f) {
  STOKEN r = Rec(TT_FUNCTION);
  r.value.func = f;
  return r;
}

inline STOKEN Cb(EVAL_CALLBACK c) {
  STOKEN r = Rec(TT_CALLBACK);
  r.value.callback = c;
  return r;
}

// The record with a heap copy of the name, as the image reader leaves it.
inline STOKEN Named(STOKEN r, const char *name) {
  r.name = DuplicateString(name);
  return r;
}

const STOKEN Plus = Rec(TT_PLUS), Minus = Rec(TT_MINUS), Mul = Rec(TT_MUL),
             Div = Rec(TT_DIV), Pow = Rec(TT_POW);

// The items move into the group's own array.
inline STOKEN Group(std::initializer_list<STOKEN> items) {
  STOKEN g = Rec(TT_GROUP);
  g.value.group.count = static_cast<std::int32_t>(items.size());
  g.value.group.items = AllocSTokens(g.value.group.count);
  std::int32_t i = 0;
  for (const STOKEN &item : items)
    g.value.group.items[i++] = item;
  return g;
}

// Owns a root record and frees everything below it.
struct Tree {
  STOKEN root;
  explicit Tree(STOKEN r) : root(r) {}
  ~Tree() { FreeSToken(root); }
  Tree(const Tree &) = delete;
  Tree &operator=(const Tree &) = delete;
  double Value(std::uintptr_t context = 0) const {
    return EvaluateSToken(&root, context);
  }
  const STOKEN &Item(std::int32_t i) const { return root.value.group.items[i]; }
};

// The bound records of an ASCII text as the builder compiles it, or null
// when it does not parse.
inline std::unique_ptr<Tree>
CompileText(const boost::shared_ptr<CExpressionBuilder> &builder,
            const std::string &text) {
  const std::u16string wide(text.begin(), text.end());
  std::int32_t position = 0;
  std::unique_ptr<calc_nmspace::TOKEN> tree(
      builder->ParseGroup(wide, position));
  if (!tree)
    return nullptr;
  STOKEN *root = tree->Compile(builder);
  std::unique_ptr<Tree> owned(new Tree(*root));
  std::free(root);
  return owned;
}

#endif
