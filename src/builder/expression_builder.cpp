#include "builder/expression_builder.h"

#include "platform/runtime.h"

#include <cstdlib>
#include <memory>

using calc_nmspace::TOKEN;

CExpressionBuilder::CExpressionBuilder()
    : m_bindings(nullptr), m_bindingCount(0), m_bindingCapacity(0), m_x(0.0),
      m_y(0.0), m_z(0.0), m_r(0.0), m_t(0.0), m_phi(0.0), m_theta(0.0),
      m_density(0.0), m_absVelosity(0.0), m_poreSize(0.0), m_dinViscosity(0.0),
      m_re(0.0), m_si(0.0), m_unit(0.0) {
  LoadDefaults();
}

CExpressionBuilder::~CExpressionBuilder() { Clear(); }

// The standard names come back only into an empty table, so host names
// added since construction survive a LoadDefaults. Lack of memory halfway
// leaves both tables empty, so that a later call can fill them again.
void CExpressionBuilder::LoadDefaults() {
  if (!m_tokens.empty())
    return;
  try {
    FillNameTable();
    RegisterStandardBindings();
  } catch (...) {
    Clear();
    throw;
  }
}

// Variables take the value into their storage; constants ("pi") into the
// table, for texts parsed afterwards. Everything else refuses.
bool CExpressionBuilder::SetValue(const std::u16string &name,
                                  const double &value) {
  NameTable::iterator it = m_tokens.find(name);
  if (it == m_tokens.end())
    return false;
  TOKEN &entry = it->second;
  if (entry.type == TT_DOUBLE) {
    entry.value.dval = value;
    return true;
  }
  if (entry.type == TT_DOUBLE_REF) {
    *entry.value.dref = value;
    return true;
  }
  return false;
}

// A new host variable: fresh storage, owned for the builder's whole life so
// that compiled expressions never read freed memory.
bool CExpressionBuilder::AddVariable(const std::u16string &name) {
  if (name.empty() || m_tokens.count(name) != 0)
    return false;
  boost::shared_ptr<double> storage(new double(0.0));
  m_userVariables.push_back(storage);
  m_tokens[name].SetDoubleRef(storage.get());
  try {
    STOKEN entry = STOKEN();
    entry.type = TT_DOUBLE_REF;
    entry.value.dref = storage.get();
    AddNamedBinding(entry, WideToNarrow(name).c_str());
  } catch (...) {
    // Keep the table and the registry in step: a name known to the lexer
    // but not to binding would compile to a silent 0.0.
    m_tokens.erase(name);
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
  NameTable::iterator it = m_tokens.find(name);
  const bool existed = it != m_tokens.end();
  TOKEN previous;
  if (existed)
    previous.CopyFrom(it->second);
  m_tokens[name].SetCallback(callback);
  try {
    STOKEN entry = STOKEN();
    entry.type = TT_CALLBACK;
    entry.value.callback = callback;
    AddNamedBinding(entry, WideToNarrow(name).c_str());
  } catch (...) {
    // Undo the table change so that both tables keep meaning the same.
    if (existed)
      m_tokens[name].CopyFrom(previous);
    else
      m_tokens.erase(name);
    throw;
  }
  return true;
}

// Forgets every name; storage and values stay, since compiled expressions
// keep pointing at them.
void CExpressionBuilder::Clear() {
  ClearBindings();
  m_tokens.clear();
}

std::int32_t CExpressionBuilder::GetCount() const {
  return static_cast<std::int32_t>(m_tokens.size()) + m_bindingCount;
}
