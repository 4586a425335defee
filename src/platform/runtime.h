// Stand-ins for the run-time helpers the library was designed around.
#ifndef VOXEVAL_PLATFORM_RUNTIME_H
#define VOXEVAL_PLATFORM_RUNTIME_H

// Copies a zero-terminated string into a malloc block that free releases.
// Throws std::bad_alloc when memory cannot be had.
char *DuplicateString(const char *text);

#endif
