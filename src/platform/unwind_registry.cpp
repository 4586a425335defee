#include "platform/unwind_registry.h"

#if defined(VOXEVAL_DWARF_UNWIND)
// libgcc's entry points, declared in no header.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" void __register_frame_table(void *list);
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" void __deregister_frame(void *list);

void RegisterUnwindList(void **list) { __register_frame_table(list); }

void WithdrawUnwindList(void **list) { __deregister_frame(list); }
#else
void RegisterUnwindList(void **) {}
void WithdrawUnwindList(void **) {}
#endif

#if defined(_WIN32) && (defined(__x86_64__) || defined(_M_X64))
#include <windows.h>

namespace {

// Growable tables came with Windows 8: looked up, so that the library
// still loads where they are missing.
typedef DWORD(NTAPI *ADD_TABLE)(PVOID *, PRUNTIME_FUNCTION, DWORD, DWORD,
                                ULONG_PTR, ULONG_PTR);
typedef VOID(NTAPI *GROW_TABLE)(PVOID, DWORD);
typedef VOID(NTAPI *DELETE_TABLE)(PVOID);

struct GROWABLE_TABLES {
  ADD_TABLE add = nullptr;
  GROW_TABLE grow = nullptr;
  DELETE_TABLE remove = nullptr;
};

template <typename F> F Entry(HMODULE module, const char *name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const GROWABLE_TABLES &Tables() {
  static const GROWABLE_TABLES tables = [] {
    GROWABLE_TABLES found;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr) {
      found.add = Entry<ADD_TABLE>(ntdll, "RtlAddGrowableFunctionTable");
      found.grow = Entry<GROW_TABLE>(ntdll, "RtlGrowFunctionTable");
      found.remove =
          Entry<DELETE_TABLE>(ntdll, "RtlDeleteGrowableFunctionTable");
    }
    if (!found.add || !found.grow || !found.remove)
      found = GROWABLE_TABLES();
    return found;
  }();
  return tables;
}

} // namespace

void *OpenFunctionTable(const std::uint32_t *entries, std::uint32_t count,
                        std::uint32_t capacity, const void *base,
                        std::size_t size) {
  const GROWABLE_TABLES &tables = Tables();
  if (tables.add == nullptr)
    return nullptr;
  const ULONG_PTR begin = reinterpret_cast<ULONG_PTR>(base);
  void *table = nullptr;
  if (tables.add(&table,
                 reinterpret_cast<PRUNTIME_FUNCTION>(
                     const_cast<std::uint32_t *>(entries)),
                 count, capacity, begin, begin + size) != 0)
    return nullptr;
  return table;
}

void GrowFunctionTable(void *table, std::uint32_t count) {
  Tables().grow(table, count);
}

void CloseFunctionTable(void *table) { Tables().remove(table); }
#else
void *OpenFunctionTable(const std::uint32_t *, std::uint32_t, std::uint32_t,
                        const void *, std::size_t) {
  return nullptr;
}
void GrowFunctionTable(void *, std::uint32_t) {}
void CloseFunctionTable(void *) {}
#endif
