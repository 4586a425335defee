// The builder's names and values, and the binding registry beside them.
#include "builder/expression_builder.h"
#include "record_trees.h"
#include "standard_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

using calc_nmspace::TOKEN;

namespace {

double One(std::uintptr_t) { return 1.0; }
double Two(std::uintptr_t) { return 2.0; }

const TOKEN &Entry(const CExpressionBuilder &builder, const char16_t *name) {
  return builder.GetNameTable().at(name);
}

double *Storage(const CExpressionBuilder &builder, const char16_t *name) {
  const TOKEN &entry = Entry(builder, name);
  EXPECT_EQ(entry.type, TT_DOUBLE_REF);
  return entry.value.dref;
}

std::int32_t BindingIndex(const CExpressionBuilder &builder, const char *name) {
  const STOKEN *entry = builder.FindBinding(name);
  return entry == nullptr
             ? -1
             : static_cast<std::int32_t>(entry - builder.GetBindings());
}

const std::vector<std::string> kStandardBindings = StandardBindingNames();
const std::int32_t kBindings = StandardBindingCount();
const std::int32_t kFresh = FreshCount();

std::u16string Wide(const char *ascii) {
  return std::u16string(ascii, ascii + std::strlen(ascii));
}

} // namespace

TEST(Builder, SetValueAcceptsVariablesAndConstantsOnly) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.AddVariable(u"a"));
  ASSERT_TRUE(builder.AddFunction(u"f", One));
  struct Case {
    const char16_t *name;
    bool accepted;
  };
  const Case cases[] = {
      {u"x", true},  {u"Density", true}, {u"{SI}", true}, {u"a", true},
      {u"pi", true}, {u"sin", false},    {u"+", false},   {u"^", false},
      {u"(", false}, {u")", false},      {u"gol", false}, {u"f", false},
      {u"X", false}, {u"b", false},      {u"", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.name));
    EXPECT_EQ(builder.SetValue(c.name, 3.0), c.accepted);
  }
  EXPECT_EQ(*Storage(builder, u"x"), 3.0);
  EXPECT_EQ(*Storage(builder, u"a"), 3.0);
  EXPECT_EQ(Entry(builder, u"pi").value.dval, 3.0);
  // Refusals change nothing.
  EXPECT_EQ(Entry(builder, u"gol").type, TT_PLACEHOLDER);
  EXPECT_EQ(Entry(builder, u"gol").value.ival, 1);
  EXPECT_EQ(Entry(builder, u"f").value.callback, One);
  EXPECT_EQ(builder.GetCount(), kFresh + 4);
}

TEST(Builder, AddVariableRefusesKnownAndEmptyNames) {
  CExpressionBuilder builder;
  for (const char16_t *name : {u"x", u"", u"+", u"(", u"sin", u"pi", u"gol"}) {
    SCOPED_TRACE(WideToNarrow(name));
    EXPECT_FALSE(builder.AddVariable(name));
  }
  EXPECT_EQ(builder.GetCount(), kFresh);
  EXPECT_EQ(builder.GetUserVariableCount(), 0u);
  EXPECT_TRUE(builder.AddVariable(u"a"));
  EXPECT_FALSE(builder.AddVariable(u"a"));
  EXPECT_TRUE(builder.AddFunction(u"f", One));
  EXPECT_FALSE(builder.AddVariable(u"f"));
  EXPECT_EQ(builder.GetCount(), kFresh + 4);
  EXPECT_EQ(builder.GetUserVariableCount(), 1u);
  EXPECT_TRUE(builder.SetValue(u"a", 1.0));
}

TEST(Builder, AddFunctionRefusesEmptyNameAndNullCallback) {
  CExpressionBuilder builder;
  EXPECT_FALSE(builder.AddFunction(u"", One));
  EXPECT_FALSE(builder.AddFunction(u"f", nullptr));
  EXPECT_FALSE(builder.AddFunction(u"x", nullptr));
  EXPECT_EQ(builder.GetCount(), kFresh);
  EXPECT_EQ(builder.GetNameTable().count(u"f"), 0u);
  EXPECT_EQ(Entry(builder, u"x").type, TT_DOUBLE_REF);
}

