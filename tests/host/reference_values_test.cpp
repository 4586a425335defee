// A fixed table of formulas and the exact values the x86-64 build gave for
// them, checked on every target: a platform that evaluates differently shows
// up as the formula that differs. tests/tools/write_reference_values.cpp
// writes the table, and each target's lines of reference_differences.inc.
#include "host_support.h"
#include "reference_table.h"

#include <cmath>
#include <cstring>
#include <string>

namespace {

// The C library's functions, which sin, cos, tan, exp, log and "^" call,
// are the platform's own and may round differently. Where a target's do,
// the formulas that meet such a call are listed with the target's value
// (written by write_reference_values --differences there); all other
// formulas must be identical, and so the library's own arithmetic everywhere.
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

} // namespace

// Exact bits: only a formula's own result decides, never a tolerance.
TEST(ReferenceValues, EveryTargetGivesTheX8664Values) {
  ASSERT_GE(sizeof kReferences / sizeof kReferences[0], 500u);
  const ParserHandle parser = ReferenceParser();
  ASSERT_TRUE(parser) << "a reference name was refused";
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
