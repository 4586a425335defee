// The table of formulas and their x86-64 values, and the parser they are
// evaluated on: what the reference values test and the program that writes
// the table (tests/tools/write_reference_values.cpp) share.
#ifndef VOXEVAL_TESTS_HOST_REFERENCE_TABLE_H
#define VOXEVAL_TESTS_HOST_REFERENCE_TABLE_H

#include <VOXEvalExpressions.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

struct Reference {
  const char16_t *text;
  bool compiles;
  double value; // 0 when it does not compile
};

inline const Reference kReferences[] = {
#include "reference_values.inc"
};

// The target's name in reference_differences.inc.
#if defined(_WIN32) && defined(__i386__)
inline const char kTarget[] = "windows32";
#elif defined(_WIN32)
inline const char kTarget[] = "windows";
#elif defined(__i386__)
inline const char kTarget[] = "linux32";
#elif defined(__aarch64__)
inline const char kTarget[] = "arm64";
#else
inline const char kTarget[] = "x86-64";
#endif

// Fits in the 32-bit context word of 32-bit hosts.
inline const std::uintptr_t kReferenceContext = 0x9E3779B9u;

// Calls in the evaluation under way, so that how often a callback is called
// shows in the value.
inline int g_ticks = 0;
inline double Tick(std::uintptr_t) { return ++g_ticks; }
inline double Context(std::uintptr_t context) { return double(context) / 1024; }

// Every predefined variable and a few of the host's, with values that make
// rounding show: no two alike, most not exact in binary. Empty when the
// parser refuses one of them.
inline boost::shared_ptr<IVOXExpressionParser> ReferenceParser() {
  boost::shared_ptr<IVOXExpressionParser> parser = CreateExpressionParser();
  static const struct {
    const char16_t *name;
    double value;
  } kValues[] = {
#include "reference_names.inc"
  };
  for (const auto &v : kValues) {
    parser->AddVariable(v.name); // refused for the predefined ones
    if (!parser->SetValue(v.name, v.value))
      return boost::shared_ptr<IVOXExpressionParser>();
  }
  if (!parser->AddFunction(u"tick", &Tick) ||
      !parser->AddFunction(u"ctx", &Context))
    return boost::shared_ptr<IVOXExpressionParser>();
  return parser;
}

// (compiles, value) of a text on a reference parser.
inline std::pair<bool, double>
Outcome(const boost::shared_ptr<IVOXExpressionParser> &parser,
        const std::u16string &text) {
  boost::shared_ptr<IVOXExpression> expression =
      parser->CreateExpression(text.c_str());
  if (!expression)
    return std::pair<bool, double>(false, 0.0);
  g_ticks = 0;
  return expression->Evaluate(kReferenceContext);
}

inline std::uint64_t Bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

#endif