// Both the table entry and the registry entry of "x" are replaced in place.
TEST(Builder, AddFunctionOverAVariableReplacesItInBothTables) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.SetValue(u"x", 2.0));
  double *x = Storage(builder, u"x");
  ASSERT_TRUE(builder.AddFunction(u"x", One));
  EXPECT_EQ(builder.GetCount(), kFresh);
  EXPECT_EQ(Entry(builder, u"x").type, TT_CALLBACK);
  EXPECT_EQ(Entry(builder, u"x").value.callback, One);
  EXPECT_EQ(BindingIndex(builder, "x"), StandardBindingIndex("x"));
  EXPECT_EQ(builder.GetBindings()[StandardBindingIndex("x")].type, TT_CALLBACK);
  EXPECT_EQ(builder.GetBindings()[StandardBindingIndex("x")].value.callback,
            One);
  EXPECT_FALSE(builder.SetValue(u"x", 5.0));
  EXPECT_EQ(*x, 2.0);
}

// An operator becomes a callback but keeps its priority; it was in the
// table only, so the registry grows by one.
TEST(Builder, AddFunctionOverAnOperatorKeepsItsPriority) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.AddFunction(u"*", Two));
  EXPECT_EQ(Entry(builder, u"*").type, TT_CALLBACK);
  EXPECT_EQ(Entry(builder, u"*").priority, 1);
  EXPECT_EQ(builder.GetCount(), kFresh + 1);
  EXPECT_EQ(BindingIndex(builder, "*"), kBindings);
}

TEST(Registry, HoldsTheStandardBindingsInTheTablesOrder) {
  CExpressionBuilder builder;
  ASSERT_EQ(builder.GetBindingCount(), kBindings);
  for (std::int32_t i = 0; i < kBindings; ++i) {
    const STOKEN &binding = builder.GetBindings()[i];
    const char *name = kStandardBindings[i].c_str();
    SCOPED_TRACE(name);
    ASSERT_NE(binding.name, nullptr);
    EXPECT_STREQ(binding.name, name);
    const TOKEN &entry = Entry(builder, Wide(name).c_str());
    if (i < StandardRowCount(StandardKind::kFunction)) {
      EXPECT_EQ(binding.type, TT_FUNCTION);
      EXPECT_EQ(binding.value.func, entry.value.func);
    } else {
      EXPECT_EQ(binding.type, TT_DOUBLE_REF);
      EXPECT_EQ(binding.value.dref, entry.value.dref);
    }
  }
  EXPECT_EQ(builder.GetBindings()[StandardBindingIndex("sin")].value.func(0.5),
            std::sin(0.5));
  EXPECT_EQ(builder.GetBindings()[StandardBindingIndex("log")].value.func(2.0),
            std::log(2.0));
  for (const char *absent : {"pi", "gol", "+", "(", "X", "Sin", ""})
    EXPECT_EQ(builder.FindBinding(absent), nullptr) << absent;
}

TEST(Registry, ClearEmptiesItAndLoadDefaultsRestoresTheSameOrder) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.AddVariable(u"a"));
  builder.Clear();
  // Compiled records may still read the host's storage: it is kept.
  EXPECT_EQ(builder.GetUserVariableCount(), 1u);
  EXPECT_EQ(builder.GetBindings(), nullptr);
  EXPECT_EQ(builder.GetBindingCount(), 0);
  EXPECT_EQ(builder.FindBinding("x"), nullptr);
  EXPECT_TRUE(builder.GetNameTable().empty());
  builder.LoadDefaults();
  ASSERT_EQ(builder.GetBindingCount(), kBindings);
  for (std::int32_t i = 0; i < kBindings; ++i)
    EXPECT_STREQ(builder.GetBindings()[i].name, kStandardBindings[i].c_str());
  EXPECT_EQ(builder.FindBinding("a"), nullptr);
}

