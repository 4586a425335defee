// The names every builder knows from the start, in one table: the name
// table, the binding registry's standard bindings, the dependency tests
// and the evaluation tiers' knowledge of the standard functions are all
// read from it. Adding a standard function is adding a row here.
#ifndef VOXEVAL_BUILDER_STANDARD_NAMES_H
#define VOXEVAL_BUILDER_STANDARD_NAMES_H

#include "builder/token_type.h"

#include <cstddef>
#include <cstdint>

class CExpressionBuilder;

enum class StandardKind {
  kOperator,    // priority (0 binds tightest), mode, sign
  kBracket,     // "(" and ")"
  kFunction,    // the library's function calling the C library's
  kVariable,    // storage in each builder; registered for binding
  kConstant,    // a value of the name table only
  kPlaceholder, // "gol": an integer placeholder holding 1
};

struct STANDARD_NAME {
  const char *name; // ASCII
  StandardKind kind;
  TOKEN_TYPE type;       // operators and brackets
  std::int32_t priority; // operators
  // Operators: how the value after one meets the running value, and whether
  // it may stand with nothing on its left (at the start of a text), as "+"
  // and "-" may.
  FLAT_MODE mode;
  bool sign;
  // Functions: the library's own, whose address the records hold, and the
  // C library's function it calls, which machine code calls directly.
  EVAL_FUNCTION function;
  double (*library)(double);
  // Variables: where each builder keeps the value.
  double CExpressionBuilder::*storage;
  double value; // constants and placeholders
  bool coordinate;
  bool time;
};

struct STANDARD_NAME_LIST {
  const STANDARD_NAME *first;
  std::size_t count;
  const STANDARD_NAME *begin() const { return first; }
  const STANDARD_NAME *end() const { return first + count; }
};

// The rows; functions and variables in the order the registry takes them.
STANDARD_NAME_LIST StandardNames();

// The operators' rows by their kind code, null for other kinds: read at
// every item a compile or the record evaluator meets.
struct OPERATOR_INDEX {
  const STANDARD_NAME *rows[kTokenTypeLimit];
};
extern const OPERATOR_INDEX kOperatorIndex;

// The row of the operator of that kind, or null; IsOperator tells whether
// there is one.
inline const STANDARD_NAME *OperatorRow(std::int32_t type) {
  return static_cast<std::uint32_t>(type) < kTokenTypeLimit
             ? kOperatorIndex.rows[type]
             : nullptr;
}
inline bool IsOperator(std::int32_t type) {
  return OperatorRow(type) != nullptr;
}

// The standard function of that name, or null.
EVAL_FUNCTION StandardFunction(const char *name);

// The row of a standard function by the library's address, or null.
const STANDARD_NAME *StandardFunctionRow(EVAL_FUNCTION function);

// What the flat program and the machine code call for a function the
// records hold: for a standard one, the C library's function behind the
// library's own (which calls it and does nothing else); others as they
// are. It spares a call, and on 32-bit x86 the argument's copy in two
// halves that the C library's function then reads whole, which stalls the
// read (some 25 ns a call).
EVAL_FUNCTION DirectFunction(EVAL_FUNCTION function);

#endif
