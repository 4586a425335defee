// Preloaded into a host (LD_PRELOAD), this refuses every request to make
// memory executable, as a system whose policy forbids code made at run time
// does (SELinux's execmem, memfd_noexec): the library then evaluates every
// formula by its flat program. bench/README.md uses it for the flat
// program's table on x86-64, measured through the public interface beside
// native and muParser like the machine code's.
#include <dlfcn.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>

extern "C" int mprotect(void *address, std::size_t length, int protection) {
  using Mprotect = int (*)(void *, std::size_t, int);
  if ((protection & PROT_EXEC) != 0) {
    errno = EACCES;
    return -1;
  }
  static const Mprotect next =
      reinterpret_cast<Mprotect>(dlsym(RTLD_NEXT, "mprotect"));
  return next(address, length, protection);
}