TEST(Registry, NewNamesGoAtTheEndAndKnownNamesAreReplacedInPlace) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.AddVariable(u"a"));
  ASSERT_EQ(builder.GetBindingCount(), kBindings + 1);
  const STOKEN &a = builder.GetBindings()[kBindings];
  EXPECT_STREQ(a.name, "a");
  EXPECT_EQ(a.type, TT_DOUBLE_REF);
  EXPECT_EQ(a.value.dref, Storage(builder, u"a"));

  ASSERT_TRUE(builder.AddFunction(u"f", One));
  ASSERT_TRUE(builder.AddFunction(u"y", Two));
  ASSERT_TRUE(builder.AddFunction(u"f", Two));
  ASSERT_EQ(builder.GetBindingCount(), kBindings + 2);
  EXPECT_EQ(BindingIndex(builder, "f"), kBindings + 1);
  EXPECT_EQ(builder.GetBindings()[kBindings + 1].value.callback, Two);
  EXPECT_EQ(BindingIndex(builder, "y"), StandardBindingIndex("y"));
  EXPECT_EQ(builder.GetBindings()[StandardBindingIndex("y")].type, TT_CALLBACK);
  // Everything else kept its place.
  for (std::int32_t i = 0; i < kBindings; ++i)
    EXPECT_STREQ(builder.GetBindings()[i].name, kStandardBindings[i].c_str());
}

// The registry's array grows in steps, but every host name keeps its place
// and its own storage.
TEST(Registry, ManyHostVariablesKeepOrderAndCount) {
  CExpressionBuilder builder;
  const int n = 10000;
  for (int i = 0; i < n; ++i)
    ASSERT_TRUE(builder.AddVariable(Wide(("v" + std::to_string(i)).c_str())));
  EXPECT_EQ(builder.GetCount(), kFresh + 2 * n);
  ASSERT_EQ(builder.GetBindingCount(), kBindings + n);
  EXPECT_EQ(builder.GetUserVariableCount(), static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const std::string name = "v" + std::to_string(i);
    const STOKEN &binding = builder.GetBindings()[kBindings + i];
    ASSERT_STREQ(binding.name, name.c_str());
    const std::u16string wide = Wide(name.c_str());
    ASSERT_TRUE(builder.SetValue(wide, i));
    ASSERT_EQ(binding.value.dref, Storage(builder, wide.c_str()));
  }
  for (int i = 0; i < n; ++i)
    ASSERT_EQ(*builder.GetBindings()[kBindings + i].value.dref, i);
  for (std::int32_t i = 0; i < kBindings; ++i)
    EXPECT_STREQ(builder.GetBindings()[i].name, kStandardBindings[i].c_str());
  // Replacing one of them keeps the count and the place.
  ASSERT_TRUE(builder.AddFunction(u"v5000", One));
  EXPECT_EQ(builder.GetBindingCount(), kBindings + n);
  EXPECT_EQ(BindingIndex(builder, "v5000"), kBindings + 5000);
}

// Host names are keyed by their UTF-8 bytes whatever the process locale.
TEST(Registry, HostNamesAreKeyedByTheirUtf8Bytes) {
  struct Case {
    const char16_t *wide;
    const char *narrow;
  };
  const Case cases[] = {
      {u"\u03C1", "\xCF\x81"},                       // rho
      {u"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9"},       // two-byte forms
      {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},     // where three begin
      {u"\u20AC", "\xE2\x82\xAC"},                   // three bytes
      {u"\U0001D465", "\xF0\x9D\x91\xA5"},           // a surrogate pair
      {u"\xD800", "\xED\xA0\x80"},                   // lone high surrogate
      {u"\xDC00", "\xED\xB0\x80"},                   // lone low surrogate
      {u"a\xD801z", "a\xED\xA0\x81z"},               // lone, inside a name
      {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"}, // reversed pair
  };
  CExpressionBuilder builder;
  std::int32_t expected = kBindings;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.narrow);
    EXPECT_EQ(WideToNarrow(c.wide), c.narrow);
    ASSERT_TRUE(builder.AddVariable(c.wide));
    ++expected;
    // Every name got an entry of its own: none collapsed onto another.
    ASSERT_EQ(builder.GetBindingCount(), expected);
    const STOKEN *binding = builder.FindBinding(c.narrow);
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(binding->value.dref, Storage(builder, c.wide));
  }
  EXPECT_EQ(WideToNarrow(u"x_1 {SI}"), "x_1 {SI}");
  EXPECT_EQ(WideToNarrow(u""), "");
}

