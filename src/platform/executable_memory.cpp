#include "platform/executable_memory.h"

namespace {

// Every system call for code memory goes through here, so that a test
// build can refuse any one of them.
bool Refused() {
#if defined(VOXEVAL_FAILURE_INJECTION)
  return InjectedCodeMemoryRefusal();
#else
  return false;
#endif
}

} // namespace

#if defined(_WIN32)
#include <windows.h>

#include <cstring>

bool AllocateCodePages(std::size_t code, std::size_t data, CODE_PAGES &pages) {
  const unsigned long long bytes = code + data;
  HANDLE section = Refused()
                       ? nullptr
                       : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr,
                                            PAGE_EXECUTE_READWRITE | SEC_COMMIT,
                                            static_cast<DWORD>(bytes >> 32),
                                            static_cast<DWORD>(bytes), nullptr);
  if (section == nullptr)
    return false;
  const DWORD access = FILE_MAP_READ | FILE_MAP_EXECUTE;
  void *view = nullptr;
  if (!Refused())
    view = MapViewOfFile(section, access, 0, 0, code + data);
  DWORD old = 0;
  if (view != nullptr &&
      (Refused() || !VirtualProtect(static_cast<char *>(view) + code, data,
                                    PAGE_READONLY, &old))) {
    UnmapViewOfFile(view);
    view = nullptr;
  }
  if (view == nullptr) {
    CloseHandle(section);
    return false;
  }
  pages.executable = view;
  pages.code = code;
  pages.data = data;
  pages.handle = reinterpret_cast<std::intptr_t>(section);
  return true;
}

// A writable view for the length of the copy.
bool WriteCodePages(const CODE_PAGES &pages, std::size_t offset,
                    const void *bytes, std::size_t count) {
  if (count == 0)
    return true;
  void *view =
      Refused() ? nullptr
                : MapViewOfFile(reinterpret_cast<HANDLE>(pages.handle),
                                FILE_MAP_WRITE, 0, 0, pages.code + pages.data);
  if (view == nullptr)
    return false;
  std::memcpy(static_cast<char *>(view) + offset, bytes, count);
  UnmapViewOfFile(view);
  return true;
}

void ReleaseCodePages(CODE_PAGES &pages) {
  UnmapViewOfFile(pages.executable);
  CloseHandle(reinterpret_cast<HANDLE>(pages.handle));
  pages = CODE_PAGES();
}

// Windows processes do not fork.
void *OpenForkWitness() { return nullptr; }

void CloseForkWitness(void *) {}

std::uint64_t CurrentProcess() { return GetCurrentProcessId(); }

#else
#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

namespace {

// Code written where other code ran before reaches the processor through the
// shared file; a machine emulated by valgrind keeps running its translation
// of the old code unless told. (Outside valgrind the request does nothing.)
void ForgetTranslations(const void *code, std::size_t count) {
#if defined(VALGRIND_DISCARD_TRANSLATIONS)
  VALGRIND_DISCARD_TRANSLATIONS(code, count);
#else
  (void)code;
  (void)count;
#endif
}

// The device and inode of the file behind a descriptor: what a file the
// host opens later under the same number does not share.
bool Identify(int file, std::uint64_t (&identity)[2]) {
  struct stat status;
  if (fstat(file, &status) != 0)
    return false;
  identity[0] = static_cast<std::uint64_t>(status.st_dev);
  identity[1] = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

// Whether the region's descriptor is still the one it was made with (in a
// child after fork, the inherited copy is).
bool StillOwned(const CODE_PAGES &pages) {
  std::uint64_t now[2];
  return Identify(static_cast<int>(pages.handle), now) &&
         now[0] == pages.identity[0] && now[1] == pages.identity[1];
}

} // namespace

bool AllocateCodePages(std::size_t code, std::size_t data, CODE_PAGES &pages) {
  const int file = Refused() ? -1 : memfd_create("voxeval-code", MFD_CLOEXEC);
  if (file < 0)
    return false;
  std::uint64_t identity[2];
  if (!Identify(file, identity)) {
    close(file);
    return false;
  }
  void *region = MAP_FAILED;
  if (!Refused() && ftruncate(file, static_cast<off_t>(code + data)) == 0 &&
      !Refused()) {
    region = mmap(nullptr, code + data, PROT_READ, MAP_SHARED, file, 0);
  }
  if (region != MAP_FAILED &&
      (Refused() || mprotect(region, code, PROT_READ | PROT_EXEC) != 0)) {
    munmap(region, code + data);
    region = MAP_FAILED;
  }
  if (region == MAP_FAILED) {
    close(file);
    return false;
  }
  pages.executable = region;
  pages.code = code;
  pages.data = data;
  pages.handle = file;
  pages.identity[0] = identity[0];
  pages.identity[1] = identity[1];
  return true;
}

bool WriteCodePages(const CODE_PAGES &pages, std::size_t offset,
                    const void *bytes, std::size_t count) {
  if (count == 0)
    return true;
  if (!StillOwned(pages))
    return false;
  const char *from = static_cast<const char *>(bytes);
  while (count > 0) {
    const ssize_t written = Refused()
                                ? -1
                                : pwrite(static_cast<int>(pages.handle), from,
                                         count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    ForgetTranslations(static_cast<const char *>(pages.executable) + offset,
                       static_cast<std::size_t>(written));
    from += written;
    offset += static_cast<std::size_t>(written);
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

void ReleaseCodePages(CODE_PAGES &pages) {
  munmap(const_cast<void *>(pages.executable), pages.code + pages.data);
  if (StillOwned(pages))
    close(static_cast<int>(pages.handle));
  pages = CODE_PAGES();
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
