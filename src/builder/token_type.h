// Kind codes shared by tokens, the compiled image and evaluation records,
// and the arithmetic modes operators stand for.
#ifndef VOXEVAL_BUILDER_TOKEN_TYPE_H
#define VOXEVAL_BUILDER_TOKEN_TYPE_H

#include <VOXEvalExpressions.h>

#include <cstdint>

// A standard function applied to one operand.
typedef double (*EVAL_FUNCTION)(double);

// The numbers are part of the compiled image; never renumber them.
enum TOKEN_TYPE : std::int32_t {
  TT_NONE = 0,
  TT_INT = 1,
  TT_FLOAT = 2,
  TT_DOUBLE = 3,
  TT_INT_REF = 4,
  TT_FLOAT_REF = 5,
  TT_DOUBLE_REF = 6,
  TT_FUNCTION = 7,
  TT_PLUS = 8,
  TT_MINUS = 9,
  TT_MUL = 10,
  TT_DIV = 11,
  TT_POW = 12,
  TT_GROUP = 13,
  TT_LPAREN = 14,
  TT_RPAREN = 15,
  TT_CALLBACK = 16,
  TT_PLACEHOLDER = 17
};
// Every kind code lies below this.
constexpr std::int32_t kTokenTypeLimit = 32;
static_assert(TT_PLACEHOLDER < kTokenTypeLimit, "a kind code past the limit");

// How a value meets the running value of its group: by the operator before
// the item (its row in the standard names gives the mode); kFirst for a
// group's first item; kPush for the first item of a nested group, which
// saves the enclosing running value first; kDrop for a value that is
// dropped (whose making may still call a callback). An operator's mode that
// the flat program and the machine code have no steps for goes after kDrop:
// groups that use it are evaluated from the records (see HasSteps).
enum FLAT_MODE : std::uint16_t {
  kFirst,
  kPush,
  kAdd,
  kSub,
  kMul,
  kDiv,
  kPow,
  kDrop,
  kModeCount
};

// Text positions count UTF-16 units; npos marks the place past the end.
const std::int32_t npos = -1;

#endif
