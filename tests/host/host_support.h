// What the host-level tests share: compiling and evaluating a text, and a
// probe that callbacks reach through the context word.
#ifndef VOXEVAL_TESTS_HOST_SUPPORT_H
#define VOXEVAL_TESTS_HOST_SUPPORT_H

#include <VOXEvalExpressions.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

typedef boost::shared_ptr<IVOXExpressionParser> ParserHandle;
typedef boost::shared_ptr<IVOXExpression> ExpressionHandle;

// The text as the test output shows it (ASCII as is, the rest escaped).
inline std::string Printable(const std::u16string &text) {
  std::string out;
  for (char16_t c : text.substr(0, 80)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      static const char digits[] = "0123456789ABCDEF";
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4)
        out += digits[(c >> shift) & 0xF];
    }
  }
  if (text.size() > 80)
    out += "...";
  return out;
}

// The value of a text compiled now and evaluated with the given word; NaN
// (and a failure) when it does not compile.
inline double ValueOf(const ParserHandle &parser, const std::u16string &text,
                      std::uintptr_t context = 0) {
  ExpressionHandle expression = parser->CreateExpression(text.c_str());
  EXPECT_TRUE(expression) << "does not compile: " << Printable(text);
  if (!expression)
    return std::numeric_limits<double>::quiet_NaN();
  const std::pair<bool, double> result = expression->Evaluate(context);
  EXPECT_TRUE(result.first);
  return result.second;
}

// Callbacks reach this through the context word, as a host's object would.
// GetCount of a fresh parser: what the table of standard names gives, read
// through the interface (one test holds it to the documented number).
inline int FreshCount() { return CreateExpressionParser()->GetCount(); }

struct Probe {
  int calls = 0;
  double next = 1.0; // each call returns this, then adds 1
  std::vector<std::uintptr_t> contexts;
  std::uintptr_t Word() { return reinterpret_cast<std::uintptr_t>(this); }
};

inline double ProbeCallback(std::uintptr_t context) {
  Probe *probe = reinterpret_cast<Probe *>(context);
  ++probe->calls;
  probe->contexts.push_back(context);
  const double v = probe->next;
  probe->next += 1.0;
  return v;
}

#endif
