#include "builder/token.h"

#include <cstring>
#include <memory>

namespace calc_nmspace {

TOKEN::TOKEN() : type(TT_NONE), priority(-1), operand(false) {
  std::memset(&value, 0, sizeof value);
}

TOKEN::~TOKEN() { ClearChildren(); }

// Only a group owns its children; any other kind merely forgets the list.
void TOKEN::ClearChildren() {
  if (type == TT_GROUP) {
    for (TOKEN *child : children)
      delete child;
  }
  children.clear();
}

// Deep copy: the target drops its own subtree first, then takes the
// source's fields and, for a group, a copy of each child in order.
void TOKEN::CopyFrom(const TOKEN &source) {
  if (&source == this)
    return;
  ClearChildren();
  type = source.type;
  name = source.name;
  priority = source.priority;
  value = source.value;
  operand = source.operand;
  if (type != TT_GROUP)
    return;
  children.reserve(source.children.size());
  for (const TOKEN *child : source.children) {
    std::unique_ptr<TOKEN> copy(new TOKEN);
    copy->CopyFrom(*child);
    children.push_back(copy.release());
  }
}

void TOKEN::SetInt(std::int32_t v) {
  ClearChildren();
  type = TT_INT;
  value.ival = v;
}

void TOKEN::SetDouble(double v) {
  ClearChildren();
  type = TT_DOUBLE;
  value.dval = v;
}

void TOKEN::SetDoubleRef(double *v) {
  ClearChildren();
  type = TT_DOUBLE_REF;
  value.dref = v;
}

void TOKEN::SetFunction(EVAL_FUNCTION f) {
  ClearChildren();
  type = TT_FUNCTION;
  value.func = f;
}

void TOKEN::SetCallback(EVAL_CALLBACK c) {
  ClearChildren();
  type = TT_CALLBACK;
  value.callback = c;
}

} // namespace calc_nmspace
