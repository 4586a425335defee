#include "builder/expression_builder.h"

#include "platform/runtime.h"

#include <cstdlib>
#include <memory>

using calc_nmspace::TOKEN;

CExpressionBuilder::CExpressionBuilder()
    : m_x(0.0), m_y(0.0), m_z(0.0), m_r(0.0), m_t(0.0), m_phi(0.0),
      m_theta(0.0), m_density(0.0), m_absVelosity(0.0), m_poreSize(0.0),
      m_dinViscosity(0.0), m_re(0.0), m_si(0.0), m_unit(0.0) {
  LoadDefaults();
}

CExpressionBuilder::~CExpressionBuilder() { Clear(); }

// The standard names come back only into an empty table, so host names
// added since construction survive a LoadDefaults. Lack of memory halfway
// leaves both tables empty, so that a later call can fill them again.
void CExpressionBuilder::LoadDefaults() {
  if (!m_tokens.empty())
    return;
  m_names.Clear();
  try {
    FillNameTable();
    m_names.Reserve(m_tokens.size());
    m_names.Rebuild(m_tokens);
    RegisterStandardBindings();
  } catch (...) {
    Clear();
    throw;
  }
}

namespace {

bool Store(double *target, const double &value) {
  if (target == nullptr)
    return false;
  *target = value;
  return true;
}

} // namespace

// Variables take the value into their storage; constants ("pi") into the
// table, for texts parsed afterwards. Everything else refuses.
bool CExpressionBuilder::SetValue(const std::u16string &name,
                                  const double &value) {
  return Store(m_names.FindTarget(name.data(), name.size()), value);
}

// Kept out of line: the callers reach it by a tail call and need no frame.
__attribute__((noinline)) bool
CExpressionBuilder::SetValueByIndex(const char16_t *name, const double &value) {
  return Store(m_names.FindTargetAndRemember(name), value);
}

__attribute__((noinline)) bool
CExpressionBuilder::SetLongOrByIndex(const char16_t *name, const double &value,
                                     const CNameIndex::Recent &recent) {
  if (CNameIndex::SameTail(name, recent)) {
    *recent.target = value;
    return true;
  }
  return SetValueByIndex(name, value);
}

// A new host variable: fresh storage, owned for the builder's whole life so
// that compiled expressions never read freed memory.
bool CExpressionBuilder::AddVariable(const std::u16string &name) {
  if (name.empty())
    return false;
  m_names.Reserve(m_tokens.size() + 1);
  const std::pair<NameTable::iterator, bool> inserted =
      m_tokens.try_emplace(name);
  if (!inserted.second)
    return false;
  const NameTable::iterator it = inserted.first;
  try {
    boost::shared_ptr<double> storage(new double(0.0));
    m_userVariables.push_back(storage);
    it->second.SetDoubleRef(storage.get());
    m_names.Insert(it->first, it->second);
    m_registry.AddVariable(WideToNarrow(name).c_str(), storage.get());
  } catch (...) {
    // Keep the table and the registry in step: a name known to the lexer
    // but not to binding would compile to a silent 0.0.
    m_tokens.erase(it);
    m_names.Rebuild(m_tokens);
    throw;
  }
  return true;
}

// The name denotes the callback from now on, whatever it was before; an
// operator keeps its priority.
bool CExpressionBuilder::AddFunction(const std::u16string &name,
                                     EVAL_CALLBACK callback) {
  if (name.empty() || callback == nullptr)
    return false;
  m_names.Reserve(m_tokens.size() + 1);
  NameTable::iterator it = m_tokens.find(name);
  const bool existed = it != m_tokens.end();
  TOKEN previous;
  if (existed)
    previous.CopyFrom(it->second);
  else
    it = m_tokens.try_emplace(name).first;
  // A variable's name answers SetValue with false from here on.
  it->second.SetCallback(callback);
  if (existed)
    m_names.Changed(it->first);
  else
    m_names.Insert(it->first, it->second);
  try {
    m_registry.AddCallback(WideToNarrow(name).c_str(), callback);
  } catch (...) {
    // Undo the table change so that both tables keep meaning the same.
    if (existed) {
      it->second.CopyFrom(previous);
      m_names.Changed(it->first);
    } else {
      m_tokens.erase(it);
      m_names.Rebuild(m_tokens);
    }
    throw;
  }
  return true;
}

// Forgets every name; storage and values stay, since compiled expressions
// keep pointing at them.
void CExpressionBuilder::Clear() {
  ClearBindings();
  m_names.Clear();
  m_tokens.clear();
}

std::int32_t CExpressionBuilder::GetCount() const {
  return static_cast<std::int32_t>(m_tokens.size()) + m_registry.Count();
}

// The standard bindings, in their fixed order: the functions, then the
// variables, as the table of standard names lists them.
void CExpressionBuilder::RegisterStandardBindings() {
  for (const StandardKind kind :
       {StandardKind::kFunction, StandardKind::kVariable}) {
    for (const STANDARD_NAME &row : StandardNames()) {
      if (row.kind != kind)
        continue;
      if (kind == StandardKind::kFunction)
        RegisterFunction(row.name, row.function);
      else
        RegisterVariable(row.name, &(this->*row.storage));
    }
  }
}
