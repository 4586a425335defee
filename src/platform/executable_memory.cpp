#include "platform/executable_memory.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>

// Windows places pages where asked only at exact, aligned addresses; the
// code reaches its data by full addresses there.
void *AllocateCodePages(std::size_t size, const void *) {
  if (size == 0)
    return nullptr;
  return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

bool SealCodePages(void *pages, std::size_t size) {
  DWORD previous = 0;
  if (!VirtualProtect(pages, size, PAGE_EXECUTE_READ, &previous))
    return false;
  FlushInstructionCache(GetCurrentProcess(), pages, size);
  return true;
}

void UnmapMachineCode(void *pages, std::size_t) {
  if (pages != nullptr)
    VirtualFree(pages, 0, MEM_RELEASE);
}

#else
#include <sys/mman.h>

// The system takes the address as a hint: where it is taken, the pages
// go elsewhere.
void *AllocateCodePages(std::size_t size, const void *near) {
  if (size == 0)
    return nullptr;
  void *pages = mmap(const_cast<void *>(near), size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

bool SealCodePages(void *pages, std::size_t size) {
  return mprotect(pages, size, PROT_READ | PROT_EXEC) == 0;
}

void UnmapMachineCode(void *pages, std::size_t size) {
  if (pages != nullptr)
    munmap(pages, size);
}
#endif
