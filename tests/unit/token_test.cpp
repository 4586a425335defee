// Tokens and the standard name table every builder starts with.
#include "builder/expression_builder.h"
#include "builder/token.h"
#include "standard_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

using calc_nmspace::TOKEN;

namespace {

TOKEN *Leaf(TOKEN_TYPE type, const std::string &name, double value = 0.0) {
  TOKEN *token = new TOKEN;
  token->type = type;
  token->name = name;
  if (type == TT_DOUBLE)
    token->value.dval = value;
  return token;
}

TOKEN *Group(std::initializer_list<TOKEN *> children) {
  TOKEN *group = new TOKEN;
  group->type = TT_GROUP;
  group->children.assign(children.begin(), children.end());
  return group;
}

// [1, +, [2, *, [x]], -, 3]
TOKEN *NestedTree() {
  return Group({Leaf(TT_DOUBLE, "1", 1.0), Leaf(TT_PLUS, "+"),
                Group({Leaf(TT_DOUBLE, "2", 2.0), Leaf(TT_MUL, "*"),
                       Group({Leaf(TT_DOUBLE_REF, "x")})}),
                Leaf(TT_MINUS, "-"), Leaf(TT_DOUBLE, "3", 3.0)});
}

bool AllValueBytesZero(const TOKEN &token) {
  const unsigned char *bytes =
      reinterpret_cast<const unsigned char *>(&token.value);
  for (std::size_t i = 0; i < sizeof token.value; ++i) {
    if (bytes[i] != 0)
      return false;
  }
  return true;
}

double Twice(double v) { return 2 * v; }
double Seven(std::uintptr_t) { return 7.0; }

} // namespace

TEST(Token, FreshTokenHasNoKindNoPriorityNoValue) {
  TOKEN token;
  EXPECT_EQ(token.type, TT_NONE);
  EXPECT_EQ(token.priority, -1);
  EXPECT_EQ(token.value.dval, 0.0);
  EXPECT_TRUE(AllValueBytesZero(token));
  EXPECT_TRUE(token.name.empty());
  EXPECT_TRUE(token.children.empty());
  EXPECT_EQ(sizeof token.value, 8u);
}

// Leaks of the subtree show up under the leak checker.
TEST(Token, ClearChildrenOfGroupFreesWholeSubtreeAndKeepsTheRest) {
  std::unique_ptr<TOKEN> tree(NestedTree());
  tree->name = "root";
  tree->priority = 5;
  tree->ClearChildren();
  EXPECT_EQ(tree->type, TT_GROUP);
  EXPECT_TRUE(tree->children.empty());
  EXPECT_EQ(tree->name, "root");
  EXPECT_EQ(tree->priority, 5);
}

// A non-group does not own what its list points at: the list empties, the
// tokens stay (deleting stack objects would be caught by the sanitizer).
TEST(Token, ClearChildrenOfNonGroupOnlyForgetsTheList) {
  TOKEN a, b;
  a.name = "a";
  TOKEN token;
  token.SetDouble(4.5);
  token.name = "4.5";
  token.children.push_back(&a);
  token.children.push_back(&b);
  token.ClearChildren();
  EXPECT_TRUE(token.children.empty());
  EXPECT_EQ(token.type, TT_DOUBLE);
  EXPECT_EQ(token.value.dval, 4.5);
  EXPECT_EQ(token.name, "4.5");
  EXPECT_EQ(a.name, "a");
}

