// The binding registry: narrow name -> the record a variable, function or
// callback record of that name becomes (its kind and target), consulted once
// per compile. Entries keep the order in which their names first came.
#ifndef VOXEVAL_EVALUATION_BINDING_REGISTRY_H
#define VOXEVAL_EVALUATION_BINDING_REGISTRY_H

#include "evaluation/stoken.h"

#include <boost/unordered_map.hpp>

#include <cstdint>
#include <string>

class CBindingRegistry {
public:
  CBindingRegistry() = default;
  ~CBindingRegistry() { Clear(); }
  CBindingRegistry(const CBindingRegistry &) = delete;
  CBindingRegistry &operator=(const CBindingRegistry &) = delete;

  // The entry of that name, or null.
  STOKEN *Find(const char *name) const;
  // Stores a copy of the entry, in place of one of the same name.
  void Add(const STOKEN &entry);
  // An entry of the kind, under a copy of the name.
  void AddVariable(const char *name, double *storage);
  void AddFunction(const char *name, EVAL_FUNCTION function);
  void AddCallback(const char *name, EVAL_CALLBACK callback);
  void Clear();
  // Every variable, function and callback record under record takes the
  // entry of its name, kind included; a name without one stays unbound.
  void Bind(STOKEN &record) const;

  const STOKEN *Entries() const { return m_entries; }
  std::int32_t Count() const { return m_count; }

private:
  void AddNamed(STOKEN entry, const char *name);

  STOKEN *m_entries = nullptr;
  std::int32_t m_count = 0;
  // Records allocated in m_entries; the array grows geometrically so that
  // many host names cost linear time.
  std::int32_t m_capacity = 0;
  // Position of each named entry. Boost's, as its hashing is all in its
  // headers (see CExpressionBuilder::NameTable).
  boost::unordered_map<std::string, std::int32_t> m_index;
};

#endif
