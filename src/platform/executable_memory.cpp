#include "platform/executable_memory.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>

void *MapMachineCode(const void *code, std::size_t size) {
  if (size == 0)
    return nullptr;
  void *pages =
      VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (pages == nullptr)
    return nullptr;
  std::memcpy(pages, code, size);
  DWORD previous = 0;
  if (!VirtualProtect(pages, size, PAGE_EXECUTE_READ, &previous)) {
    VirtualFree(pages, 0, MEM_RELEASE);
    return nullptr;
  }
  FlushInstructionCache(GetCurrentProcess(), pages, size);
  return pages;
}

void UnmapMachineCode(void *pages, std::size_t) {
  if (pages != nullptr)
    VirtualFree(pages, 0, MEM_RELEASE);
}

#else
#include <sys/mman.h>

void *MapMachineCode(const void *code, std::size_t size) {
  if (size == 0)
    return nullptr;
  void *pages = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED)
    return nullptr;
  std::memcpy(pages, code, size);
  if (mprotect(pages, size, PROT_READ | PROT_EXEC) != 0) {
    munmap(pages, size);
    return nullptr;
  }
  return pages;
}

void UnmapMachineCode(void *pages, std::size_t size) {
  if (pages != nullptr)
    munmap(pages, size);
}
#endif
