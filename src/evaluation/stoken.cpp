#include "evaluation/stoken.h"

#include "platform/allocation.h"
#include "platform/runtime.h"

#include <cstdlib>
#include <new>

STOKEN *AllocSTokens(std::int32_t n) {
  if (n <= 0)
    return nullptr;
  void *block =
      AllocateZeroedBlock(static_cast<std::size_t>(n), sizeof(STOKEN));
  if (block == nullptr)
    throw std::bad_alloc();
  return static_cast<STOKEN *>(block);
}

void FreeSToken(STOKEN &record) {
  if (record.type == TT_GROUP && record.value.group.items != nullptr) {
    for (std::int32_t i = 0; i < record.value.group.count; ++i)
      FreeSToken(record.value.group.items[i]);
    std::free(record.value.group.items);
    record.value.group.items = nullptr;
    record.value.group.count = 0;
  }
  if (record.name != nullptr) {
    std::free(record.name);
    record.name = nullptr;
  }
  record.type = TT_NONE;
}

namespace {

// Builds a complete copy of one record in a zero-filled target; on lack of
// memory the partial copy is released before the exception leaves.
void CopyOne(STOKEN &target, const STOKEN &source) {
  target.type = source.type;
  target.value = source.value;
  target.name = nullptr;
  if (source.type == TT_GROUP) {
    target.value.group.items = nullptr;
    target.value.group.count = 0;
  }
  try {
    if (source.name != nullptr)
      target.name = DuplicateString(source.name);
    if (source.type == TT_GROUP && source.value.group.count > 0) {
      const std::int32_t count = source.value.group.count;
      target.value.group.items = AllocSTokens(count);
      target.value.group.count = count;
      CopySTokens(target.value.group.items, source.value.group.items, count);
    }
  } catch (...) {
    FreeSToken(target);
    throw;
  }
}

} // namespace

// The copy never shares a name or an item array with its source; each
// destination record is replaced only once its copy is complete.
void CopySTokens(STOKEN *dst, const STOKEN *src, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) {
    STOKEN copy = STOKEN();
    CopyOne(copy, src[i]);
    FreeSToken(dst[i]);
    dst[i] = copy;
  }
}

void FreeRecordTree(STOKEN *root) {
  if (root == nullptr)
    return;
  FreeSToken(*root);
  std::free(root);
}
