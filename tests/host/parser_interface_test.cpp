// The parser's operations as a host uses them: names, values, counts.
#include "host_support.h"

#include <cmath>

namespace {

const int kFresh = FreshCount();

double Three(std::uintptr_t) { return 3.0; }
double Ten(std::uintptr_t) { return 10.0; }

} // namespace

// 47 is the host guide's number for a new parser.
TEST(ParserInterface, CountsFollowNamesAndBindings) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser);
  EXPECT_EQ(parser->GetCount(), 47);
  parser->Clear();
  parser->Clear();
  EXPECT_EQ(parser->GetCount(), 0);
  parser->LoadDefaults();
  parser->LoadDefaults();
  EXPECT_EQ(parser->GetCount(), kFresh);
  ASSERT_TRUE(parser->AddVariable(u"a"));
  EXPECT_EQ(parser->GetCount(), kFresh + 2);
  parser->LoadDefaults();
  EXPECT_EQ(parser->GetCount(), kFresh + 2);
  ASSERT_TRUE(parser->AddFunction(u"f", Three));
  EXPECT_EQ(parser->GetCount(), kFresh + 4);
  ASSERT_TRUE(parser->AddFunction(u"f", Ten));
  EXPECT_EQ(parser->GetCount(), kFresh + 4);
}

// The parser hands the builder's refusals on to the host; which names are
// refused, and that a refusal changes nothing, the builder's tests hold.
TEST(ParserInterface, AddVariableAndAddFunctionRefusals) {
  ParserHandle parser = CreateExpressionParser();
  EXPECT_FALSE(parser->AddVariable(u"x"));
  EXPECT_FALSE(parser->AddFunction(u"f", nullptr));
}

// A constant is carried into the compiled expression; a variable is read
// through its storage.
TEST(ParserInterface, SetValueOnPiReachesOnlyLaterExpressions) {
  ParserHandle parser = CreateExpressionParser();
  ExpressionHandle before = parser->CreateExpression(u"2*pi");
  ASSERT_TRUE(before);
  EXPECT_DOUBLE_EQ(before->Evaluate(0).second, 6.2831852);
  ASSERT_TRUE(parser->SetValue(u"pi", 3.0));
  EXPECT_DOUBLE_EQ(before->Evaluate(0).second, 6.2831852);
  EXPECT_EQ(ValueOf(parser, u"2*pi"), 6.0);
}

// "x" becomes the callback for texts compiled afterwards; earlier ones keep
// reading the variable.
TEST(ParserInterface, AddFunctionOverAVariable) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->SetValue(u"x", 2.0));
  ExpressionHandle before = parser->CreateExpression(u"x*2");
  ASSERT_TRUE(before);
  ASSERT_TRUE(parser->AddFunction(u"x", Three));
  EXPECT_EQ(ValueOf(parser, u"x*2"), 6.0);
  EXPECT_EQ(before->Evaluate(0).second, 4.0);
}

// Compiled expressions point at storage and callbacks directly, so Clear
// does not reach them; they read the variables' current values.
TEST(ParserInterface, ExpressionsCompiledBeforeClearKeepWorking) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddVariable(u"a"));
  ASSERT_TRUE(parser->AddFunction(u"f", Ten));
  ASSERT_TRUE(parser->SetValue(u"x", 2.0));
  ASSERT_TRUE(parser->SetValue(u"a", 3.0));
  ExpressionHandle expression = parser->CreateExpression(u"x+a+f");
  ASSERT_TRUE(expression);
  EXPECT_EQ(expression->Evaluate(0).second, 15.0);

  parser->Clear();
  EXPECT_EQ(parser->GetCount(), 0);
  EXPECT_EQ(expression->Evaluate(0).second, 15.0);
  EXPECT_FALSE(parser->SetValue(u"x", 1.0));
  EXPECT_FALSE(parser->CreateExpression(u"x"));
  EXPECT_FALSE(parser->CreateExpression(u"1+2")); // "+" is gone too
  EXPECT_EQ(ValueOf(parser, u"7"), 7.0);          // numbers need no names

  // The predefined variables come back with their storage and values.
  parser->LoadDefaults();
  EXPECT_EQ(ValueOf(parser, u"x"), 2.0);
  ASSERT_TRUE(parser->SetValue(u"x", 5.0));
  EXPECT_EQ(expression->Evaluate(0).second, 18.0);
  EXPECT_FALSE(parser->SetValue(u"a", 1.0));
  EXPECT_FALSE(parser->CreateExpression(u"f"));
  // A new "a" is new storage; the old expression goes on reading the old.
  ASSERT_TRUE(parser->AddVariable(u"a"));
  EXPECT_EQ(parser->GetCount(), kFresh + 2);
  EXPECT_EQ(ValueOf(parser, u"a"), 0.0);
  ASSERT_TRUE(parser->SetValue(u"a", 100.0));
  EXPECT_EQ(expression->Evaluate(0).second, 18.0);
  EXPECT_EQ(ValueOf(parser, u"a"), 100.0);
}

