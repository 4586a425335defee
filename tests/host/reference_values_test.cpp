// A fixed table of formulas and the exact values the x86-64 build gave for
// them, checked on every target: a platform that evaluates differently shows
// up as the formula that differs. The table is written on x86-64 Linux, a
// target's lines of reference_differences.inc on that target (run from the
// source directory; through Wine or qemu for the other targets):
//   build/default/tests/host_tests --gtest_also_run_disabled_tests
//     --gtest_filter=ReferenceValues.DISABLED_Write --gtest_brief=1
//     | grep '^[{/]' > tests/host/reference_values.inc
//   build/linux32/tests/host_tests --gtest_also_run_disabled_tests
//     --gtest_filter=ReferenceValues.DISABLED_WriteDifferences
//     --gtest_brief=1 | grep '^{'
#include "host_support.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Reference {
  const char16_t *text;
  bool compiles;
  double value; // 0 when it does not compile
};

const Reference kReferences[] = {
#include "reference_values.inc"
};

// Fits in the 32-bit context word of 32-bit hosts.
const std::uintptr_t kContext = 0x9E3779B9u;

// Calls in the evaluation under way, so that how often a callback is called
// shows in the value.
int g_ticks = 0;
double Tick(std::uintptr_t) { return ++g_ticks; }
double Context(std::uintptr_t context) { return double(context) / 1024; }

// Every predefined variable and a few of the host's, with values that make
// rounding show: no two alike, most not exact in binary.
ParserHandle ReferenceParser() {
  ParserHandle parser = CreateExpressionParser();
  static const struct {
    const char16_t *name;
    double value;
  } kValues[] = {
#include "reference_names.inc"
  };
  for (const auto &v : kValues) {
    parser->AddVariable(v.name); // refused for the predefined ones
    EXPECT_TRUE(parser->SetValue(v.name, v.value)) << Printable(v.name);
  }
  EXPECT_TRUE(parser->AddFunction(u"tick", &Tick));
  EXPECT_TRUE(parser->AddFunction(u"ctx", &Context));
  return parser;
}

// (compiles, value) of a text on a reference parser.
std::pair<bool, double> Outcome(const ParserHandle &parser,
                                const std::u16string &text) {
  ExpressionHandle expression = parser->CreateExpression(text.c_str());
  if (!expression)
    return std::pair<bool, double>(false, 0.0);
  g_ticks = 0;
  return expression->Evaluate(kContext);
}

// The C library's functions, which sin, cos, tan, exp, log and "^" call,
// are the platform's own and may round differently. Where a target's do,
// the formulas that meet such a call are listed with the target's value
// (written by DISABLED_WriteDifferences there); all other formulas must be
// identical, and so the library's own arithmetic everywhere.
#if defined(_WIN32) && defined(__i386__)
const char kTarget[] = "windows32";
#elif defined(_WIN32)
const char kTarget[] = "windows";
#elif defined(__i386__)
const char kTarget[] = "linux32";
#elif defined(__aarch64__)
const char kTarget[] = "arm64";
#else
const char kTarget[] = "x86-64";
#endif

struct Difference {
  const char *target;
  const char16_t *text;
  double value; // the formula's value on the target
};

const Difference kDifferences[] = {
#include "reference_differences.inc"
};

bool CallsTheCLibrary(const std::u16string &text) {
  for (const char16_t *name : {u"sin", u"cos", u"tan", u"exp", u"log", u"^"})
    if (text.find(name) != std::u16string::npos)
      return true;
  return false;
}

// Calls whose results tell the C libraries apart, with x86-64 glibc's.
struct LibraryProbe {
  const char *function;
  double argument, exponent, x8664;
};

const LibraryProbe kProbes[] = {
    {"sin", 0x1.0f0cf064dd592p+73, 0, -0x1.b453ab76bf397p-1},
    {"cos", 0x1.0f0cf064dd592p+73, 0, 0x1.0be2cef01c8f4p-1},
    {"tan", 0x1.8p+0, 0, 0x1.c33ed50b88777p+3},
    {"sin", 0x1.921fb54442d18p+1, 0, 0x1.1a62633145c07p-53},
    {"exp", 0x1.9a970a7509c7ep+7, 0, 0x1.21a1fa483cc41p+296},
    {"log", 0x1.34ap+10, 0, 0x1.c79436f818745p+2},
    {"pow", 0x1.000001ad7f29bp+0, 0x1.312dp+23, 0x1.5bf0a790ce6f2p+1},
    {"tan", 0x1p-1, 0, 0x1.17b4f5bf3474ap-1},
};

double Call(const LibraryProbe &probe) {
  const std::string function = probe.function;
  volatile double argument = probe.argument; // called, not folded
  if (function == "sin")
    return std::sin(argument);
  if (function == "cos")
    return std::cos(argument);
  if (function == "tan")
    return std::tan(argument);
  if (function == "exp")
    return std::exp(argument);
  if (function == "log")
    return std::log(argument);
  return std::pow(argument, probe.exponent);
}

