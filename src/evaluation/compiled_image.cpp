// The compiled image: a flat little-endian byte sequence that carries a token
// tree's kinds, names, constants and shape, and nothing else. Targets are
// restored afterwards by name through the binding registry.
#include "evaluation/compiled_image.h"

#include "builder/expression_builder.h"
#include "platform/allocation.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

void PutBytes(std::uint8_t *buffer, std::uint64_t &position, const void *data,
              std::size_t size) {
  if (buffer != nullptr)
    std::memcpy(buffer + position, data, size);
  position += size;
}

void PutUInt32(std::uint8_t *buffer, std::uint64_t &position, std::uint32_t v) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
      static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  PutBytes(buffer, position, bytes, 4);
}

void PutDouble(std::uint8_t *buffer, std::uint64_t &position, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  PutUInt32(buffer, position, static_cast<std::uint32_t>(bits));
  PutUInt32(buffer, position, static_cast<std::uint32_t>(bits >> 32));
}

std::uint32_t GetUInt32(const std::uint8_t *buffer, std::uint64_t &position) {
  const std::uint8_t *p = buffer + position;
  position += 4;
  return static_cast<std::uint32_t>(p[0]) |
         static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

double GetDouble(const std::uint8_t *buffer, std::uint64_t &position) {
  const std::uint64_t low = GetUInt32(buffer, position);
  const std::uint64_t high = GetUInt32(buffer, position);
  const std::uint64_t bits = low | high << 32;
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

// A name and its zero byte: one size byte when it fits in 127, otherwise the
// long-name mark and a four-byte size.
void PutName(std::uint8_t *buffer, std::uint64_t &position,
             const std::string &name) {
  if (name.empty()) {
    const std::uint8_t none = 0;
    PutBytes(buffer, position, &none, 1);
    return;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(name.size()) + 1;
  if (size <= kMaxShortNameSize) {
    const std::uint8_t small = static_cast<std::uint8_t>(size);
    PutBytes(buffer, position, &small, 1);
  } else {
    if (size > std::numeric_limits<std::uint32_t>::max())
      throw std::bad_alloc();
    PutBytes(buffer, position, &kLongNameMark, 1);
    PutUInt32(buffer, position, static_cast<std::uint32_t>(size));
  }
  PutBytes(buffer, position, name.c_str(), static_cast<std::size_t>(size));
}

struct FreeBlock {
  void operator()(void *block) const { std::free(block); }
};

} // namespace

namespace calc_nmspace {

void TOKEN::WriteImage(std::uint8_t *buffer, std::uint64_t &position) const {
  PutUInt32(buffer, position, static_cast<std::uint32_t>(type));
  PutName(buffer, position, name);
  if (type == TT_DOUBLE)
    PutDouble(buffer, position, value.dval);
  if (type == TT_GROUP) {
    PutUInt32(buffer, position, static_cast<std::uint32_t>(children.size()));
    for (const TOKEN *child : children)
      child->WriteImage(buffer, position);
  }
}

// Count, write, read back, bind. Lack of memory for the image throws rather
// than leave an expression that would silently give 0.0.
STOKEN *TOKEN::Compile(boost::shared_ptr<CExpressionBuilder> builder) const {
  // Owned while it is being built, so that lack of memory halfway releases
  // everything already read.
  RECORDS_PTR root(AllocSTokens(1));
  std::uint64_t size = 0;
  WriteImage(nullptr, size);
  if (size > std::numeric_limits<std::size_t>::max())
    throw std::bad_alloc();
  std::unique_ptr<std::uint8_t, FreeBlock> image(static_cast<std::uint8_t *>(
      AllocateBlock(static_cast<std::size_t>(size))));
  if (!image)
    throw std::bad_alloc();
  std::uint64_t position = 0;
  WriteImage(image.get(), position);
  position = 0;
  ReadImage(*root, image.get(), position);
  image.reset();
  builder->BindSTokens(*root);
  builder.reset();
  return root.release();
}

} // namespace calc_nmspace

void ReadImage(STOKEN &record, const std::uint8_t *buffer,
               std::uint64_t &position) {
  if (buffer == nullptr)
    return;
  record.type = static_cast<TOKEN_TYPE>(GetUInt32(buffer, position));
  std::uint32_t nameSize = buffer[position++];
  if (nameSize == kLongNameMark)
    nameSize = GetUInt32(buffer, position);
  if (nameSize != 0) {
    char *name = static_cast<char *>(AllocateBlock(nameSize));
    if (name == nullptr)
      throw std::bad_alloc();
    std::memcpy(name, buffer + position, nameSize);
    record.name = name;
    position += nameSize;
  }
  if (record.type == TT_DOUBLE)
    record.value.dval = GetDouble(buffer, position);
  if (record.type == TT_GROUP) {
    const std::int32_t count =
        static_cast<std::int32_t>(GetUInt32(buffer, position));
    record.value.group.items = AllocSTokens(count);
    record.value.group.count = count > 0 ? count : 0;
    for (std::int32_t i = 0; i < record.value.group.count; ++i)
      ReadImage(record.value.group.items[i], buffer, position);
  }
}
