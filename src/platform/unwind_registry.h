// The system's registry of unwind information for code made at run time.
#ifndef VOXEVAL_PLATFORM_UNWIND_REGISTRY_H
#define VOXEVAL_PLATFORM_UNWIND_REGISTRY_H

// (The C library's own header tells whether it is glibc.)
#include <cstddef>
#include <cstdint>

// Where the unwinder is libgcc's, reading DWARF call frame information
// that code made at run time hands it with __register_frame_table.
#if defined(__GLIBC__) && defined(__x86_64__) && !defined(_WIN32)
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

// Windows x64: a table of function entries (begin, end, unwind data: three
// offsets from base) for the code in [base, base + size), grown in place
// up to capacity entries. Null when the system has no such tables.
void *OpenFunctionTable(const std::uint32_t *entries, std::uint32_t count,
                        std::uint32_t capacity, const void *base,
                        std::size_t size);
void GrowFunctionTable(void *table, std::uint32_t count);
void CloseFunctionTable(void *table);

#endif