TEST(Registry, BindSTokensBindsKnownNamesAndLeavesOthersUnbound) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.AddFunction(u"f", Two));
  ASSERT_TRUE(builder.AddVariable(u"\u03C1"));
  ASSERT_TRUE(builder.SetValue(u"x", 3.0));
  ASSERT_TRUE(builder.SetValue(u"\u03C1", 0.5));
  // [x, +, sin, [f], *, q, +, X, +, rho, -, 7 named "x"]
  Tree tree(
      Group({Named(Var(nullptr), "x"), Plus, Named(Fn(nullptr), "sin"),
             Group({Named(Cb(nullptr), "f")}), Mul, Named(Var(nullptr), "q"),
             Plus, Named(Var(nullptr), "X"), Plus,
             Named(Var(nullptr), "\xCF\x81"), Minus, Named(Num(7.0), "x")}));
  builder.BindSTokens(tree.root);

  EXPECT_EQ(tree.Item(0).type, TT_DOUBLE_REF);
  EXPECT_EQ(tree.Item(0).value.dref, Storage(builder, u"x"));
  EXPECT_STREQ(tree.Item(0).name, "x");
  EXPECT_EQ(tree.Item(2).value.func, Entry(builder, u"sin").value.func);
  const STOKEN &f = tree.Item(3).value.group.items[0];
  EXPECT_EQ(f.type, TT_CALLBACK);
  EXPECT_EQ(f.value.callback, Two);
  EXPECT_EQ(tree.Item(5).value.dref, nullptr); // unknown name
  EXPECT_STREQ(tree.Item(5).name, "q");
  EXPECT_EQ(tree.Item(7).value.dref, nullptr); // case matters
  EXPECT_EQ(tree.Item(9).value.dref, Storage(builder, u"\u03C1"));
  EXPECT_EQ(tree.Item(11).type, TT_DOUBLE); // constants are not bound
  EXPECT_EQ(tree.Item(11).value.dval, 7.0);

  // ((3 + sin 2) * 0 + 0 + 0.5) - 7
  EXPECT_EQ(tree.Value(), 0.5 - 7.0);
  ASSERT_TRUE(builder.SetValue(u"\u03C1", 1.5));
  EXPECT_EQ(tree.Value(), 1.5 - 7.0);

  // Later changes of the registry do not reach a bound tree.
  builder.Clear();
  EXPECT_EQ(tree.Item(3).value.group.items[0].value.callback, Two);
  EXPECT_EQ(tree.Value(), 1.5 - 7.0);
}

// A record takes the registry's kind: a name held as a callback binds as
// one whatever the record said.
TEST(Registry, BindingTakesTheKindOfTheEntry) {
  CExpressionBuilder builder;
  ASSERT_TRUE(builder.AddFunction(u"x", Two));
  Tree tree(Group({Named(Var(nullptr), "x"), Plus, Named(Fn(nullptr), "y")}));
  builder.BindSTokens(tree.root);
  EXPECT_EQ(tree.Item(0).type, TT_CALLBACK);
  EXPECT_EQ(tree.Item(0).value.callback, Two);
  EXPECT_EQ(tree.Item(2).type, TT_DOUBLE_REF);
  ASSERT_TRUE(builder.SetValue(u"y", 4.0));
  EXPECT_EQ(tree.Value(), 6.0);
}
