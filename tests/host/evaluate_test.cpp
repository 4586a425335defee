// Formulas from text to value, through the public interface only.
#include "host_support.h"

#include <cmath>

namespace {

struct ValueCase {
  const char16_t *text;
  double expected;
};

void ExpectValues(const ParserHandle &parser,
                  std::initializer_list<ValueCase> cases) {
  for (const ValueCase &c : cases) {
    SCOPED_TRACE(Printable(c.text));
    EXPECT_DOUBLE_EQ(ValueOf(parser, c.text), c.expected);
  }
}

const double kX = 0.5;

class Evaluate : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(parser->SetValue(u"x", kX)); }
  ParserHandle parser = CreateExpressionParser();
};

} // namespace

// Equal priorities apply left to right ("^" too); tighter operators group.
TEST_F(Evaluate, PriorityAndOrder) {
  ExpectValues(parser, {
                           {u"1-2-3", -4},
                           {u"8/2/2", 2},
                           {u"2^3^2", 64},
                           {u"1+2*3", 7},
                           {u"1+2*3+4", 11},
                           {u"1+2*3^2", 19},
                           {u"2*3+1", 7},
                           {u"2^3*4", 32},
                           {u"2*(3+4)", 14},
                           {u"(1+2)*3", 9},
                           {u"1+2*(3+4)", 15},
                           {u"sin(x)", std::sin(kX)},
                           {u"sin x", std::sin(kX)},
                           {u"2*sin(x)+1", 2 * std::sin(kX) + 1},
                           {u"1+sin(x)*2", 1 + std::sin(kX) * 2},
                           {u"-5", -5},
                           {u"-2^2", -4},
                           {u"2*-3", -3},
                       });
}

TEST_F(Evaluate, MoreShapes) {
  ExpectValues(
      parser,
      {
          {u"1+-2*3", -5},      {u"1+sin x^2", 1 + std::pow(std::sin(kX), 2)},
          {u"2*(1+2*3)+1", 15}, {u" 1", 1},
          {u"1 + 2 * 3", 7},    {u"(1+2", 3},
          {u"2*(3", 6},         {u"()", 0},
          {u"1+", 1},           {u"+", 0},
          {u"2 3", 2},          {u"2x", 2},
          {u"x*2", 1},          {u"cos(0)+exp(0)+log(1)+tan(0)", 2},
          {u"pi", 3.1415926},   {u"2*pi", 6.2831852},
          {u"gol", 0},          {u"2+gol", 2},
          {u"1.5e1+1", 16},     {u"1.2.3", 1.2},
      });
}

namespace {

struct Point {
  double x, y, z, t;
};

struct FormulaCase {
  const char16_t *text;
  double (*native)(const Point &p);
};

} // namespace

// Compiled once, evaluated at several points: variables in groups nested at
// every position, against the same arithmetic written in C++.
TEST_F(Evaluate, FormulasAgreeWithNativeArithmetic) {
  const FormulaCase cases[] = {
      {u"((((x+1)*2+3)*4+5)*6+7)",
       [](const Point &p) { return (((p.x + 1) * 2 + 3) * 4 + 5) * 6 + 7; }},
      {u"(x+1)*(y-2)/(z+3)",
       [](const Point &p) { return (p.x + 1) * (p.y - 2) / (p.z + 3); }},
      {u"1/(1+exp(-(x*y+z)))",
       [](const Point &p) { return 1 / (1 + std::exp(-(p.x * p.y + p.z))); }},
      {u"t*(1-t)*(x*(1-x)+y*(1-y))",
       [](const Point &p) {
         return p.t * (1 - p.t) * (p.x * (1 - p.x) + p.y * (1 - p.y));
       }},
      {u"x^2+2*x*y+y^2",
       [](const Point &p) {
         return std::pow(p.x, 2) + 2 * p.x * p.y + std::pow(p.y, 2);
       }},
      {u"sin(x)*cos(y)-tan(z/10)",
       [](const Point &p) {
         return std::sin(p.x) * std::cos(p.y) - std::tan(p.z / 10);
       }},
      {u"-(x-y)^2", [](const Point &p) { return -std::pow(p.x - p.y, 2); }},
      {u"x-y-z-t", [](const Point &p) { return p.x - p.y - p.z - p.t; }},
      {u"2^x^y",
       [](const Point &p) { return std::pow(std::pow(2, p.x), p.y); }},
      {u"(x+y)*(x-y)*(z+1)",
       [](const Point &p) { return (p.x + p.y) * (p.x - p.y) * (p.z + 1); }},
      {u"x/(y+1)/(z+2)",
       [](const Point &p) { return p.x / (p.y + 1) / (p.z + 2); }},
      {u"log(1+x*x)+exp(-y)",
       [](const Point &p) { return std::log(1 + p.x * p.x) + std::exp(-p.y); }},
      {u"((x))*((y))+((z))", [](const Point &p) { return p.x * p.y + p.z; }},
      {u"(z+(y+(x+(t+1))))*2",
       [](const Point &p) { return (p.z + (p.y + (p.x + (p.t + 1)))) * 2; }},
      {u"x*(y*(z*(t*2+1)+1)+1)",
       [](const Point &p) {
         return p.x * (p.y * (p.z * (p.t * 2 + 1) + 1) + 1);
       }},
  };
  const Point points[] = {
      {0.3, -1.2, 2.5, 0.7}, {1.0, 2.0, 3.0, 4.0}, {-2.5, 0.5, -0.25, 10.0}};
  for (const FormulaCase &c : cases) {
    SCOPED_TRACE(Printable(c.text));
    ExpressionHandle expression = parser->CreateExpression(c.text);
    ASSERT_TRUE(expression);
    for (const Point &p : points) {
      ASSERT_TRUE(parser->SetValue(u"x", p.x));
      ASSERT_TRUE(parser->SetValue(u"y", p.y));
      ASSERT_TRUE(parser->SetValue(u"z", p.z));
      ASSERT_TRUE(parser->SetValue(u"t", p.t));
      EXPECT_DOUBLE_EQ(expression->Evaluate(0).second, c.native(p))
          << "at x=" << p.x << " y=" << p.y << " z=" << p.z << " t=" << p.t;
    }
  }
}

