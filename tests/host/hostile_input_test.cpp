// Whatever a user types, and whatever a host's callbacks do: huge and deep
// texts on a small stack, every 16-bit unit, carriage returns, values that
// are not finite, callbacks that throw or call back into their parser.
#include "host_support.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <stdexcept>

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// --- Running on a thread with a small stack, and timing.

// Sanitizers and unoptimised builds make every frame several times larger
// and every step some twenty times slower than in the library as hosts get
// it, which needs about a quarter of the 256 KB stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) ||           \
    !defined(__OPTIMIZE__)
const bool kInstrumented = true;
#else
const bool kInstrumented = false;
#endif

const std::size_t kSmallStack = (kInstrumented ? 4096 : 256) * 1024;

#if defined(_WIN32)
DWORD WINAPI RunBody(LPVOID body) {
  (*static_cast<std::function<void()> *>(body))();
  return 0;
}

void OnSmallStack(std::function<void()> body) {
  HANDLE thread = CreateThread(nullptr, kSmallStack, RunBody, &body,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
#else
void *RunBody(void *body) {
  (*static_cast<std::function<void()> *>(body))();
  return nullptr;
}

void OnSmallStack(std::function<void()> body) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, RunBody, &body), 0);
  pthread_attr_destroy(&attributes);
  pthread_join(thread, nullptr);
}
#endif

// Reports how long a hostile input took; nothing asserts on it.
void Timed(const std::string &label, const std::function<void()> &body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  const std::chrono::duration<double, std::milli> took =
      std::chrono::steady_clock::now() - start;
  std::cout << "[ time     ] " << label << ": " << took.count() << " ms"
            << std::endl;
}

std::u16string Repeat(const std::u16string &piece, std::size_t times) {
  std::u16string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i)
    out += piece;
  return out;
}

// Compiles (or not) and evaluates with a few context words; every result
// is (true, finite), and the dependency tests answer.
void ExpectSafe(const ParserHandle &parser, const std::u16string &text) {
  parser->CheckSyntax(text.c_str());
  ExpressionHandle expression = parser->CreateExpression(text.c_str());
  if (!expression)
    return;
  for (std::uintptr_t context : {std::uintptr_t(0), ~std::uintptr_t(0)}) {
    const std::pair<bool, double> result = expression->Evaluate(context);
    EXPECT_TRUE(result.first);
    EXPECT_TRUE(std::isfinite(result.second)) << Printable(text);
  }
  expression->DependsOnSpace();
  expression->DependsOnTime();
}

// --- Huge and deep texts.

// A megabyte of text; instrumented builds read the same shapes at 64 KB.
const std::size_t kHugeText = kInstrumented ? 1 << 16 : 1 << 20;

struct HugeCase {
  const char *label;
  std::u16string text;
  int compiles; // 1 yes, 0 no, -1 either way
  double value;
};

// Texts of about a megabyte, each run on a small stack.
TEST(HostileInput, HugeTexts) {
  const std::size_t n = kHugeText / 2;
  // Random tokens, parentheses kept within the nesting bound.
  std::u16string wild;
  std::uint32_t seed = 12345;
  const char16_t *const tokens[] = {u"1",    u"2.5e-3 ", u"x ",  u"+", u"-",
                                    u"*",    u"/",       u"^",   u"(", u")",
                                    u"sin ", u"pi ",     u" \t", u"\n"};
  int depth = 0;
  while (wild.size() < kHugeText) {
    seed = seed * 1103515245u + 12345u;
    const std::u16string token = tokens[(seed >> 16) % 14];
    if (token == u"(" && depth == 200)
      continue;
    if (token == u")" && depth == 0)
      continue;
    depth += token == u"(" ? 1 : token == u")" ? -1 : 0;
    wild += token;
  }
  wild += u"1"; // a blank after the last token would fail the parse
  const HugeCase cases[] = {
      {"sum of ones", Repeat(u"1+", n) + u"1", 1, double(n + 1)},
      {"power chain", Repeat(u"x^", n) + u"2", 1, 1.0},
      {"one long number", std::u16string(kHugeText, u'9'), 1, 0.0},
      {"one long unknown name", std::u16string(kHugeText, u'a'), 0, 0.0},
      {"blanks only", std::u16string(kHugeText, u' '), 0, 0.0},
      {"deep operands, long tail",
       Repeat(u"1+(", 250) + Repeat(u"1 ", n - 1000) + u"1", 1, 251.0},
      {"random symbols", wild, -1, 0.0},
  };
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->SetValue(u"x", 1.0));
  for (const HugeCase &c : cases) {
    SCOPED_TRACE(c.label);
    OnSmallStack([&] {
      Timed(std::string("huge text, ") + c.label, [&] {
        if (c.compiles < 0) {
          ExpectSafe(parser, c.text);
          return;
        }
        ExpressionHandle e = parser->CreateExpression(c.text.c_str());
        ASSERT_EQ(c.compiles == 1, bool(e));
        if (e) {
          EXPECT_EQ(std::make_pair(true, c.value), e->Evaluate(0));
        }
        parser->CheckSyntax(c.text.c_str());
      });
    });
  }
}

