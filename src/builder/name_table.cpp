// The standard names every builder knows from the start.
#include "builder/expression_builder.h"

#include <cmath>

using calc_nmspace::TOKEN;

namespace {

// The C library's functions by their double overloads.
double StdSin(double v) { return std::sin(v); }
double StdCos(double v) { return std::cos(v); }
double StdTan(double v) { return std::tan(v); }
double StdExp(double v) { return std::exp(v); }
double StdLog(double v) { return std::log(v); }

void EnterOperator(CExpressionBuilder::NameTable &table,
                   const std::u16string &name, TOKEN_TYPE type,
                   std::int32_t priority) {
  TOKEN &entry = table[name];
  entry.type = type;
  entry.priority = priority;
}

} // namespace

EVAL_FUNCTION StandardFunction(const char *name) {
  const std::string n(name);
  if (n == "sin")
    return StdSin;
  if (n == "cos")
    return StdCos;
  if (n == "tan")
    return StdTan;
  if (n == "exp")
    return StdExp;
  if (n == "log")
    return StdLog;
  return nullptr;
}

// Enters the 28 standard rows in their fixed order; "pi" is the double
// nearest 3.1415926 on purpose, and "gol" is a placeholder holding 1.
void CExpressionBuilder::FillNameTable() {
  m_tokens.clear();
  EnterOperator(m_tokens, u"+", TT_PLUS, 2);
  EnterOperator(m_tokens, u"-", TT_MINUS, 2);
  EnterOperator(m_tokens, u"*", TT_MUL, 1);
  EnterOperator(m_tokens, u"/", TT_DIV, 1);
  EnterOperator(m_tokens, u"^", TT_POW, 0);
  m_tokens[u"("].type = TT_LPAREN;
  m_tokens[u")"].type = TT_RPAREN;
  m_tokens[u"sin"].SetFunction(StdSin);
  m_tokens[u"cos"].SetFunction(StdCos);
  m_tokens[u"tan"].SetFunction(StdTan);
  m_tokens[u"exp"].SetFunction(StdExp);
  m_tokens[u"log"].SetFunction(StdLog);
  TOKEN &gol = m_tokens[u"gol"];
  gol.SetInt(1);
  gol.type = TT_PLACEHOLDER;
  m_tokens[u"x"].SetDoubleRef(&m_x);
  m_tokens[u"y"].SetDoubleRef(&m_y);
  m_tokens[u"z"].SetDoubleRef(&m_z);
  m_tokens[u"r"].SetDoubleRef(&m_r);
  m_tokens[u"t"].SetDoubleRef(&m_t);
  m_tokens[u"phi"].SetDoubleRef(&m_phi);
  m_tokens[u"theta"].SetDoubleRef(&m_theta);
  m_tokens[u"DinViscosity"].SetDoubleRef(&m_dinViscosity);
  m_tokens[u"PoreSize"].SetDoubleRef(&m_poreSize);
  m_tokens[u"AbsVelosity"].SetDoubleRef(&m_absVelosity);
  m_tokens[u"Density"].SetDoubleRef(&m_density);
  m_tokens[u"pi"].SetDouble(3.1415926);
  m_tokens[u"{SI}"].SetDoubleRef(&m_si);
  m_tokens[u"{Unit}"].SetDoubleRef(&m_unit);
  m_tokens[u"Re"].SetDoubleRef(&m_re);
}