// A function with nothing after it gives 0.0.
TEST_F(Evaluate, FunctionWithoutArgument) {
  ExpectValues(parser,
               {{u"sin", 0}, {u"1+sin", 1}, {u"(sin)", 0}, {u"2*(exp)+3", 3}});
}

// Where the parse stops is not looked at: text after an unmatched ")" is
// ignored.
TEST_F(Evaluate, TextAfterAnUnmatchedParenthesisIsIgnored) {
  ExpectValues(parser, {{u"1+2)*5", 3}, {u"4)", 4}, {u")", 0}});
  EXPECT_TRUE(parser->CreateExpression(u"1+2)*5 junk $"));
}

TEST_F(Evaluate, EmptyTextGivesZero) {
  ExpressionHandle empty = parser->CreateExpression(u"");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->Evaluate(0), std::make_pair(true, 0.0));
}

TEST_F(Evaluate, TextsThatDoNotCompile) {
  for (const char16_t *text :
       {u"1 ", u"1+2 ", u"   ", u"\t", u"1+foo", u"X", u"Sin(x)", u"$", u"(1 ",
        u"(", u"2*(", u"sin("}) {
    SCOPED_TRACE(Printable(text));
    EXPECT_FALSE(parser->CreateExpression(text));
  }
  // The check and the compile disagree on a trailing blank.
  EXPECT_TRUE(parser->CheckSyntax(u"1 "));
  EXPECT_FALSE(parser->CreateExpression(u"1 "));
}

// Every result is finite; what is not comes back as 0.0.
TEST_F(Evaluate, ValuesThatAreNotFiniteGiveZero) {
  for (const char16_t *text : {u"1/0", u"0/0", u"-1/0", u"log(0)", u"exp(1000)",
                               u"2^10000", u"(1/0)*0"}) {
    SCOPED_TRACE(Printable(text));
    ExpressionHandle expression = parser->CreateExpression(text);
    ASSERT_TRUE(expression);
    EXPECT_EQ(expression->Evaluate(0), std::make_pair(true, 0.0));
  }
  // A part that is not finite reads 0.0 where it is a group of its own.
  ExpectValues(parser, {{u"(1/0)+5", 5}, {u"exp(1/0)", 1}});
}

