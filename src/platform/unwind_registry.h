// The system's registry of unwind information for code made at run time.
#ifndef VOXEVAL_PLATFORM_UNWIND_REGISTRY_H
#define VOXEVAL_PLATFORM_UNWIND_REGISTRY_H

// (The C library's own header tells whether it is glibc.)
#include <cstddef>
#include <cstdint>

// Where the unwinder is libgcc's, reading DWARF call frame information
// that code made at run time hands it with __register_frame_table.
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__)) &&        \
    !defined(_WIN32)
#define VOXEVAL_DWARF_UNWIND 1
#endif

// Where the unwinder reads Windows x64 function tables.
#if defined(_WIN32) && (defined(__x86_64__) || defined(_M_X64))
#define VOXEVAL_WINDOWS_UNWIND 1
#endif

// Registers a null-terminated list of pointers, each to call frame
// information (a CIE, its FDEs, a zero word). The list and what it points
// to must stay unchanged until withdrawn.
void RegisterUnwindList(void **list);
void WithdrawUnwindList(void **list);

// Windows x64: the system asks lookup(address, context) for the function
// entry (begin, end, unwind data: three offsets from base) holding an
// address in [base, base + size), which stays unchanged while the function
// can run; null for none. The registration, or null where the system
// refuses.
typedef const void *(*FUNCTION_LOOKUP)(std::uint64_t address, void *context);
void *InstallFunctionLookup(const void *base, std::size_t size,
                            FUNCTION_LOOKUP lookup, void *context);
void RemoveFunctionLookup(void *registration);

#endif
