#include "evaluation/binding_registry.h"

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
STOKEN *CBindingRegistry::Find(const char *name) const {
  if (m_count < 1 || name == nullptr)
    return nullptr;
  const auto entry = m_index.find(name);
  return entry == m_index.end() ? nullptr : &m_entries[entry->second];
}

// A known name is replaced in place; a new one goes after all others. The
// array grows geometrically; its entries move bitwise, keeping their order.
void CBindingRegistry::Add(const STOKEN &entry) {
  if (STOKEN *existing = Find(entry.name)) {
    CopySTokens(existing, &entry, 1);
    return;
  }
  if (m_count == m_capacity) {
    if (m_capacity > std::numeric_limits<std::int32_t>::max() / 2)
      throw std::bad_alloc();
    const std::int32_t capacity = m_capacity == 0 ? 32 : m_capacity * 2;
    STOKEN *grown = AllocSTokens(capacity);
    if (m_count > 0)
      std::memcpy(static_cast<void *>(grown), m_entries,
                  sizeof(STOKEN) * static_cast<std::size_t>(m_count));
    std::free(m_entries);
    m_entries = grown;
    m_capacity = capacity;
  }
  // Indexed first, and unindexed again should the copy fail.
  auto indexed = m_index.end();
  if (entry.name != nullptr)
    indexed = m_index.emplace(entry.name, m_count).first;
  try {
    CopySTokens(&m_entries[m_count], &entry, 1);
  } catch (...) {
    if (indexed != m_index.end())
      m_index.erase(indexed);
    throw;
  }
  ++m_count;
}

void CBindingRegistry::Clear() {
  for (std::int32_t i = 0; i < m_count; ++i)
    FreeSToken(m_entries[i]);
  std::free(m_entries);
  m_entries = nullptr;
  m_count = 0;
  m_capacity = 0;
  m_index.clear();
}

// An unbound variable reads 0.0.
void CBindingRegistry::Bind(STOKEN &record) const {
  if (IsBoundKind(record.type)) {
    if (const STOKEN *entry = Find(record.name))
      CopySTokens(&record, entry, 1);
  }
  if (record.type == TT_GROUP) {
    for (std::int32_t i = 0; i < record.value.group.count; ++i)
      Bind(record.value.group.items[i]);
  }
}

// Stores a copy of the record under the name; the temporary name block is
// released whatever happens.
void CBindingRegistry::AddNamed(STOKEN entry, const char *name) {
  entry.name = DuplicateString(name);
  try {
    Add(entry);
  } catch (...) {
    FreeSToken(entry);
    throw;
  }
  FreeSToken(entry);
}

void CBindingRegistry::AddFunction(const char *name, EVAL_FUNCTION function) {
  STOKEN entry = STOKEN();
  entry.type = TT_FUNCTION;
  entry.value.func = function;
  AddNamed(entry, name);
}

void CBindingRegistry::AddVariable(const char *name, double *storage) {
  STOKEN entry = STOKEN();
  entry.type = TT_DOUBLE_REF;
  entry.value.dref = storage;
  AddNamed(entry, name);
}

void CBindingRegistry::AddCallback(const char *name, EVAL_CALLBACK callback) {
  STOKEN entry = STOKEN();
  entry.type = TT_CALLBACK;
  entry.value.callback = callback;
  AddNamed(entry, name);
}
