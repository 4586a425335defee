#include "platform/executable_memory.h"

#if defined(_WIN32)
#include <windows.h>

bool AllocateCodePages(std::size_t size, const void *, CODE_PAGES &pages) {
  const unsigned long long bytes = size;
  HANDLE section = CreateFileMappingW(
      INVALID_HANDLE_VALUE, nullptr, PAGE_EXECUTE_READWRITE | SEC_COMMIT,
      static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes), nullptr);
  if (section == nullptr)
    return false;
  void *writable = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size);
  void *executable =
      MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, size);
  // The views keep the section.
  CloseHandle(section);
  if (writable == nullptr || executable == nullptr) {
    if (writable != nullptr)
      UnmapViewOfFile(writable);
    if (executable != nullptr)
      UnmapViewOfFile(executable);
    return false;
  }
  pages.writable = writable;
  pages.executable = executable;
  pages.size = size;
  return true;
}

void ReleaseCodePages(const CODE_PAGES &pages) {
  UnmapViewOfFile(pages.writable);
  UnmapViewOfFile(pages.executable);
}

// Windows processes do not fork.
void *OpenForkWitness() { return nullptr; }

void CloseForkWitness(void *) {}

std::uint64_t CurrentProcess() { return GetCurrentProcessId(); }

#else
#include <sys/mman.h>
#include <unistd.h>

bool AllocateCodePages(std::size_t size, const void *near, CODE_PAGES &pages) {
  const int file = memfd_create("voxeval-code", MFD_CLOEXEC);
  if (file < 0)
    return false;
  void *writable = MAP_FAILED;
  void *executable = MAP_FAILED;
  if (ftruncate(file, static_cast<off_t>(size)) == 0) {
    writable = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    // The system takes the address as a hint only.
    executable = mmap(const_cast<void *>(near), size, PROT_READ | PROT_EXEC,
                      MAP_SHARED, file, 0);
  }
  // The mappings keep the memory.
  close(file);
  if (writable == MAP_FAILED || executable == MAP_FAILED) {
    if (writable != MAP_FAILED)
      munmap(writable, size);
    if (executable != MAP_FAILED)
      munmap(executable, size);
    return false;
  }
  pages.writable = writable;
  pages.executable = executable;
  pages.size = size;
  return true;
}

void ReleaseCodePages(const CODE_PAGES &pages) {
  munmap(pages.writable, pages.size);
  munmap(pages.executable, pages.size);
}

void *OpenForkWitness() {
#if defined(MADV_WIPEONFORK)
  const long page = sysconf(_SC_PAGESIZE);
  void *witness =
      mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (witness == MAP_FAILED)
    return nullptr;
  if (madvise(witness, static_cast<std::size_t>(page), MADV_WIPEONFORK) != 0) {
    munmap(witness, static_cast<std::size_t>(page));
    return nullptr;
  }
  return witness;
#else
  return nullptr;
#endif
}

void CloseForkWitness(void *witness) {
  if (witness != nullptr)
    munmap(witness, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
}

std::uint64_t CurrentProcess() { return static_cast<std::uint64_t>(getpid()); }
#endif
