// What both fuzz targets hold the library to, and the call budget that keeps
// inputs with exponentially many callback calls from stalling a run.
#ifndef VOXEVAL_FUZZ_PROMISES_H
#define VOXEVAL_FUZZ_PROMISES_H

#include <VOXEvalExpressions.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

// A broken promise is a finding: report it and stop, so that libFuzzer keeps
// the input.
#define FUZZ_REQUIRE(condition)                                                \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "%s:%d: promise broken: %s\n", __FILE__, __LINE__,  \
                   #condition);                                                \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

// Evaluate always reports success with a finite value.
inline double CheckedEvaluate(const IVOXExpression &expression,
                              std::uintptr_t context) {
  const std::pair<bool, double> result = expression.Evaluate(context);
  FUZZ_REQUIRE(result.first);
  FUZZ_REQUIRE(std::isfinite(result.second));
  return result.second;
}

// Thrown by a callback once an evaluation has made more calls than a
// callback inside 16 nested function arguments would (each level doubles
// them by design). The target skips such inputs.
struct CallBudgetSpent {};

const std::uint64_t kCallBudget = std::uint64_t(1) << 16;

// Calls made since the current evaluation began; reset before each one.
inline std::uint64_t &CallsThisEvaluation() {
  static std::uint64_t calls = 0;
  return calls;
}

inline void CountCall() {
  if (++CallsThisEvaluation() > kCallBudget)
    throw CallBudgetSpent();
}

#endif
