// The registry's name index must find exactly the entry that a walk of the
// entries in order finds, through every change of the registry.
#include "builder/expression_builder.h"
#include "standard_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

double One(std::uintptr_t) { return 1.0; }

// The first entry of that name in the registry's order, as a walk finds it.
const STOKEN *Walk(const CExpressionBuilder &builder, const char *name) {
  for (std::int32_t i = 0; i < builder.GetBindingCount(); ++i) {
    const STOKEN &entry = builder.GetBindings()[i];
    if (entry.name != nullptr && std::strcmp(entry.name, name) == 0)
      return &entry;
  }
  return nullptr;
}

std::u16string Wide(const std::string &text) {
  return std::u16string(text.begin(), text.end());
}

void ExpectIndexMatchesWalk(const CExpressionBuilder &builder,
                            const std::vector<std::string> &names) {
  for (const std::string &name : names)
    ASSERT_EQ(builder.FindBinding(name.c_str()), Walk(builder, name.c_str()))
        << name;
}

} // namespace

TEST(BindingIndex, FindsWhatAWalkFindsThroughEveryChange) {
  std::vector<std::string> names = {"sin",     "x", "Re", "{SI}",
                                    "nothing", "X", ""};
  for (int i = 0; i < 300; ++i)
    names.push_back("v" + std::to_string(i));
  // Longer than a short string, and UTF-8 from a non-ASCII host name.
  names.push_back("a_rather_long_host_variable_name_0123456789");
  names.push_back("\xcf\x81");

  CExpressionBuilder builder;
  ExpectIndexMatchesWalk(builder, names);
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(builder.AddVariable(Wide("v" + std::to_string(i))));
  ASSERT_TRUE(builder.AddVariable(Wide(names[names.size() - 2])));
  ASSERT_TRUE(builder.AddVariable(u"\u03c1"));
  ExpectIndexMatchesWalk(builder, names);

  // Replaced in place: host names, standard ones, a new one.
  ASSERT_TRUE(builder.AddFunction(u"v7", One));
  ASSERT_TRUE(builder.AddFunction(u"x", One));
  ASSERT_TRUE(builder.AddFunction(u"v250", One));
  ExpectIndexMatchesWalk(builder, names);
  EXPECT_EQ(builder.FindBinding("x")->type, TT_CALLBACK);
  EXPECT_EQ(builder.FindBinding("x") - builder.GetBindings(),
            StandardBindingIndex("x"));

  builder.Clear();
  ExpectIndexMatchesWalk(builder, names);
  EXPECT_EQ(builder.FindBinding("sin"), nullptr);

  builder.LoadDefaults();
  for (int i = 100; i < 300; ++i)
    ASSERT_TRUE(builder.AddVariable(Wide("v" + std::to_string(i))));
  ExpectIndexMatchesWalk(builder, names);
  EXPECT_EQ(builder.FindBinding("v100") - builder.GetBindings(),
            StandardBindingCount());
}
