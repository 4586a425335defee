// Kind codes shared by tokens, the compiled image and evaluation records.
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

inline bool IsOperator(std::int32_t type) {
  return type >= TT_PLUS && type <= TT_POW;
}

// Text positions count UTF-16 units; npos marks the place past the end.
const std::int32_t npos = -1;

#endif
