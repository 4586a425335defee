// Whether a parse tree reads a variable, decided by the storage address.
#include "builder/expression_builder.h"

using calc_nmspace::TOKEN;

// Only groups are descended into and only variable tokens can match; a
// function's argument is the item after it in the same list.
bool CExpressionBuilder::DependsOnVariable(const TOKEN &token,
                                           const double *address) const {
  if (token.type == TT_GROUP) {
    for (const TOKEN *child : token.children) {
      if (DependsOnVariable(*child, address))
        return true;
    }
    return false;
  }
  return token.type == TT_DOUBLE_REF && token.value.dref == address;
}

bool CExpressionBuilder::DependsOnSpace(const TOKEN &root) const {
  for (const STANDARD_NAME &row : StandardNames()) {
    if (row.coordinate && DependsOnVariable(root, &(this->*row.storage)))
      return true;
  }
  return false;
}

bool CExpressionBuilder::DependsOnTime(const TOKEN &root) const {
  for (const STANDARD_NAME &row : StandardNames()) {
    if (row.time && DependsOnVariable(root, &(this->*row.storage)))
      return true;
  }
  return false;
}
