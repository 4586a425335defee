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

// Thrown by a callback once the input has made more calls than a run can
// afford; the target skips such inputs. A callback inside d nested function
// arguments is called 2^d times per evaluation by design, so inputs that
// nest callbacks more than 16 deep are skipped before they run, and this
// bounds the rest (many callbacks, many evaluations).
struct CallBudgetSpent {};

const std::uint64_t kCallBudget = std::uint64_t(1) << 15;
const int kMaxCallbackNesting = 16;

// Calls made since the counter was reset: before each input in the text
// and calls targets, before each evaluation in the differential target.
inline std::uint64_t &CallsCounted() {
  static std::uint64_t calls = 0;
  return calls;
}
inline std::uint64_t &CallsThisInput() { return CallsCounted(); }
inline std::uint64_t &CallsThisEvaluation() { return CallsCounted(); }

inline void CountCall() {
  if (++CallsCounted() > kCallBudget)
    throw CallBudgetSpent();
}

#endif
