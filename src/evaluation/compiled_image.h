// The transient byte image between a token tree and its record tree.
#ifndef VOXEVAL_EVALUATION_COMPILED_IMAGE_H
#define VOXEVAL_EVALUATION_COMPILED_IMAGE_H

#include "evaluation/stoken.h"

#include <cstdint>

// Name-size byte announcing a long name: four bytes of length follow.
const std::uint8_t kLongNameMark = 0xFF;
// The longest name (bytes plus its zero) that fits the one-byte size.
const std::uint32_t kMaxShortNameSize = 127;

// Reads one record with all its descendants from buffer + position into a
// zero-filled record and advances the position. A null buffer reads nothing.
void ReadImage(STOKEN &record, const std::uint8_t *buffer,
               std::uint64_t &position);

#endif
