#include "platform/runtime.h"

#include "platform/allocation.h"

#include <cstdlib>
#include <cstring>
#include <new>

char *DuplicateString(const char *text) {
  const std::size_t size = std::strlen(text) + 1;
  char *copy = static_cast<char *>(AllocateBlock(size));
  if (copy == nullptr)
    throw std::bad_alloc();
  std::memcpy(copy, text, size);
  return copy;
}
