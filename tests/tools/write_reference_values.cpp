// Writes the table of formulas and values that the reference values test
// checks on every target (tests/host/reference_values_test.cpp). Built with
// the tests, but not one of them: it prints what the library gives now,
// right or wrong. From the source directory, on x86-64 Linux:
//   build/default/tests/write_reference_values
//     > tests/host/reference_values.inc
// and on each other target, for its lines of reference_differences.inc
// (through qemu or Wine for the cross builds; on Windows the program is in
// build/<preset>/bin):
//   build/linux32/tests/write_reference_values --differences
#include "../host/reference_table.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

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

void WriteTable(const boost::shared_ptr<IVOXExpressionParser> &parser) {
  std::printf("// Written by tests/tools/write_reference_values.cpp on "
              "x86-64 Linux.\n");
  for (const std::u16string &text : TableTexts()) {
    const std::pair<bool, double> got = Outcome(parser, text);
    std::printf("{%s, %s, %a},\n", Literal(text).c_str(),
                got.first ? "true" : "false", got.second);
  }
}

// This target's lines of reference_differences.inc: the formulas of the
// table whose value here is not the x86-64 one.
void WriteDifferences(const boost::shared_ptr<IVOXExpressionParser> &parser) {
  for (const Reference &reference : kReferences) {
    const std::pair<bool, double> got = Outcome(parser, reference.text);
    if (got.first && Bits(got.second) != Bits(reference.value))
      std::printf("{\"%s\", %s, %a},\n", kTarget,
                  Literal(reference.text).c_str(), got.second);
  }
}

} // namespace

int main(int argc, char **argv) {
  const bool differences =
      argc == 2 && std::strcmp(argv[1], "--differences") == 0;
  if (argc > 2 || (argc == 2 && !differences)) {
    std::fprintf(stderr, "usage: write_reference_values [--differences]\n");
    return 2;
  }
  const boost::shared_ptr<IVOXExpressionParser> parser = ReferenceParser();
  if (!parser) {
    std::fprintf(stderr, "a reference name was refused\n");
    return 1;
  }
  if (differences)
    WriteDifferences(parser);
  else
    WriteTable(parser);
  return 0;
}
