// Tokens and the standard name table every builder starts with.
#include "builder/expression_builder.h"
#include "builder/token.h"

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

namespace {

struct StandardRow {
  const char16_t *key;
  TOKEN_TYPE type;
  std::int32_t priority;
};

// Table order: the order in which the lexer tries the keys.
const StandardRow kStandardRows[] = {
    {u"(", TT_LPAREN, -1},
    {u")", TT_RPAREN, -1},
    {u"*", TT_MUL, 1},
    {u"+", TT_PLUS, 2},
    {u"-", TT_MINUS, 2},
    {u"/", TT_DIV, 1},
    {u"AbsVelosity", TT_DOUBLE_REF, -1},
    {u"Density", TT_DOUBLE_REF, -1},
    {u"DinViscosity", TT_DOUBLE_REF, -1},
    {u"PoreSize", TT_DOUBLE_REF, -1},
    {u"Re", TT_DOUBLE_REF, -1},
    {u"^", TT_POW, 0},
    {u"cos", TT_FUNCTION, -1},
    {u"exp", TT_FUNCTION, -1},
    {u"gol", TT_PLACEHOLDER, -1},
    {u"log", TT_FUNCTION, -1},
    {u"phi", TT_DOUBLE_REF, -1},
    {u"pi", TT_DOUBLE, -1},
    {u"r", TT_DOUBLE_REF, -1},
    {u"sin", TT_FUNCTION, -1},
    {u"t", TT_DOUBLE_REF, -1},
    {u"tan", TT_FUNCTION, -1},
    {u"theta", TT_DOUBLE_REF, -1},
    {u"x", TT_DOUBLE_REF, -1},
    {u"y", TT_DOUBLE_REF, -1},
    {u"z", TT_DOUBLE_REF, -1},
    {u"{SI}", TT_DOUBLE_REF, -1},
    {u"{Unit}", TT_DOUBLE_REF, -1},
};

double StandardValue(const std::u16string &name, double v) {
  if (name == u"sin")
    return std::sin(v);
  if (name == u"cos")
    return std::cos(v);
  if (name == u"tan")
    return std::tan(v);
  if (name == u"exp")
    return std::exp(v);
  return std::log(v);
}

} // namespace

TEST(NameTable, HoldsTheTwentyEightStandardEntriesInKeyOrder) {
  CExpressionBuilder builder;
  const CExpressionBuilder::NameTable &table = builder.GetNameTable();
  ASSERT_EQ(table.size(), 28u);
  std::size_t i = 0;
  std::set<const double *> targets;
  for (const auto &entry : table) {
    const StandardRow &row = kStandardRows[i++];
    const std::u16string key = entry.first;
    SCOPED_TRACE(WideToNarrow(key));
    ASSERT_EQ(key, std::u16string(row.key));
    const TOKEN &token = entry.second;
    EXPECT_EQ(token.type, row.type);
    EXPECT_EQ(token.priority, row.priority);
    EXPECT_TRUE(token.name.empty());
    EXPECT_TRUE(token.children.empty());
    switch (row.type) {
    case TT_FUNCTION:
      for (double v : {0.5, 1.0, 2.0})
        EXPECT_EQ(token.value.func(v), StandardValue(key, v));
      break;
    case TT_DOUBLE_REF:
      ASSERT_NE(token.value.dref, nullptr);
      EXPECT_EQ(*token.value.dref, 0.0);
      targets.insert(token.value.dref);
      break;
    case TT_DOUBLE:
      EXPECT_EQ(token.value.dval, 3.1415926);
      EXPECT_NE(token.value.dval, 3.141592653589793);
      break;
    case TT_PLACEHOLDER:
      EXPECT_EQ(token.value.ival, 1);
      break;
    default:
      EXPECT_TRUE(AllValueBytesZero(token));
      break;
    }
  }
  // Fourteen variables, each with storage of its own.
  EXPECT_EQ(targets.size(), 14u);
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
