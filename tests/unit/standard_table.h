// What the table of standard names gives a fresh builder, counted from the
// table itself: the tests follow a row added there.
#ifndef VOXEVAL_TESTS_UNIT_STANDARD_TABLE_H
#define VOXEVAL_TESTS_UNIT_STANDARD_TABLE_H

#include "builder/standard_names.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The registry's standard bindings, in its order: the table's functions and
// variables as the rows list them.
inline std::vector<std::string> StandardBindingNames() {
  std::vector<std::string> names;
  for (const STANDARD_NAME &row : StandardNames())
    if (row.kind == StandardKind::kFunction ||
        row.kind == StandardKind::kVariable)
      names.push_back(row.name);
  return names;
}

inline std::int32_t StandardBindingCount() {
  return static_cast<std::int32_t>(StandardBindingNames().size());
}

// Where the registry holds a standard name (-1: it does not).
inline std::int32_t StandardBindingIndex(const char *name) {
  const std::vector<std::string> names = StandardBindingNames();
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name)
      return static_cast<std::int32_t>(i);
  return -1;
}

inline std::int32_t StandardRowCount(StandardKind kind) {
  std::int32_t count = 0;
  for (const STANDARD_NAME &row : StandardNames())
    count += row.kind == kind;
  return count;
}

// The operators' rows, in the table's order.
inline std::vector<const STANDARD_NAME *> StandardOperators() {
  std::vector<const STANDARD_NAME *> rows;
  for (const STANDARD_NAME &row : StandardNames())
    if (row.kind == StandardKind::kOperator)
      rows.push_back(&row);
  return rows;
}

// GetCount of a fresh builder: every row in the name table, and the
// bindings.
inline std::int32_t FreshCount() {
  return static_cast<std::int32_t>(StandardNames().count) +
         StandardBindingCount();
}

#endif
