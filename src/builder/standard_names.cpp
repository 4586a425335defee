#include "builder/standard_names.h"

#include "builder/expression_builder.h"

#include <cmath>
#include <cstring>

// The C library's own functions, by their C names.
#include <math.h>

namespace {

// The C library's functions by their double overloads.
double StdSin(double v) { return std::sin(v); }
double StdCos(double v) { return std::cos(v); }
double StdTan(double v) { return std::tan(v); }
double StdExp(double v) { return std::exp(v); }
double StdLog(double v) { return std::log(v); }

enum OperatorPlace { kInfix, kInfixOrSign };

constexpr STANDARD_NAME Operator(const char *name, TOKEN_TYPE type,
                                 std::int32_t priority, FLAT_MODE mode,
                                 OperatorPlace place) {
  STANDARD_NAME row = STANDARD_NAME();
  row.name = name;
  row.kind = StandardKind::kOperator;
  row.type = type;
  row.priority = priority;
  row.mode = mode;
  row.sign = place == kInfixOrSign;
  return row;
}

constexpr STANDARD_NAME Bracket(const char *name, TOKEN_TYPE type) {
  STANDARD_NAME row = STANDARD_NAME();
  row.name = name;
  row.kind = StandardKind::kBracket;
  row.type = type;
  return row;
}

constexpr STANDARD_NAME Function(const char *name, EVAL_FUNCTION function,
                                 double (*library)(double)) {
  STANDARD_NAME row = STANDARD_NAME();
  row.name = name;
  row.kind = StandardKind::kFunction;
  row.type = TT_FUNCTION;
  row.function = function;
  row.library = library;
  return row;
}

constexpr STANDARD_NAME Value(const char *name, StandardKind kind,
                              double value) {
  STANDARD_NAME row = STANDARD_NAME();
  row.name = name;
  row.kind = kind;
  row.value = value;
  return row;
}

constexpr STANDARD_NAME Variable(const char *name,
                                 double CExpressionBuilder::*storage,
                                 bool coordinate = false, bool time = false) {
  STANDARD_NAME row = STANDARD_NAME();
  row.name = name;
  row.kind = StandardKind::kVariable;
  row.type = TT_DOUBLE_REF;
  row.storage = storage;
  row.coordinate = coordinate;
  row.time = time;
  return row;
}

} // namespace

// The rows, where the builder lets their variables' storage be named.
// Constant: laid out when the module loads, never by a first caller racing
// another thread. "pi" is the double nearest 3.1415926 on purpose.
struct STANDARD_TABLE {
  static constexpr STANDARD_NAME kRows[] = {
      Operator("+", TT_PLUS, 2, kAdd, kInfixOrSign),
      Operator("-", TT_MINUS, 2, kSub, kInfixOrSign),
      Operator("*", TT_MUL, 1, kMul, kInfix),
      Operator("/", TT_DIV, 1, kDiv, kInfix),
      Operator("^", TT_POW, 0, kPow, kInfix),
      Bracket("(", TT_LPAREN),
      Bracket(")", TT_RPAREN),
      Function("sin", StdSin, ::sin),
      Function("cos", StdCos, ::cos),
      Function("tan", StdTan, ::tan),
      Function("exp", StdExp, ::exp),
      Function("log", StdLog, ::log),
      Value("gol", StandardKind::kPlaceholder, 1.0),
      Value("pi", StandardKind::kConstant, 3.1415926),
      Variable("{Unit}", &CExpressionBuilder::m_unit),
      Variable("{SI}", &CExpressionBuilder::m_si),
      Variable("x", &CExpressionBuilder::m_x, true),
      Variable("y", &CExpressionBuilder::m_y, true),
      Variable("z", &CExpressionBuilder::m_z, true),
      Variable("r", &CExpressionBuilder::m_r, true),
      Variable("t", &CExpressionBuilder::m_t, false, true),
      Variable("phi", &CExpressionBuilder::m_phi, true),
      Variable("theta", &CExpressionBuilder::m_theta, true),
      Variable("Density", &CExpressionBuilder::m_density),
      Variable("AbsVelosity", &CExpressionBuilder::m_absVelosity),
      Variable("PoreSize", &CExpressionBuilder::m_poreSize),
      Variable("DinViscosity", &CExpressionBuilder::m_dinViscosity),
      Variable("Re", &CExpressionBuilder::m_re),
  };
};

STANDARD_NAME_LIST StandardNames() {
  return STANDARD_NAME_LIST{STANDARD_TABLE::kRows,
                            sizeof STANDARD_TABLE::kRows /
                                sizeof STANDARD_TABLE::kRows[0]};
}

namespace {

constexpr OPERATOR_INDEX IndexOperators() {
  OPERATOR_INDEX index = {};
  for (const STANDARD_NAME &row : STANDARD_TABLE::kRows) {
    if (row.kind == StandardKind::kOperator)
      index.rows[row.type] = &row; // not a constant past kTokenTypeLimit
  }
  return index;
}

} // namespace

constexpr OPERATOR_INDEX kOperatorIndex = IndexOperators();

EVAL_FUNCTION StandardFunction(const char *name) {
  for (const STANDARD_NAME &row : StandardNames()) {
    if (row.kind == StandardKind::kFunction && std::strcmp(row.name, name) == 0)
      return row.function;
  }
  return nullptr;
}

const STANDARD_NAME *StandardFunctionRow(EVAL_FUNCTION function) {
  for (const STANDARD_NAME &row : StandardNames()) {
    if (row.kind == StandardKind::kFunction && row.function == function)
      return &row;
  }
  return nullptr;
}

EVAL_FUNCTION DirectFunction(EVAL_FUNCTION function) {
  const STANDARD_NAME *row = StandardFunctionRow(function);
  return row != nullptr ? row->library : function;
}
