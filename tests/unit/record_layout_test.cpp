// Where an evaluation record's fields lie. With 32-bit pointers the value is
// 8 bytes and a group's count and items share it; with 64-bit pointers the
// items pointer needs a second word. The context word is pointer wide.
#include "evaluation/stoken.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

TEST(RecordLayout, FieldsLieWhereThePointerWidthPutsThem) {
  struct Layout {
    std::size_t pointer, name, value, valueSize, items, record;
  };
  static const Layout kByWidth[] = {
      {4, 4, 8, 8, 4, 16},
      {8, 8, 16, 16, 8, 32},
  };
  const Layout *expected = nullptr;
  for (const Layout &layout : kByWidth)
    if (layout.pointer == sizeof(void *))
      expected = &layout;
  ASSERT_NE(expected, nullptr) << "no layout for this pointer width";

  EXPECT_EQ(sizeof(std::uintptr_t), expected->pointer);
  EXPECT_EQ(sizeof(TOKEN_TYPE), 4u);
  EXPECT_EQ(offsetof(STOKEN, type), 0u);
  EXPECT_EQ(offsetof(STOKEN, name), expected->name);
  EXPECT_EQ(offsetof(STOKEN, value), expected->value);
  EXPECT_EQ(sizeof(STOKEN::value), expected->valueSize);
  EXPECT_EQ(offsetof(STOKEN_GROUP, count), 0u);
  EXPECT_EQ(offsetof(STOKEN_GROUP, items), expected->items);
  EXPECT_EQ(sizeof(STOKEN), expected->record);
}