// Nesting beyond the bound is refused without touching the end of a 256 KB
// stack; nesting just inside it compiles, evaluates and is released there.
TEST(HostileInput, DeepNestingOnASmallStack) {
  const std::size_t deep = 100000;
  const std::u16string refused[] = {
      std::u16string(deep, u'('),
      std::u16string(deep, u'(') + u"1" + std::u16string(deep, u')'),
      Repeat(u"1+(", deep),
      Repeat(u"sin(", deep) + u"x",
      Repeat(u"-(", deep) + u"1",
      Repeat(u"2*(1+", deep) + u"1",
      Repeat(u"1+2^(", deep) + u"1",
  };
  ParserHandle parser = CreateExpressionParser();
  for (const std::u16string &text : refused) {
    SCOPED_TRACE(Printable(text));
    OnSmallStack([&] {
      Timed("deep text " + Printable(text.substr(0, 6)), [&] {
        EXPECT_FALSE(parser->CreateExpression(text.c_str()));
        // The check has no depth bound; balanced text passes it.
        parser->CheckSyntax(text.c_str());
      });
    });
  }
  OnSmallStack([&] {
    ASSERT_TRUE(parser->SetValue(u"x", 0.5));
    ExpressionHandle e = parser->CreateExpression(
        (Repeat(u"sin(", 254) + u"x" + std::u16string(254, u')')).c_str());
    ASSERT_TRUE(e);
    double expected = 0.5;
    for (int i = 0; i < 254; ++i)
      expected = std::sin(expected);
    EXPECT_DOUBLE_EQ(expected, e->Evaluate(0).second);
    EXPECT_TRUE(e->DependsOnSpace());
    e.reset();
    e = parser->CreateExpression(
        (std::u16string(255, u'(') + u"2" + std::u16string(255, u')') + u"*3")
            .c_str());
    ASSERT_TRUE(e);
    EXPECT_EQ(std::make_pair(true, 6.0), e->Evaluate(0));
  });
}

// --- Every unit, alone and as a name.

// Each unit as a whole text, and inside one, never breaks a promise.
TEST(HostileInput, EverySingleUnitAsText) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->SetValue(u"x", 2.0));
  Timed("every unit as text", [&] {
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
      const char16_t c = static_cast<char16_t>(u);
      ExpectSafe(parser, std::u16string(1, c));
      ExpectSafe(parser, std::u16string(u"x*") + c);
    }
  });
  // Only the language's own characters make a text of one unit compile.
  for (std::uint32_t u = 0x80; u <= 0xFFFF; ++u) {
    const std::u16string text(1, static_cast<char16_t>(u));
    ASSERT_FALSE(parser->CreateExpression(text.c_str())) << u;
  }
}

