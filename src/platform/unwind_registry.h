// The system's registry of unwind information for code made at run time.
#ifndef VOXEVAL_PLATFORM_UNWIND_REGISTRY_H
#define VOXEVAL_PLATFORM_UNWIND_REGISTRY_H

// (The C library's own header tells whether it is glibc.)
#include <cstddef>

// Where the unwinder is libgcc's, reading DWARF call frame information
// that code made at run time hands it with __register_frame_table.
#if defined(__GLIBC__) && defined(__x86_64__) && !defined(_WIN32)
#define VOXEVAL_DWARF_UNWIND 1
#endif

// Registers a null-terminated list of pointers, each to call frame
// information (a CIE, its FDEs, a zero word). The list and what it points
// to must stay unchanged until withdrawn.
void RegisterUnwindList(void **list);
void WithdrawUnwindList(void **list);

#endif