TEST_F(Evaluate, VariablesAreReadAtEachEvaluation) {
  ExpressionHandle twice = parser->CreateExpression(u"x*2");
  ASSERT_TRUE(twice);
  ASSERT_TRUE(parser->SetValue(u"x", 3.0));
  EXPECT_EQ(twice->Evaluate(0), std::make_pair(true, 6.0));
  ASSERT_TRUE(parser->SetValue(u"x", 4.0));
  EXPECT_EQ(twice->Evaluate(0), std::make_pair(true, 8.0));
  struct Named {
    const char16_t *name;
    double value;
  };
  const Named names[] = {{u"y", 2},         {u"z", 3},
                         {u"r", 5},         {u"t", 7},
                         {u"phi", 11},      {u"theta", 13},
                         {u"Density", 17},  {u"AbsVelosity", 19},
                         {u"PoreSize", 23}, {u"DinViscosity", 29},
                         {u"Re", 31},       {u"{SI}", 37},
                         {u"{Unit}", 41}};
  for (const Named &n : names) {
    SCOPED_TRACE(Printable(n.name));
    ASSERT_TRUE(parser->SetValue(n.name, n.value));
    EXPECT_EQ(ValueOf(parser, n.name), n.value);
  }
  EXPECT_EQ(ValueOf(parser, u"{SI}*{Unit}-Re"), 37.0 * 41 - 31);
}

// The word reaches every callback unchanged, pointer-sized.
TEST_F(Evaluate, ContextWordReachesEveryCallbackUnchanged) {
  ASSERT_TRUE(parser->AddFunction(u"f", ProbeCallback));
  ASSERT_TRUE(parser->AddFunction(u"g", ProbeCallback));
  ExpressionHandle expression = parser->CreateExpression(u"f+g*f-sin(g)+(2*f)");
  ASSERT_TRUE(expression);
  Probe probe;
  expression->Evaluate(probe.Word());
  ASSERT_EQ(probe.calls, 6);
  for (std::uintptr_t context : probe.contexts)
    EXPECT_EQ(context, probe.Word());

  static std::uintptr_t seen;
  struct Seen {
    static double Callback(std::uintptr_t context) {
      seen = context;
      return 1.0;
    }
  };
  ASSERT_TRUE(parser->AddFunction(u"h", Seen::Callback));
  ExpressionHandle h = parser->CreateExpression(u"h");
  ASSERT_TRUE(h);
  for (std::uintptr_t word :
       {std::uintptr_t(0), static_cast<std::uintptr_t>(0xDEADBEEFCAFEull),
        std::numeric_limits<std::uintptr_t>::max()}) {
    EXPECT_EQ(h->Evaluate(word), std::make_pair(true, 1.0));
    EXPECT_EQ(seen, word);
  }
  // Without callbacks the word changes nothing.
  ExpressionHandle plain = parser->CreateExpression(u"x*3+1");
  EXPECT_EQ(plain->Evaluate(0), plain->Evaluate(~std::uintptr_t(0)));
}

// A callback in a function's argument is called twice per nesting level;
// the function takes the first call's value.
TEST_F(Evaluate, CallbackCallCounts) {
  ASSERT_TRUE(parser->AddFunction(u"c", ProbeCallback));
  struct Case {
    const char16_t *text;
    int calls;
    double value; // with the calls returning 1, 2, 3, ...
  };
  const Case cases[] = {
      {u"c", 1, 1.0},
      {u"2*c+1", 1, 3.0},
      {u"sin(c)", 2, std::sin(1.0)},
      {u"sin c", 1, 0.0}, // the argument record reads 0.0, then c is visited
      {u"sin(c)+c", 3, std::sin(1.0) + 3.0},
      {u"sin(sin(sin(c)))", 8, std::sin(std::sin(std::sin(1.0)))},
      {u"exp(2)*c", 1, std::exp(2.0)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Printable(c.text));
    Probe probe;
    EXPECT_DOUBLE_EQ(ValueOf(parser, c.text, probe.Word()), c.value);
    EXPECT_EQ(probe.calls, c.calls);
  }
}

namespace {

std::u16string Nested(int depth, const std::u16string &inside) {
  std::u16string text;
  for (int i = 0; i < depth; ++i)
    text += u"sin(";
  text += inside;
  text += std::u16string(depth, u')');
  return text;
}

} // namespace

// Visiting every argument twice would take 2^60 and 2^200 steps.
TEST_F(Evaluate, DeeplyNestedFunctionsEvaluateAtOnce) {
  for (int depth : {60, 200}) {
    SCOPED_TRACE(depth);
    double expected = kX;
    for (int i = 0; i < depth; ++i)
      expected = std::sin(expected);
    EXPECT_DOUBLE_EQ(ValueOf(parser, Nested(depth, u"x")), expected);
  }
  ASSERT_TRUE(parser->AddFunction(u"c", ProbeCallback));
  Probe probe;
  EXPECT_DOUBLE_EQ(ValueOf(parser, u"c+" + Nested(60, u"0"), probe.Word()),
                   1.0);
  EXPECT_EQ(probe.calls, 1);
  Probe deep;
  ValueOf(parser, Nested(10, u"c"), deep.Word());
  EXPECT_EQ(deep.calls, 1 << 10);
}