const Difference *DifferenceFor(const char16_t *text) {
  for (const Difference &d : kDifferences) {
    if (std::strcmp(d.target, kTarget) == 0 &&
        std::u16string(d.text) == std::u16string(text))
      return &d;
  }
  return nullptr;
}

std::uint64_t Bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// --- The formulas the table was made from -------------------------------

// By hand: each operator and function, the order of evaluation, the quirks
// of the language, values that are not finite along the way.
// clang-format off
const char16_t *const kHandWritten[] = {
    u"0", u"1", u"-1", u"2.5", u"0.1", u"1e-3", u"1E+3", u".5", u"5.",
    u"0.30000000000000004", u"123456789012345678901234567890", u"1e308*10",
    u"1e-320", u"4.9e-324", u"2.2250738585072011e-308",
    u"1.7976931348623157e308", u"1.7976931348623159e308", u"0.1+0.2", u"1-0.9",
    u"3*0.1", u"1/3", u"2/3", u"10/3*3", u"1/0", u"0/0", u"-1/0",
    u"1e300*1e300", u"huge+huge", u"huge*2/4", u"tiny/2", u"tiny*0.5",
    u"tiny*2", u"big*big/big", u"1-2-3", u"8/2/2", u"2^3^2", u"1+2*3",
    u"1+2*3+4", u"1+2*3^2", u"2^3*4", u"2*(3+4)", u"(1+2)*3", u"-5", u"-2^2",
    u"2*-3", u"2+-3", u"2^-1", u"-x", u"+x", u"x y", u"(x)(y)", u"2^0.5",
    u"2^-0.5", u"(-8)^(1/3)", u"(-2)^3", u"(-2)^0.5", u"0^0", u"0^-1",
    u"10^-310", u"10^308", u"10^309", u"x^y", u"y^x", u"a^b", u"b^a",
    u"1.0000001^1e7", u"sin(x)", u"cos(x)", u"tan(x)", u"exp(x)", u"log(x)",
    u"sin x", u"sin(pi)", u"cos(pi)", u"tan(pi/2)", u"sin(1e22)", u"cos(1e22)",
    u"tan(1e22)", u"sin(1e300)", u"exp(709.78)", u"exp(710)", u"exp(-745.2)",
    u"exp(-746)", u"log(0)", u"log(-1)", u"log(tiny)", u"log(huge)",
    u"exp(log(10))", u"log(exp(10))", u"sin(x)^2+cos(x)^2", u"2*sin(x)+1",
    u"1+sin(x)*2", u"sin(cos(tan(x)))", u"exp(sin(x)*log(Re))", u"sin",
    u"1+sin", u"(sin)", u"pi", u"2*pi*r", u"pi*r^2", u"gol", u"gol+1",
    u"x*gol", u"{SI}*x+{Unit}", u"Density*AbsVelosity*PoreSize/DinViscosity",
    u"Re*phi-theta", u"sqrt(x)", u"X", u"x+", u"*x", u"()", u"(", u")", u"1 ",
    u" 1", u"x++y", u"x**y", u"1..2", u"1e", u"1e+", u"tick", u"tick+tick",
    u"tick*10+tick", u"sin(tick)", u"sin tick", u"tick-tick", u"(tick)^2",
    u"ctx", u"ctx*2", u"sin(ctx)", u"ctx/tick", u"a+b", u"a*3", u"b/a",
    u"big-big", u"big*tiny", u"x*-y", u"x/-y", u"(x-y)*(x+y)", u"x^2-y^2",
    u"((((x))))", u"((((1+2)*3)-4)/5)^6", u"1/(1/(1/(1/x)))",
    u"x*y*z*r*t*phi*theta", u"x/y/z/r/t/phi/theta", u"x-y-z-r-t-phi-theta",
};
// clang-format on

// Deterministic so that the table can be written again; a plain LCG, not a
// standard distribution, whose results vary between libraries.
class Formulas {
public:
  // withLibrary false: no functions and no "^", so the value is the
  // library's own arithmetic alone.
  explicit Formulas(bool withLibrary, std::uint64_t seed)
      : m_withLibrary(withLibrary), m_state(seed) {}
  std::u16string Next() { return Sum(3); }

private:
  std::uint32_t Choose(std::uint32_t n) {
    m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(m_state >> 33) % n;
  }

