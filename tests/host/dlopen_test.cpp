// The library loaded the way a host loads it: dlopen, then the one export.
#include "host_support.h"

#include <dlfcn.h>

#include <cmath>

namespace {

typedef ParserHandle (*Factory)();

class Loaded : public ::testing::Test {
protected:
  void SetUp() override {
    library = dlopen(VOXEVAL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    void *symbol = dlsym(library, "CreateExpressionParser");
    ASSERT_NE(symbol, nullptr) << dlerror();
    create = reinterpret_cast<Factory>(symbol);
  }
  // Every handle goes before the library: the deleters live in it.
  void TearDown() override {
    if (library != nullptr)
      dlclose(library);
  }
  void *library = nullptr;
  Factory create = nullptr;
};

double Scale(std::uintptr_t context) {
  return *reinterpret_cast<const double *>(context);
}

} // namespace

TEST_F(Loaded, EvaluatesAsTheReadmeShows) {
  ParserHandle parser = create();
  ASSERT_TRUE(parser);
  EXPECT_EQ(parser->GetCount(), FreshCount());
  ExpressionHandle f = parser->CreateExpression(u"2*x+sin(t)");
  ASSERT_TRUE(f);
  ASSERT_TRUE(parser->SetValue(u"x", 1.5));
  ASSERT_TRUE(parser->SetValue(u"t", 0.5));
  const std::pair<bool, double> result = f->Evaluate(0);
  EXPECT_TRUE(result.first);
  EXPECT_DOUBLE_EQ(result.second, 3.479425538604203);
  EXPECT_TRUE(f->DependsOnSpace());
  EXPECT_TRUE(f->DependsOnTime());
}

TEST_F(Loaded, HostVariablesCallbacksAndTheContextWord) {
  ParserHandle parser = create();
  ASSERT_TRUE(parser->AddVariable(u"k"));
  ASSERT_TRUE(parser->AddFunction(u"scale", Scale));
  ASSERT_TRUE(parser->SetValue(u"k", 3.0));
  ASSERT_TRUE(parser->CheckSyntax(u"k*scale+1"));
  ExpressionHandle e = parser->CreateExpression(u"k*scale+1");
  ASSERT_TRUE(e);
  // The word carries a pointer to the host's own data.
  double hostData = 2.0;
  EXPECT_EQ(e->Evaluate(reinterpret_cast<std::uintptr_t>(&hostData)).second,
            7.0);
  hostData = 5.0;
  EXPECT_EQ(e->Evaluate(reinterpret_cast<std::uintptr_t>(&hostData)).second,
            16.0);
  EXPECT_FALSE(e->DependsOnSpace());
  // The host drops its parser first; the expression keeps it.
  parser.reset();
  EXPECT_EQ(e->Evaluate(reinterpret_cast<std::uintptr_t>(&hostData)).second,
            16.0);
}

TEST_F(Loaded, OnlyTheFactoryIsExported) {
  for (const char *name :
       {"MakeExpression", "DeleteParser", "DeleteExpression", "WideToNarrow",
        "_Z12DeleteParserP20CVOXExpressionParser", "EvaluateSToken",
        "_Z14EvaluateSTokenPK6STOKENm"}) {
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  }
}