// Every unit, lone surrogates included, can name a host variable that
// formulas then read: a name of one unit is matched as a symbol.
TEST(HostileInput, EverySingleUnitAsAName) {
  Timed("every unit as a name", [&] {
    ParserHandle parser;
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
      if ((u & 0xFF) == 1)
        parser = CreateExpressionParser(); // keeps the registry small
      const char16_t c = static_cast<char16_t>(u);
      const std::u16string name(1, c);
      const bool known =
          std::u16string(u"+-*/^()xyzrt").find(c) != std::u16string::npos;
      ASSERT_EQ(!known, parser->AddVariable(name.c_str())) << u;
      if (known)
        continue;
      ASSERT_TRUE(parser->SetValue(name.c_str(), double(u))) << u;
      // Digits and the dot read as numbers, blanks as nothing.
      const bool readable = !((c >= u'0' && c <= u'9') || c == u'.' ||
                              c == u' ' || c == u'\t' || c == u'\n');
      ExpressionHandle e = parser->CreateExpression(name.c_str());
      if (!readable)
        continue;
      ASSERT_TRUE(e) << u;
      ASSERT_EQ(std::make_pair(true, double(u)), e->Evaluate(0)) << u;
    }
  });
}

// Pairs, lone halves and reversed halves are all different names: none
// collapses onto another's registry entry, and each reads its own storage.
TEST(HostileInput, SurrogatesNameDistinctVariables) {
  const std::u16string names[] = {u"\xD83D\xDE00", u"\xD83D", u"\xDE00",
                                  u"\xDE00\xD83D", u"\xDBFF\xDFFF"};
  ParserHandle all = CreateExpressionParser();
  double value = 1.0;
  for (const std::u16string &name : names) {
    SCOPED_TRACE(Printable(name));
    ASSERT_TRUE(all->AddVariable(name.c_str()));
    ParserHandle alone = CreateExpressionParser();
    ASSERT_TRUE(alone->AddVariable(name.c_str()));
    ASSERT_TRUE(alone->SetValue(name.c_str(), value));
    EXPECT_EQ(2 * value, ValueOf(alone, name + u"*2"));
    value += 1.0;
  }
  EXPECT_EQ(FreshCount() + 2 * 5, all->GetCount());
  // A name is read whole only from its first unit on; after a letter the
  // lexer reads an identifier.
  ASSERT_TRUE(all->AddVariable(u"a\xD800"));
  EXPECT_FALSE(all->CreateExpression(u"a\xD800"));
}

// --- Carriage returns.

// A carriage return is not a blank: a text that reaches one is refused,
// never misread; as part of a name it is just another unit.
TEST(HostileInput, CarriageReturns) {
  ParserHandle parser = CreateExpressionParser();
  for (const char16_t *text :
       {u"1\r", u"\r1", u"x\r\n+1", u"1+\r2", u"\r", u"sin(\rx)", u"(1)\r\n"}) {
    SCOPED_TRACE(Printable(text));
    EXPECT_FALSE(parser->CreateExpression(text));
    ExpectSafe(parser, text);
  }
  EXPECT_EQ(3.0, ValueOf(parser, u"1+\n2"));
  ASSERT_TRUE(parser->AddVariable(u"\rk"));
  ASSERT_TRUE(parser->SetValue(u"\rk", 4.0));
  EXPECT_EQ(8.0, ValueOf(parser, u"2*\rk"));
}

// --- Values that are not finite.

int g_special = 0;
double Special(std::uintptr_t) {
  const double values[] = {kNaN, kInf, -kInf, -1e308, 4.9e-324};
  return values[g_special];
}

struct SpecialCase {
  int returned; // index into Special's values
  const char16_t *text;
  double expected;
};

