// The evaluator: each group is read strictly from left to right; priority
// lives only in the nesting the parser built.
#include "evaluation/evaluator.h"

#include "evaluation/arithmetic.h"

#include <cmath>

namespace {

// True when evaluating the group would call a host callback somewhere.
bool GroupHoldsCallback(const STOKEN &group) {
  for (std::int32_t i = 0; i < group.value.group.count; ++i) {
    const STOKEN &item = group.value.group.items[i];
    if (item.type == TT_CALLBACK)
      return true;
    if (item.type == TT_GROUP && GroupHoldsCallback(item))
      return true;
  }
  return false;
}

// True when visiting item i of a group would call a host callback: the item
// is one, holds one, or is a function whose argument holds one.
bool VisitCallsCallback(const STOKEN *items, std::int32_t i, std::int32_t n) {
  const STOKEN &item = items[i];
  switch (item.type) {
  case TT_CALLBACK:
    return true;
  case TT_GROUP:
    return GroupHoldsCallback(item);
  case TT_FUNCTION:
    return i + 1 < n && items[i + 1].type == TT_GROUP &&
           GroupHoldsCallback(items[i + 1]);
  default:
    return false;
  }
}

// The value an item contributes when it is visited. A function takes the
// value of the item after it; without one it gives 0.0 and is not called.
double ItemValue(const STOKEN *items, std::int32_t i, std::int32_t n,
                 std::uintptr_t context) {
  const STOKEN &item = items[i];
  if (item.type == TT_FUNCTION) {
    if (i + 1 >= n)
      return 0.0;
    return ApplyFunction(item, EvaluateSToken(&items[i + 1], context));
  }
  if (item.type == TT_CALLBACK)
    return item.value.callback != nullptr ? item.value.callback(context) : 0.0;
  return EvaluateSToken(&item, context);
}

} // namespace

double EvaluateSToken(const STOKEN *record, std::uintptr_t context) {
  if (record == nullptr)
    return 0.0;
  double v = 0.0;
  switch (record->type) {
  case TT_INT:
    v = record->value.ival;
    break;
  case TT_FLOAT:
    v = record->value.fval;
    break;
  case TT_DOUBLE:
    v = record->value.dval;
    break;
  case TT_INT_REF:
    v = record->value.iref != nullptr ? *record->value.iref : 0.0;
    break;
  case TT_FLOAT_REF:
    v = record->value.fref != nullptr ? *record->value.fref : 0.0;
    break;
  case TT_DOUBLE_REF:
    v = record->value.dref != nullptr ? *record->value.dref : 0.0;
    break;
  case TT_GROUP:
    v = EvaluateGroup(*record, context);
    break;
  default:
    v = 0.0;
    break;
  }
  return FiniteOrZero(v);
}

double ApplyFunction(const STOKEN &record, double x) {
  if (record.type != TT_FUNCTION || record.value.func == nullptr)
    return 0.0;
  return record.value.func(x);
}

// An item right after a function is that function's argument: its own visit
// is dropped, so it is made only when a callback would see it. Otherwise
// nested functions would cost twice the work per level.
double EvaluateGroup(const STOKEN &group, std::uintptr_t context) {
  if (group.type != TT_GROUP || group.value.group.count <= 0)
    return 0.0;
  const STOKEN *items = group.value.group.items;
  const std::int32_t n = group.value.group.count;
  double acc = 0.0;
  TOKEN_TYPE prev = TT_NONE;
  for (std::int32_t i = 0; i < n; ++i) {
    if (prev != TT_FUNCTION || VisitCallsCallback(items, i, n))
      acc = Combine(ModeAfter(prev), acc, ItemValue(items, i, n, context));
    prev = items[i].type;
  }
  return acc;
}
