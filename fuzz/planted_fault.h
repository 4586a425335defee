// A fault the fuzz stage's own check plants on purpose: with
// VOXEVAL_FUZZ_PLANT set, an input that starts with its value aborts, as a
// real finding would. scripts/check-fuzz-stage uses it to prove that a
// finding in any target turns scripts/fuzz (and so CI) red.
#ifndef VOXEVAL_FUZZ_PLANTED_FAULT_H
#define VOXEVAL_FUZZ_PLANTED_FAULT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

inline void AbortOnPlantedInput(const std::uint8_t *data, std::size_t size) {
  static const char *const marker = std::getenv("VOXEVAL_FUZZ_PLANT");
  if (marker == nullptr || *marker == '\0')
    return;
  const std::size_t length = std::strlen(marker);
  if (size >= length && std::memcmp(data, marker, length) == 0) {
    std::fprintf(stderr, "planted fault: input starts with \"%s\"\n", marker);
    std::abort();
  }
}

#endif