// NaN and infinities from callbacks and SetValue never reach the host:
// whatever is not finite reads 0.0 where a leaf or a group is read.
TEST(HostileInput, NonFiniteValuesFromCallbacksAndSetValue) {
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddFunction(u"cb", Special));
  const SpecialCase cases[] = {
      {0, u"cb", 0.0},       {0, u"cb+1", 0.0},    {0, u"(cb)+1", 1.0},
      {0, u"sin(cb)", 0.0},  {0, u"2*cb", 0.0},    {1, u"cb-cb", 0.0},
      {1, u"(cb)*0", 0.0},   {1, u"1/cb", 0.0},    {1, u"exp(cb)", 1.0},
      {2, u"cb", 0.0},       {2, u"(cb)+5", 5.0},  {3, u"cb*10", 0.0},
      {3, u"cb/10", -1e307}, {4, u"cb", 4.9e-324},
  };
  for (const SpecialCase &c : cases) {
    SCOPED_TRACE(Printable(c.text));
    g_special = c.returned;
    EXPECT_DOUBLE_EQ(c.expected, ValueOf(parser, c.text));
  }

  ASSERT_TRUE(parser->AddVariable(u"v"));
  ExpressionHandle plain = parser->CreateExpression(u"v");
  ExpressionHandle sum = parser->CreateExpression(u"v+x+2");
  ASSERT_TRUE(plain && sum);
  for (double value : {kNaN, kInf, -kInf}) {
    ASSERT_TRUE(parser->SetValue(u"v", value));
    ASSERT_TRUE(parser->SetValue(u"x", value));
    ASSERT_TRUE(parser->SetValue(u"pi", value));
    EXPECT_EQ(std::make_pair(true, 0.0), plain->Evaluate(0));
    EXPECT_EQ(std::make_pair(true, 2.0), sum->Evaluate(0));
    EXPECT_EQ(0.0, ValueOf(parser, u"pi"));
    EXPECT_EQ(3.0, ValueOf(parser, u"pi*pi+3"));
  }
}

// --- Callbacks that throw or call back in.

struct HostError : std::runtime_error {
  HostError() : std::runtime_error("host callback failed") {}
};

bool g_throw = false;
int g_thrown = 0;
double Boom(std::uintptr_t context) {
  if (g_throw) {
    ++g_thrown;
    throw HostError();
  }
  return double(context);
}

// The host's exception reaches the host through any nesting; the
// expression and the parser go on as before, and nothing leaks.
TEST(HostileInput, CallbackThatThrows) {
#if defined(_WIN32) && defined(__i386__)
  // 32-bit MinGW unwinds by tables that each module registers with its own
  // copy of the static runtime: the host's unwinder cannot pass the DLL.
  GTEST_SKIP() << "exceptions cannot cross the 32-bit DLL";
#endif
  ParserHandle parser = CreateExpressionParser();
  ASSERT_TRUE(parser->AddFunction(u"boom", Boom));
  ASSERT_TRUE(parser->SetValue(u"x", 1.0));
  const std::u16string texts[] = {u"boom", u"1+sin(2*(boom+x))",
                                  Repeat(u"cos(", 12) + u"boom" +
                                      std::u16string(12, u')')};
  for (const std::u16string &text : texts) {
    SCOPED_TRACE(Printable(text));
    ExpressionHandle e = parser->CreateExpression(text.c_str());
    ASSERT_TRUE(e);
    const double before = e->Evaluate(3).second;
    g_throw = true;
    g_thrown = 0;
    EXPECT_THROW(e->Evaluate(3), HostError);
    EXPECT_EQ(1, g_thrown);
    g_throw = false;
    EXPECT_EQ(std::make_pair(true, before), e->Evaluate(3));
  }
  EXPECT_EQ(FreshCount() + 2, parser->GetCount());
  ASSERT_TRUE(parser->AddVariable(u"after"));
  ASSERT_TRUE(parser->SetValue(u"after", 2.0));
  EXPECT_EQ(6.0, ValueOf(parser, u"after*boom", 3));
}

ParserHandle g_inner;
double Reentrant(std::uintptr_t context) {
  // A host formula that evaluates another formula of the same parser and
  // changes a variable on the way.
  EXPECT_TRUE(g_inner->SetValue(u"y", double(context)));
  ExpressionHandle inner = g_inner->CreateExpression(u"y*10");
  EXPECT_TRUE(g_inner->AddVariable(u"made"));
  return inner ? inner->Evaluate(0).second : kNaN;
}

// A callback may use its own parser while the evaluation runs.
TEST(HostileInput, CallbackThatUsesItsParser) {
  g_inner = CreateExpressionParser();
  ASSERT_TRUE(g_inner->AddFunction(u"nested", Reentrant));
  ExpressionHandle e = g_inner->CreateExpression(u"nested+y");
  ASSERT_TRUE(e);
  EXPECT_EQ(std::make_pair(true, 40.0 + 4.0), e->Evaluate(4));
  EXPECT_EQ(FreshCount() + 4, g_inner->GetCount());
  e.reset();
  g_inner.reset();
}

} // namespace