TEST(ParserInterface, NullPointersAreRefused) {
  ParserHandle parser = CreateExpressionParser();
  EXPECT_FALSE(parser->CreateExpression(nullptr));
  EXPECT_FALSE(parser->CheckSyntax(nullptr));
  EXPECT_FALSE(parser->SetValue(nullptr, 1.0));
  EXPECT_FALSE(parser->AddFunction(nullptr, Three));
  EXPECT_FALSE(parser->AddFunction(nullptr, nullptr));
  EXPECT_FALSE(parser->AddVariable(nullptr));
  EXPECT_EQ(parser->GetCount(), kFresh);
  EXPECT_EQ(ValueOf(parser, u"1+1"), 2.0);
}

TEST(ParserInterface, TwoParsersAreIndependent) {
  ParserHandle one = CreateExpressionParser();
  ParserHandle two = CreateExpressionParser();
  ASSERT_NE(one.get(), two.get());
  ExpressionHandle x1 = one->CreateExpression(u"x");
  ExpressionHandle x2 = two->CreateExpression(u"x");
  ASSERT_TRUE(one->SetValue(u"x", 1.0));
  ASSERT_TRUE(two->SetValue(u"x", 2.0));
  EXPECT_EQ(x1->Evaluate(0).second, 1.0);
  EXPECT_EQ(x2->Evaluate(0).second, 2.0);
  ASSERT_TRUE(one->AddVariable(u"a"));
  EXPECT_FALSE(two->CreateExpression(u"a"));
  ASSERT_TRUE(one->SetValue(u"pi", 4.0));
  EXPECT_DOUBLE_EQ(ValueOf(two, u"pi"), 3.1415926);
  one->Clear();
  EXPECT_EQ(two->GetCount(), kFresh);
  EXPECT_EQ(x2->Evaluate(0).second, 2.0);
}

// Names outside ASCII are keyed by their UTF-8 bytes in both tables.
TEST(ParserInterface, NamesOutsideAscii) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddVariable(u"\u03C1")); // rho
  ASSERT_TRUE(parser->SetValue(u"\u03C1", 1.5));
  EXPECT_EQ(ValueOf(parser, u"2*\u03C1"), 3.0);
  EXPECT_EQ(ValueOf(parser, u"\u03C1*\u03C1+1"), 3.25);
  EXPECT_TRUE(parser->CheckSyntax(u"2*\u03C1"));

  ASSERT_TRUE(parser->AddFunction(u"\u03BB", Three)); // lambda
  EXPECT_EQ(ValueOf(parser, u"\u03BB+1"), 4.0);
  EXPECT_EQ(parser->GetCount(), kFresh + 2 * 2);
}

TEST(ParserInterface, LongHostNames) {
  ParserHandle parser = CreateExpressionParser();
  const std::u16string name(10000, u'v');
  ASSERT_TRUE(parser->AddVariable(name.c_str()));
  ASSERT_TRUE(parser->SetValue(name.c_str(), 4.0));
  EXPECT_EQ(ValueOf(parser, u"2*" + name), 8.0);
  EXPECT_EQ(ValueOf(parser, name + u"+1"), 5.0);
  EXPECT_TRUE(parser->CheckSyntax((name + u"*" + name).c_str()));

  const std::u16string wide(10000, u'\u03C1');
  ASSERT_TRUE(parser->AddFunction(wide.c_str(), Ten));
  EXPECT_EQ(ValueOf(parser, wide + u"/" + name), 2.5);
}

// Only the predefined coordinates and time count, found by their storage,
// anywhere in the text.
TEST(ParserInterface, DependsOnSpaceAndTime) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddVariable(u"X"));
  ASSERT_TRUE(parser->AddVariable(u"time"));
  ASSERT_TRUE(parser->AddFunction(u"space", Three));
  struct Case {
    const char16_t *text;
    bool space;
    bool time;
  };
  const Case cases[] = {
      {u"x", true, false},
      {u"2*y", true, false},
      {u"1+z^2", true, false},
      {u"r", true, false},
      {u"theta/2", true, false},
      {u"sin(2*(phi+1))", true, false},
      {u"exp(-(1+(2*r)))", true, false},
      {u"t+Density", false, true},
      {u"t+1", false, true},
      {u"sin t", false, true},
      {u"2*(3+cos(t))", false, true},
      {u"x+y", true, false},
      {u"x*t", true, true},
      {u"Density+AbsVelosity+PoreSize+DinViscosity+Re+{SI}+{Unit}", false,
       false},
      {u"pi*gol+1", false, false},
      {u"X+time+space", false, false},
      {u"1+2)*x+t", false, false},
      {u"", false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Printable(c.text));
    ExpressionHandle expression = parser->CreateExpression(c.text);
    ASSERT_TRUE(expression);
    EXPECT_EQ(expression->DependsOnSpace(), c.space);
    EXPECT_EQ(expression->DependsOnTime(), c.time);
  }
  // A callback under a coordinate's name is not a coordinate; what was
  // compiled before keeps reading the variable.
  ExpressionHandle before = parser->CreateExpression(u"x+t");
  ASSERT_TRUE(parser->AddFunction(u"x", Three));
  ASSERT_TRUE(parser->AddFunction(u"t", Three));
  ExpressionHandle after = parser->CreateExpression(u"x+t");
  EXPECT_TRUE(before->DependsOnSpace());
  EXPECT_TRUE(before->DependsOnTime());
  EXPECT_FALSE(after->DependsOnSpace());
  EXPECT_FALSE(after->DependsOnTime());
}
