// The engine behind one parser: name table, variable storage, host
// callbacks, binding registry, and the text operations that read them.
#ifndef VOXEVAL_BUILDER_EXPRESSION_BUILDER_H
#define VOXEVAL_BUILDER_EXPRESSION_BUILDER_H

#include "builder/name_index.h"
#include "builder/standard_names.h"
#include "builder/token.h"
#include "evaluation/binding_registry.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The narrow (UTF-8) form of a name, the key of the binding registry.
std::string WideToNarrow(const std::u16string &text);

class CExpressionBuilder {
public:
  typedef CNameIndex::Table NameTable;

  CExpressionBuilder();
  virtual ~CExpressionBuilder();
  CExpressionBuilder(const CExpressionBuilder &) = delete;
  CExpressionBuilder &operator=(const CExpressionBuilder &) = delete;

  // Names and values (builder/).
  void LoadDefaults();
  bool SetValue(const std::u16string &name, const double &value);
  // The same for a NUL-terminated name, without copying it: the host's call
  // at every point.
  // Only tail calls leave it, so it needs no stack frame; inlined into the
  // parser's SetValue, so the host's call is the only one.
  __attribute__((always_inline)) bool SetValue(const char16_t *name,
                                               const double &value) {
    const CNameIndex::Recent *recent = m_names.Recall(name);
    if (__builtin_expect(recent == nullptr, 0))
      return SetValueByIndex(name, value);
    const CNameIndex::Match match =
        __builtin_expect(recent->length <= 3, 1)
            ? (CNameIndex::SameText(name, recent->text) ? CNameIndex::kSame
                                                        : CNameIndex::kDiffers)
            : CNameIndex::MatchHead(name, *recent);
    if (__builtin_expect(match == CNameIndex::kSame, 1)) {
      *recent->target = value;
      return true;
    }
    if (match == CNameIndex::kSameSoFar)
      return SetLongOrByIndex(name, value, *recent);
    return SetValueByIndex(name, value);
  }
  bool AddVariable(const std::u16string &name);
  bool AddFunction(const std::u16string &name, EVAL_CALLBACK callback);
  void Clear();
  std::int32_t GetCount() const;

  // Lexer (syntax/lexer.cpp). Returns a new token the caller owns, or null.
  calc_nmspace::TOKEN *NextToken(const std::u16string &text,
                                 std::int32_t &position, TOKEN_TYPE &type,
                                 std::int32_t *length = nullptr) const;

  // Parser (syntax/parser.cpp). Returns a new TT_GROUP tree, or null.
  calc_nmspace::TOKEN *ParseGroup(const std::u16string &text,
                                  std::int32_t &position) const;
  std::int32_t OperandSpanLength(const std::u16string &text,
                                 std::int32_t position,
                                 std::int32_t priority) const;

  // Syntax check (syntax/syntax_check.cpp).
  bool CheckSyntax(const std::u16string &text) const;

  // Dependency tests over a parse tree (facade/dependencies.cpp).
  bool DependsOnVariable(const calc_nmspace::TOKEN &token,
                         const double *address) const;
  bool DependsOnSpace(const calc_nmspace::TOKEN &root) const;
  bool DependsOnTime(const calc_nmspace::TOKEN &root) const;

  // The binding registry's operations (evaluation/binding_registry.h).
  STOKEN *FindBinding(const char *name) const { return m_registry.Find(name); }
  void AddBinding(const STOKEN &entry) { m_registry.Add(entry); }
  void ClearBindings() { m_registry.Clear(); }
  void BindSTokens(STOKEN &record) const { m_registry.Bind(record); }
  void RegisterFunction(const char *name, EVAL_FUNCTION function) {
    m_registry.AddFunction(name, function);
  }
  void RegisterVariable(const char *name, double *variable) {
    m_registry.AddVariable(name, variable);
  }
  void RegisterStandardBindings();

  // Read-only views for tests and tools.
  const NameTable &GetNameTable() const { return m_tokens; }
  const STOKEN *GetBindings() const { return m_registry.Entries(); }
  std::int32_t GetBindingCount() const { return m_registry.Count(); }
  std::size_t GetUserVariableCount() const { return m_userVariables.size(); }

  // Deepest nesting of groups a parse may build, the root counting as one.
  static const int kMaxDepth = 256;

private:
  // Leaves the name index to its caller, LoadDefaults.
  void FillNameTable();
  bool SetValueByIndex(const char16_t *name, const double &value);
  bool SetLongOrByIndex(const char16_t *name, const double &value,
                        const CNameIndex::Recent &recent);
  // Names the storage of the standard variables.
  friend struct STANDARD_TABLE;

  calc_nmspace::TOKEN *ParseGroupAt(const std::u16string &text,
                                    std::int32_t &position, int depth) const;
  std::int32_t OperandSpanAt(const std::u16string &text, std::int32_t position,
                             std::int32_t priority, int depthBudget,
                             bool &tooDeep) const;
  const calc_nmspace::TOKEN *FindKey(const std::u16string &text,
                                     std::int32_t position,
                                     std::int32_t identifierLength,
                                     std::int32_t &keyLength) const;
  CBindingRegistry m_registry;
  NameTable m_tokens;
  // Every entry of m_tokens by its text; changed wherever m_tokens is.
  CNameIndex m_names;
  std::vector<boost::shared_ptr<double>> m_userVariables;
  double m_x;
  double m_y;
  double m_z;
  double m_r;
  double m_t;
  double m_phi;
  double m_theta;
  double m_density;
  double m_absVelosity;
  double m_poreSize;
  double m_dinViscosity;
  double m_re;
  double m_si;
  double m_unit;
};

#endif
