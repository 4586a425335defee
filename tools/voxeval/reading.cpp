#include "reading.h"

#include "builder/standard_names.h"
#include "builder/token.h"
#include "evaluation/evaluator.h"
#include "facade/expression.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

using calc_nmspace::TOKEN;

namespace voxeval {

namespace {

typedef std::vector<TOKEN *> Items;

std::string Quote(const std::string &text) { return "'" + text + "'"; }

// The operator's sign, from its row of the table of standard names.
const char *Sign(TOKEN_TYPE type) {
  const STANDARD_NAME *row = OperatorRow(type);
  return row != nullptr ? row->name : "?";
}

// How tightly an operator binds in the usual reading of a formula (its
// priority turned round: "^" the tightest, and from the right there),
// which the "same as" formula must not depend on: this language works each
// group left to right.
int Binding(TOKEN_TYPE type) {
  const STANDARD_NAME *row = OperatorRow(type);
  return 3 - (row != nullptr ? row->priority : 0);
}

std::string ItemText(const TOKEN &item);

// Items [from, from + count) as held, separated by blanks; a function is
// written next to the parentheses of its argument.
std::string ItemsText(const Items &items, std::size_t from, std::size_t count) {
  std::string text;
  for (std::size_t i = from; i < from + count; ++i) {
    const bool call = i > from && items[i - 1]->type == TT_FUNCTION &&
                      items[i]->type == TT_GROUP && !items[i]->operand;
    if (i > from && !call)
      text += ' ';
    text += ItemText(*items[i]);
  }
  return text;
}

std::string ItemText(const TOKEN &item) {
  if (item.type == TT_GROUP) {
    const std::string inside =
        ItemsText(item.children, 0, item.children.size());
    return item.operand ? "[" + inside + "]" : "(" + inside + ")";
  }
  return IsOperator(item.type) ? Sign(item.type) : item.name;
}

std::string NotFinite(double value) {
  return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
}

// Writes a group the way the evaluator works it out: left to right, each
// value combined with the result so far by the operator before it. The
// group's records, walked in step, tell which groups are not finite.
class Reader {
public:
  std::vector<std::string> notes;

  // `where` names the group in notes.
  std::string Group(const TOKEN &group, const STOKEN *records,
                    const std::string &where) {
    const Items &items = group.children;
    const std::size_t n = items.size();
    if (records != nullptr &&
        (records->type != TT_GROUP ||
         records->value.group.count != static_cast<std::int32_t>(n)))
      records = nullptr;
    std::string result;
    // The loosest operator written at the result's top level (0: none).
    int loosest = 0;
    TOKEN_TYPE prev = TT_NONE;
    for (std::size_t i = 0; i < n; ++i) {
      const TOKEN &item = *items[i];
      // An operator between two values only says how they combine.
      if (IsOperator(item.type) && prev != TT_NONE && !IsOperator(prev)) {
        prev = item.type;
        continue;
      }
      std::size_t used = 1;
      const std::string value = Value(items, records, i, prev, used);
      if (prev == TT_NONE)
        result = value;
      else if (IsOperator(prev)) {
        // Read the usual way, a tighter operator (or a "^" after "^")
        // would take only the last value of the result so far.
        const int binding = Binding(prev);
        if (loosest != 0 && (loosest < binding || binding == Binding(TT_POW))) {
          result = "(" + result + ")";
          loosest = 0;
        }
        loosest = loosest == 0 ? binding : std::min(loosest, binding);
        result += std::string(" ") + Sign(prev) + " " + value;
      } else
        notes.push_back(Quote(ItemsText(items, i, used)) +
                        " follows a value with no operator between: it is "
                        "dropped");
      prev = item.type;
      i += used - 1;
    }
    if (n > 0 && IsOperator(items[n - 1]->type))
      notes.push_back(Quote(Sign(items[n - 1]->type)) + " ends " + where +
                      " with nothing after it: it is dropped");
    return n == 0 ? "0" : result;
  }

private:
  static const STOKEN *Record(const STOKEN *group, std::size_t i) {
    return group != nullptr ? &group->value.group.items[i] : nullptr;
  }

  // What item i stands for; `used` grows when a function takes the next
  // item as its argument. An operator stands for 0 where a value should be.
  std::string Value(const Items &items, const STOKEN *records, std::size_t i,
                    TOKEN_TYPE prev, std::size_t &used) {
    const TOKEN &item = *items[i];
    if (IsOperator(item.type)) {
      if (prev != TT_NONE)
        notes.push_back(Quote(Sign(prev)) + " is followed by " +
                        Quote(Sign(item.type)) + ": " + Quote(Sign(prev)) +
                        " takes 0, and " + Quote(Sign(item.type)) +
                        " acts on the result so far");
      return "0";
    }
    if (item.type == TT_FUNCTION)
      return Function(items, records, i, used);
    if (item.type == TT_GROUP)
      return "(" + Nested(item, Record(records, i)) + ")";
    return item.name;
  }

  // A nested group, with a note when its value is not finite.
  std::string Nested(const TOKEN &group, const STOKEN *record) {
    const std::string text = Group(group, record, ItemText(group));
    if (record != nullptr) {
      const double value = EvaluateGroup(*record, 0);
      if (!std::isfinite(value))
        notes.push_back(ItemText(group) + " is not finite (" +
                        NotFinite(value) + "): it counts as 0");
    }
    return text;
  }

  // A function takes the item after it; an operator, a function or a host
  // callback there gives it 0.
  std::string Function(const Items &items, const STOKEN *records, std::size_t i,
                       std::size_t &used) {
    const std::string &name = items[i]->name;
    if (i + 1 == items.size()) {
      notes.push_back(Quote(name) +
                      " has nothing after it: it gives 0 and is not called");
      return "0";
    }
    const TOKEN &argument = *items[i + 1];
    if (argument.type == TT_GROUP) {
      used = 2;
      return name + "(" + Nested(argument, Record(records, i + 1)) + ")";
    }
    if (IsOperator(argument.type) || argument.type == TT_FUNCTION ||
        argument.type == TT_CALLBACK) {
      notes.push_back(Quote(name) + " is followed by " +
                      Quote(ItemText(argument)) +
                      ", not by its argument: it is applied to 0");
      return name + "(0)";
    }
    used = 2;
    return name + "(" + argument.name + ")";
  }
};

} // namespace

bool ReadExpression(const IVOXExpression &expression, Reading &reading) {
  const CVOXExpression *compiled =
      dynamic_cast<const CVOXExpression *>(&expression);
  if (compiled == nullptr)
    return false;
  const TOKEN &tree = compiled->Tree();
  Reader reader;
  reading.groups = ItemsText(tree.children, 0, tree.children.size());
  reading.sameAs = reader.Group(tree, &compiled->Records(), "the formula");
  const double value = EvaluateGroup(compiled->Records(), 0);
  if (!std::isfinite(value))
    reader.notes.push_back("the formula's value is not finite (" +
                           NotFinite(value) + "): it counts as 0");
  reading.notes = reader.notes;
  return true;
}

} // namespace voxeval
