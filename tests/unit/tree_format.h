// Test helper: a parse tree as text, such as "[1, +, [2, *, 3]]".
#ifndef VOXEVAL_TESTS_UNIT_TREE_FORMAT_H
#define VOXEVAL_TESTS_UNIT_TREE_FORMAT_H

#include "builder/expression_builder.h"
#include "builder/token.h"

#include <algorithm>
#include <memory>
#include <string>

// Operators by their sign (from the kind, so a wrong kind shows), groups as
// their items in brackets, everything else by the text it was read from.
inline std::string FormatTree(const calc_nmspace::TOKEN &token) {
  if (const STANDARD_NAME *row = OperatorRow(token.type))
    return row->name;
  if (token.type != TT_GROUP)
    return token.name;
  std::string out = "[";
  for (std::size_t i = 0; i < token.children.size(); ++i)
    out += (i > 0 ? ", " : "") + FormatTree(*token.children[i]);
  return out + "]";
}

// The tree that ParseGroup builds from position 0, or "null".
inline std::string ParseToText(const CExpressionBuilder &builder,
                               const std::u16string &text) {
  std::int32_t position = 0;
  std::unique_ptr<calc_nmspace::TOKEN> root(builder.ParseGroup(text, position));
  return root ? FormatTree(*root) : "null";
}

// Groups on the deepest path, the root counting as one.
inline int TreeDepth(const calc_nmspace::TOKEN &token) {
  int deepest = 0;
  for (const calc_nmspace::TOKEN *child : token.children)
    deepest = std::max(deepest, TreeDepth(*child));
  return token.type == TT_GROUP ? deepest + 1 : 0;
}

#endif
