// Who keeps whom alive: expressions keep their parser, and with it all the
// storage they read.
#include "host_support.h"

#include <boost/weak_ptr.hpp>

TEST(Lifetime, ExpressionOutlivesTheHostsParserHandle) {
  ExpressionHandle expression;
  {
    ParserHandle parser = CreateExpressionParser();
    ASSERT_TRUE(parser->AddVariable(u"a"));
    ASSERT_TRUE(parser->SetValue(u"a", 2.0));
    ASSERT_TRUE(parser->SetValue(u"x", 3.0));
    expression = parser->CreateExpression(u"a*x+t");
    ASSERT_TRUE(expression);
  }
  // The builder storage is still there (the sanitizer would see it freed).
  EXPECT_EQ(expression->Evaluate(0), std::make_pair(true, 6.0));
  EXPECT_TRUE(expression->DependsOnSpace());
  EXPECT_TRUE(expression->DependsOnTime());
}

TEST(Lifetime, ParserGoesExactlyWhenTheLastExpressionGoes) {
  ParserHandle parser = CreateExpressionParser();
  boost::weak_ptr<IVOXExpressionParser> weak = parser;
  ExpressionHandle first = parser->CreateExpression(u"x+1");
  ExpressionHandle second = parser->CreateExpression(u"x*2");
  ExpressionHandle copy = second;
  ExpressionHandle failed = parser->CreateExpression(u"1 ");
  ASSERT_TRUE(first && second);
  ASSERT_FALSE(failed);
  ASSERT_TRUE(parser->SetValue(u"x", 4.0));

  parser.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(first->Evaluate(0).second, 5.0);
  first.reset();
  EXPECT_FALSE(weak.expired());
  second.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(copy->Evaluate(0).second, 8.0);
  copy.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(Lifetime, ParserWithoutExpressionsGoesWithItsHandle) {
  ParserHandle parser = CreateExpressionParser();
  boost::weak_ptr<IVOXExpressionParser> weak = parser;
  EXPECT_FALSE(parser->CreateExpression(u"unknown"));
  EXPECT_TRUE(parser->CheckSyntax(u"1+2"));
  ParserHandle other = parser;
  parser.reset();
  EXPECT_FALSE(weak.expired());
  other.reset();
  EXPECT_TRUE(weak.expired());
}

// The host may lock its weak handle again and go on using the parser.
TEST(Lifetime, WeakHandleLocksWhileExpressionsLive) {
  ParserHandle parser = CreateExpressionParser();
  boost::weak_ptr<IVOXExpressionParser> weak = parser;
  ExpressionHandle expression = parser->CreateExpression(u"y");
  parser.reset();
  ParserHandle again = weak.lock();
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->SetValue(u"y", 9.0));
  EXPECT_EQ(expression->Evaluate(0).second, 9.0);
  ExpressionHandle more = again->CreateExpression(u"y+1");
  again.reset();
  expression.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(more->Evaluate(0).second, 10.0);
  more.reset();
  EXPECT_TRUE(weak.expired());
}
