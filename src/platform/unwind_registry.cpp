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

#if defined(VOXEVAL_WINDOWS_UNWIND)
#include <windows.h>

#include <new>

namespace {

typedef BOOLEAN(WINAPI *INSTALL_CALLBACK)(DWORD64, DWORD64, DWORD,
                                          PGET_RUNTIME_FUNCTION_CALLBACK, PVOID,
                                          PCWSTR);
typedef BOOLEAN(WINAPI *DELETE_TABLE)(PRUNTIME_FUNCTION);

struct TABLE_CALLBACKS {
  INSTALL_CALLBACK install = nullptr;
  DELETE_TABLE remove = nullptr;
};

template <typename F> F Entry(HMODULE module, const char *name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Looked up, so that the library still loads where they are missing; each
// time, since chunks come and go rarely and a cached copy would need a
// guard against two threads' first calls.
TABLE_CALLBACKS Callbacks() {
  TABLE_CALLBACKS found;
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll != nullptr) {
    found.install =
        Entry<INSTALL_CALLBACK>(ntdll, "RtlInstallFunctionTableCallback");
    found.remove = Entry<DELETE_TABLE>(ntdll, "RtlDeleteFunctionTable");
  }
  if (!found.install || !found.remove)
    found = TABLE_CALLBACKS();
  return found;
}

struct LOOKUP_REGISTRATION {
  FUNCTION_LOOKUP lookup;
  void *context;
  // The region's base with the two low bits set, as the system wants it.
  DWORD64 identifier;
};

PRUNTIME_FUNCTION CALLBACK Ask(DWORD64 address, PVOID registration) {
  const LOOKUP_REGISTRATION *r =
      static_cast<const LOOKUP_REGISTRATION *>(registration);
  return static_cast<PRUNTIME_FUNCTION>(
      const_cast<void *>(r->lookup(address, r->context)));
}

} // namespace

void *InstallFunctionLookup(const void *base, std::size_t size,
                            FUNCTION_LOOKUP lookup, void *context) {
  const TABLE_CALLBACKS callbacks = Callbacks();
  if (callbacks.install == nullptr || size > 0xFFFFFFFFu)
    return nullptr;
  LOOKUP_REGISTRATION *registration =
      new (std::nothrow) LOOKUP_REGISTRATION{lookup, context, 0};
  if (registration == nullptr)
    return nullptr;
  const DWORD64 begin = reinterpret_cast<DWORD64>(base);
  registration->identifier = begin | 3;
  if (!callbacks.install(registration->identifier, begin,
                         static_cast<DWORD>(size), &Ask, registration,
                         nullptr)) {
    delete registration;
    return nullptr;
  }
  return registration;
}

void RemoveFunctionLookup(void *registration) {
  LOOKUP_REGISTRATION *r = static_cast<LOOKUP_REGISTRATION *>(registration);
  if (r == nullptr)
    return;
  // The identifier stands for the table the system made.
  Callbacks().remove(reinterpret_cast<PRUNTIME_FUNCTION>(r->identifier));
  delete r;
}
#else
void *InstallFunctionLookup(const void *, std::size_t, FUNCTION_LOOKUP,
                            void *) {
  return nullptr;
}
void RemoveFunctionLookup(void *) {}
#endif
