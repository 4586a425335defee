// The C++ runtime of the Microsoft-ABI build. Its standard headers are
// libstdc++'s, whose compiled part exists only in GCC's ABI, and its C
// runtime (ucrtbase.dll, vcruntime140.dll) has no C++ library beside it. So
// the few pieces the library uses are here: operator new and delete, the
// exception classes' members, the helpers containers throw through, and
// what Microsoft's compiler expects its runtime's static part to define.
#if defined(_MSC_VER)
#include "platform/allocation.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

// Every allocation goes through the library's one door, so that a test
// build can make any of them fail; every failure is std::bad_alloc.
void *operator new(std::size_t size) {
  void *block = AllocateBlock(size != 0 ? size : 1);
  if (block == nullptr)
    throw std::bad_alloc();
  return block;
}

void *operator new[](std::size_t size) { return ::operator new(size); }

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return AllocateBlock(size != 0 ? size : 1);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return AllocateBlock(size != 0 ? size : 1);
}

void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept {
  std::free(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
  std::free(block);
}

namespace std {

const nothrow_t nothrow{};

// A host catches these by their names (Microsoft's matching compares the
// types' decorated names), as std::bad_alloc and as std::exception, and
// calls what() through the same table slot as its own library's.
exception::~exception() noexcept {}
const char *exception::what() const noexcept { return "std::exception"; }
bad_alloc::~bad_alloc() noexcept {}
const char *bad_alloc::what() const noexcept { return "std::bad_alloc"; }
bad_array_new_length::~bad_array_new_length() noexcept {}
const char *bad_array_new_length::what() const noexcept {
  return "std::bad_array_new_length";
}

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
// A container asked for more than can ever be allocated: lack of memory,
// the one failure the library reports by throwing.
void __throw_length_error(const char *) { throw bad_alloc(); }
// These mark a fault of the library itself (an index past the end), which
// no input reaches; with no class to carry them, the process ends.
void __throw_logic_error(const char *) { std::abort(); }
void __throw_out_of_range_fmt(const char *, ...) { std::abort(); }

} // namespace std

// Boost.Container's throws, routed the same way (the build defines
// BOOST_CONTAINER_USER_DEFINED_THROW_CALLBACKS).
namespace boost {
namespace container {
void throw_bad_alloc() { throw std::bad_alloc(); }
void throw_length_error(const char *) { throw std::bad_alloc(); }
void throw_out_of_range(const char *) { std::abort(); }
void throw_logic_error(const char *) { std::abort(); }
void throw_runtime_error(const char *) { std::abort(); }
} // namespace container
} // namespace boost

// The C runtime's formatted print, which Microsoft's headers define inline
// over __stdio_common_vsprintf; 2 asks for the standard snprintf's return
// and ending.
extern "C" int snprintf(char *out, std::size_t size, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written =
      __stdio_common_vsprintf(2, out, size, format, nullptr, arguments);
  va_end(arguments);
  return written;
}

// Defined by the static part of Microsoft's runtime in its own builds: the
// marker that floating point is used, and the table of virtual functions
// of type_info, which every type descriptor (catch matching reads them)
// points to. Nothing calls through it.
extern "C" {
int _fltused = 0;
extern const void *const kTypeInfoTable[1] __asm__("??_7type_info@@6B@");
const void *const kTypeInfoTable[1] = {nullptr};
}
#endif