  std::u16string Sum(int depth) {
    std::u16string text = Product(depth);
    for (std::uint32_t n = Choose(3); n > 0; --n)
      text += (Choose(2) ? u"+" : u"-") + Product(depth);
    return text;
  }
  std::u16string Product(int depth) {
    std::u16string text = Power(depth);
    for (std::uint32_t n = Choose(3); n > 0; --n)
      text += (Choose(2) ? u"*" : u"/") + Power(depth);
    return text;
  }
  std::u16string Power(int depth) {
    std::u16string text = Operand(depth);
    if (m_withLibrary && Choose(4) == 0)
      text += u"^" + Operand(depth);
    return text;
  }
  std::u16string Operand(int depth) {
    static const char16_t *const kLeaves[] = {
        u"x",    u"y",    u"z",  u"r",    u"t",    u"phi",  u"theta",
        u"Re",   u"a",    u"b",  u"pi",   u"2",    u"0.1",  u"3.75",
        u"1e-7", u"1e12", u"17", u"0.5",  u"tick", u"ctx",  u"Density",
        u"{SI}", u"0",    u"1",  u"1e-5", u"2e3",  u"0.25", u"7.3"};
    static const char16_t *const kFunctions[] = {u"sin", u"cos", u"tan", u"exp",
                                                 u"log"};
    const std::uint32_t kind = depth > 0 ? Choose(6) : 0;
    if (kind == 4)
      return std::u16string(u"(") + Sum(depth - 1) + u")";
    if (kind == 5 && m_withLibrary)
      return std::u16string(kFunctions[Choose(5)]) + u"(" + Sum(depth - 1) +
             u")";
    return kLeaves[Choose(sizeof kLeaves / sizeof kLeaves[0])];
  }

  bool m_withLibrary;
  std::uint64_t m_state;
};

const int kGenerated = 400;
const int kGeneratedArithmetic = 200;

// Every formula of the table, in order.
std::vector<std::u16string> TableTexts() {
  std::vector<std::u16string> texts(std::begin(kHandWritten),
                                    std::end(kHandWritten));
  Formulas formulas(true, 20261208);
  for (int i = 0; i < kGenerated; ++i)
    texts.push_back(formulas.Next());
  Formulas arithmetic(false, 17);
  for (int i = 0; i < kGeneratedArithmetic; ++i)
    texts.push_back(arithmetic.Next());
  return texts;
}

// A char16_t literal for the table.
std::string Literal(const std::u16string &text) {
  std::string out = "u\"";
  for (char16_t c : text) {
    if (c == u'"' || c == u'\\')
      out += '\\';
    out += static_cast<char>(c);
  }
  return out + "\"";
}

} // namespace

// Exact bits: only a formula's own result decides, never a tolerance.
TEST(ReferenceValues, EveryTargetGivesTheX8664Values) {
  ASSERT_GE(sizeof kReferences / sizeof kReferences[0], 500u);
  const ParserHandle parser = ReferenceParser();
  for (const Reference &reference : kReferences) {
    const std::pair<bool, double> got = Outcome(parser, reference.text);
    EXPECT_EQ(got.first, reference.compiles) << Printable(reference.text);
    if (got.first && reference.compiles) {
      const Difference *difference = DifferenceFor(reference.text);
      const double expected = difference ? difference->value : reference.value;
      EXPECT_EQ(Bits(got.second), Bits(expected))
          << Printable(reference.text) << ": got " << std::hexfloat
          << got.second << ", expected " << expected;
    }
  }
}

// A listed difference stands only for a formula that calls the C library,
// on a target whose C library does round differently, and while the value
// there does differ.
TEST(ReferenceValues, ListedDifferencesComeFromTheCLibrary) {
  bool libraryDiffers = false;
  for (const LibraryProbe &probe : kProbes)
    libraryDiffers = libraryDiffers || Bits(Call(probe)) != Bits(probe.x8664);
  for (const Difference &d : kDifferences) {
    if (std::strcmp(d.target, kTarget) != 0)
      continue;
    SCOPED_TRACE(Printable(d.text));
    EXPECT_TRUE(libraryDiffers) << "this C library agrees with x86-64's";
    EXPECT_TRUE(CallsTheCLibrary(d.text));
    const Reference *reference = nullptr;
    for (const Reference &r : kReferences)
      if (std::u16string(r.text) == d.text)
        reference = &r;
    ASSERT_NE(reference, nullptr) << "not in the table";
    EXPECT_NE(Bits(d.value), Bits(reference->value)) << "no difference";
  }
}

TEST(ReferenceValues, DISABLED_Write) {
  const ParserHandle parser = ReferenceParser();
  std::printf("// Written by ReferenceValues.DISABLED_Write on x86-64 Linux "
              "(see reference_values_test.cpp).\n");
  for (const std::u16string &text : TableTexts()) {
    const std::pair<bool, double> got = Outcome(parser, text);
    std::printf("{%s, %s, %a},\n", Literal(text).c_str(),
                got.first ? "true" : "false", got.second);
  }
}

// This target's lines of reference_differences.inc.
TEST(ReferenceValues, DISABLED_WriteDifferences) {
  const ParserHandle parser = ReferenceParser();
  for (const Reference &reference : kReferences) {
    const std::pair<bool, double> got = Outcome(parser, reference.text);
    if (got.first && Bits(got.second) != Bits(reference.value))
      std::printf("{\"%s\", %s, %a},\n", kTarget,
                  Literal(reference.text).c_str(), got.second);
  }
}