TEST(Token, SettersOnGroupFreeSubtreeThenSetKindAndValue) {
  double storage = 0.0;
  struct Case {
    const char *what;
    void (*apply)(TOKEN &, double *);
    TOKEN_TYPE type;
  };
  const Case cases[] = {
      {"SetInt", [](TOKEN &t, double *) { t.SetInt(-42); }, TT_INT},
      {"SetDouble", [](TOKEN &t, double *) { t.SetDouble(2.5); }, TT_DOUBLE},
      {"SetDoubleRef", [](TOKEN &t, double *d) { t.SetDoubleRef(d); },
       TT_DOUBLE_REF},
      {"SetFunction", [](TOKEN &t, double *) { t.SetFunction(Twice); },
       TT_FUNCTION},
      {"SetCallback", [](TOKEN &t, double *) { t.SetCallback(Seven); },
       TT_CALLBACK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TOKEN> tree(NestedTree());
    tree->priority = 1;
    tree->name = "kept";
    c.apply(*tree, &storage);
    EXPECT_EQ(tree->type, c.type);
    EXPECT_TRUE(tree->children.empty());
    EXPECT_EQ(tree->priority, 1);
    EXPECT_EQ(tree->name, "kept");
    switch (c.type) {
    case TT_INT:
      EXPECT_EQ(tree->value.ival, -42);
      break;
    case TT_DOUBLE:
      EXPECT_EQ(tree->value.dval, 2.5);
      break;
    case TT_DOUBLE_REF:
      EXPECT_EQ(tree->value.dref, &storage);
      break;
    case TT_FUNCTION:
      EXPECT_EQ(tree->value.func(3.0), 6.0);
      break;
    default:
      EXPECT_EQ(tree->value.callback(0), 7.0);
      break;
    }
  }
}

TEST(Token, CopyFromIsDeepAndIndependentOfTheSource) {
  std::unique_ptr<TOKEN> source(NestedTree());
  source->priority = 3;
  source->name = "root";
  TOKEN copy;
  // Whatever the target held before goes (the leak checker sees it).
  copy.type = TT_GROUP;
  copy.children.push_back(NestedTree());
  copy.CopyFrom(*source);

  ASSERT_EQ(copy.type, TT_GROUP);
  EXPECT_EQ(copy.priority, 3);
  EXPECT_EQ(copy.name, "root");
  ASSERT_EQ(copy.children.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i)
    EXPECT_NE(copy.children[i], source->children[i]);
  const TOKEN &inner = *copy.children[2];
  ASSERT_EQ(inner.type, TT_GROUP);
  ASSERT_EQ(inner.children.size(), 3u);
  EXPECT_EQ(inner.children[0]->value.dval, 2.0);
  EXPECT_EQ(inner.children[1]->type, TT_MUL);
  ASSERT_EQ(inner.children[2]->children.size(), 1u);
  EXPECT_EQ(inner.children[2]->children[0]->name, "x");

  // Changing and then destroying the source leaves the copy as it was.
  source->children[2]->children[2]->children[0]->name = "changed";
  source->children[0]->value.dval = 99.0;
  source.reset();
  EXPECT_EQ(copy.children[0]->value.dval, 1.0);
  EXPECT_EQ(copy.children[2]->children[2]->children[0]->name, "x");

  copy.CopyFrom(copy);
  EXPECT_EQ(copy.children.size(), 5u);
}

TEST(Token, CopyFromLeafTakesEveryField) {
  double storage = 1.0;
  TOKEN source;
  source.SetDoubleRef(&storage);
  source.priority = 2;
  source.name = "v";
  source.operand = true;
  TOKEN copy;
  copy.SetDouble(8.0);
  copy.CopyFrom(source);
  EXPECT_EQ(copy.type, TT_DOUBLE_REF);
  EXPECT_EQ(copy.value.dref, &storage);
  EXPECT_EQ(copy.priority, 2);
  EXPECT_EQ(copy.name, "v");
  EXPECT_TRUE(copy.operand);
}

// Every row of the table of standard names is an entry of a fresh name
// table, made as its kind says, and nothing else is.
TEST(NameTable, HoldsEveryStandardRowAndNothingElse) {
  CExpressionBuilder builder;
  const CExpressionBuilder::NameTable &table = builder.GetNameTable();
  ASSERT_EQ(table.size(), StandardNames().count);
  std::set<const double *> targets;
  for (const STANDARD_NAME &row : StandardNames()) {
    SCOPED_TRACE(row.name);
    const std::u16string key(row.name, row.name + std::strlen(row.name));
    ASSERT_EQ(table.count(key), 1u);
    const TOKEN &token = table.at(key);
    EXPECT_TRUE(token.name.empty());
    EXPECT_TRUE(token.children.empty());
    const bool isOperator = row.kind == StandardKind::kOperator;
    EXPECT_EQ(token.priority, isOperator ? row.priority : -1);
    switch (row.kind) {
    case StandardKind::kOperator:
    case StandardKind::kBracket:
      EXPECT_EQ(token.type, row.type);
      EXPECT_TRUE(AllValueBytesZero(token));
      break;
    case StandardKind::kFunction:
      EXPECT_EQ(token.type, TT_FUNCTION);
      for (double v : {0.5, 1.0, 2.0})
        EXPECT_EQ(token.value.func(v), row.library(v));
      break;
    case StandardKind::kVariable:
      EXPECT_EQ(token.type, TT_DOUBLE_REF);
      ASSERT_NE(token.value.dref, nullptr);
      EXPECT_EQ(*token.value.dref, 0.0);
      targets.insert(token.value.dref);
      break;
    case StandardKind::kConstant:
      EXPECT_EQ(token.type, TT_DOUBLE);
      EXPECT_EQ(token.value.dval, row.value);
      break;
    case StandardKind::kPlaceholder:
      EXPECT_EQ(token.type, TT_PLACEHOLDER);
      EXPECT_EQ(token.value.ival, 1);
      break;
    }
  }
  // Each variable with storage of its own.
  EXPECT_EQ(targets.size(), static_cast<std::size_t>(
                                StandardRowCount(StandardKind::kVariable)));
  // "pi" is the double nearest 3.1415926, not pi.
  EXPECT_EQ(table.at(u"pi").value.dval, 3.1415926);
}

// Each variable entry points at the storage SetValue writes for that name.
TEST(NameTable, VariableEntriesPointAtTheirOwnStorage) {
  CExpressionBuilder builder;
  double v = 1.0;
  for (const auto &entry : builder.GetNameTable()) {
    if (entry.second.type != TT_DOUBLE_REF)
      continue;
    SCOPED_TRACE(WideToNarrow(entry.first));
    ASSERT_TRUE(builder.SetValue(entry.first, v));
    EXPECT_EQ(*entry.second.value.dref, v);
    v += 1.0;
  }
  // No two names share storage: every value survived the later writes.
  v = 1.0;
  for (const auto &entry : builder.GetNameTable()) {
    if (entry.second.type != TT_DOUBLE_REF)
      continue;
    EXPECT_EQ(*entry.second.value.dref, v);
    v += 1.0;
  }
}

TEST(NameTable, LookupsAreCaseSensitive) {
  CExpressionBuilder builder;
  const CExpressionBuilder::NameTable &table = builder.GetNameTable();
  for (const char16_t *name : {u"X", u"Sin", u"SIN", u"Pi", u"PI", u"density",
                               u"re", u"{si}", u"{unit}", u"Gol", u"Theta"}) {
    SCOPED_TRACE(WideToNarrow(name));
    EXPECT_EQ(table.count(name), 0u);
    EXPECT_FALSE(builder.SetValue(name, 1.0));
  }
}

TEST(NameTable, TwoBuildersPointAtDifferentStorage) {
  CExpressionBuilder a, b;
  const TOKEN &xa = a.GetNameTable().at(u"x");
  const TOKEN &xb = b.GetNameTable().at(u"x");
  EXPECT_NE(xa.value.dref, xb.value.dref);
  ASSERT_TRUE(a.SetValue(u"x", 5.0));
  EXPECT_EQ(*xa.value.dref, 5.0);
  EXPECT_EQ(*xb.value.dref, 0.0);
  // The functions are the same everywhere.
  EXPECT_EQ(a.GetNameTable().at(u"sin").value.func,
            b.GetNameTable().at(u"sin").value.func);
}
