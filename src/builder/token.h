// The token: name-table entry, lexer output and parse-tree node in one.
#ifndef VOXEVAL_BUILDER_TOKEN_H
#define VOXEVAL_BUILDER_TOKEN_H

#include "builder/token_type.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

class CExpressionBuilder;
struct STOKEN;

namespace calc_nmspace {

// Eight bytes read according to the token's type.
union TOKEN_VALUE {
  std::int32_t ival;
  float fval;
  double dval;
  std::int32_t *iref;
  float *fref;
  double *dref;
  EVAL_FUNCTION func;
  EVAL_CALLBACK callback;
};

class TOKEN {
public:
  // Owned only when type is TT_GROUP.
  std::vector<TOKEN *> children;
  TOKEN_TYPE type;
  // 2 for "+" "-", 1 for "*" "/", 0 for "^", -1 for everything else.
  std::int32_t priority;
  TOKEN_VALUE value;
  // The text the token was read from (UTF-8); empty for name-table entries.
  std::string name;
  // A group the parser made of an operator's right operand, as opposed to
  // one written in parentheses. Only for showing how a text was read; it
  // never reaches the compiled image.
  bool operand;

  TOKEN();
  ~TOKEN();
  TOKEN(const TOKEN &) = delete;
  TOKEN &operator=(const TOKEN &) = delete;

  void ClearChildren();
  void CopyFrom(const TOKEN &source);

  void SetInt(std::int32_t v);
  void SetDouble(double v);
  void SetDoubleRef(double *v);
  void SetFunction(EVAL_FUNCTION f);
  void SetCallback(EVAL_CALLBACK c);

  // Writes the tree to a compiled image, reads it back into records and
  // binds them against the builder's registry. The caller owns the result
  // (release with FreeSToken, then free).
  STOKEN *Compile(boost::shared_ptr<CExpressionBuilder> builder) const;

  // Writes this token's image record at buffer + position and advances the
  // position by the record's size; with a null buffer it only counts.
  void WriteImage(std::uint8_t *buffer, std::uint64_t &position) const;
};

} // namespace calc_nmspace

#endif
