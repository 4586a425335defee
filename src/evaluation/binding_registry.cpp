// The binding registry: narrow name -> target, consulted once per compile.
#include "builder/expression_builder.h"
#include "platform/runtime.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

// True for the record kinds whose target comes from the registry.
bool IsBoundKind(TOKEN_TYPE type) {
  return type == TT_FUNCTION || type == TT_DOUBLE_REF || type == TT_CALLBACK;
}

} // namespace

// The first entry whose name equals the given one byte for byte.
STOKEN *CExpressionBuilder::FindBinding(const char *name) const {
  if (m_bindingCount < 1 || name == nullptr)
    return nullptr;
  const auto entry = m_bindingIndex.find(name);
  return entry == m_bindingIndex.end() ? nullptr : &m_bindings[entry->second];
}

// A known name is replaced in place; a new one goes after all others. The
// array grows geometrically; its entries move bitwise, keeping their order.
void CExpressionBuilder::AddBinding(const STOKEN &entry) {
  if (STOKEN *existing = FindBinding(entry.name)) {
    CopySTokens(existing, &entry, 1);
    return;
  }
  if (m_bindingCount == m_bindingCapacity) {
    if (m_bindingCapacity > std::numeric_limits<std::int32_t>::max() / 2)
      throw std::bad_alloc();
    const std::int32_t capacity =
        m_bindingCapacity == 0 ? 32 : m_bindingCapacity * 2;
    STOKEN *grown = AllocSTokens(capacity);
    if (m_bindingCount > 0)
      std::memcpy(static_cast<void *>(grown), m_bindings,
                  sizeof(STOKEN) * static_cast<std::size_t>(m_bindingCount));
    std::free(m_bindings);
    m_bindings = grown;
    m_bindingCapacity = capacity;
  }
  // Indexed first, and unindexed again should the copy fail.
  auto indexed = m_bindingIndex.end();
  if (entry.name != nullptr)
    indexed = m_bindingIndex.emplace(entry.name, m_bindingCount).first;
  try {
    CopySTokens(&m_bindings[m_bindingCount], &entry, 1);
  } catch (...) {
    if (indexed != m_bindingIndex.end())
      m_bindingIndex.erase(indexed);
    throw;
  }
  ++m_bindingCount;
}

void CExpressionBuilder::ClearBindings() {
  for (std::int32_t i = 0; i < m_bindingCount; ++i)
    FreeSToken(m_bindings[i]);
  std::free(m_bindings);
  m_bindings = nullptr;
  m_bindingCount = 0;
  m_bindingCapacity = 0;
  m_bindingIndex.clear();
}

// Variable, function and callback records take the entry of their name,
// kind included; a name without entry stays unbound (it reads 0.0).
void CExpressionBuilder::BindSTokens(STOKEN &record) const {
  if (IsBoundKind(record.type)) {
    if (const STOKEN *entry = FindBinding(record.name))
      CopySTokens(&record, entry, 1);
  }
  if (record.type == TT_GROUP) {
    for (std::int32_t i = 0; i < record.value.group.count; ++i)
      BindSTokens(record.value.group.items[i]);
  }
}

// Stores a copy of the record under the name; the temporary name block is
// released whatever happens.
void CExpressionBuilder::AddNamedBinding(STOKEN entry, const char *name) {
  entry.name = DuplicateString(name);
  try {
    AddBinding(entry);
  } catch (...) {
    FreeSToken(entry);
    throw;
  }
  FreeSToken(entry);
}

void CExpressionBuilder::RegisterFunction(const char *name,
                                          EVAL_FUNCTION function) {
  STOKEN entry = STOKEN();
  entry.type = TT_FUNCTION;
  entry.value.func = function;
  AddNamedBinding(entry, name);
}

void CExpressionBuilder::RegisterVariable(const char *name, double *variable) {
  STOKEN entry = STOKEN();
  entry.type = TT_DOUBLE_REF;
  entry.value.dref = variable;
  AddNamedBinding(entry, name);
}

// The 19 standard bindings, in their fixed order: the functions, then the
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
