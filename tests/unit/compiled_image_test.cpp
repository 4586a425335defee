// The compiled image: byte layout, counting, reading back, compiling.
#include "builder/expression_builder.h"
#include "builder/token.h"
#include "evaluation/compiled_image.h"
#include "evaluation/evaluator.h"

#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using calc_nmspace::TOKEN;

namespace {

typedef std::vector<std::uint8_t> Bytes;

TOKEN *Leaf(TOKEN_TYPE type, const std::string &name, double value = 0.0) {
  TOKEN *token = new TOKEN;
  token->type = type;
  token->name = name;
  if (type == TT_DOUBLE)
    token->value.dval = value;
  return token;
}

TOKEN *Group(std::initializer_list<TOKEN *> children,
             const std::string &name = "") {
  TOKEN *group = new TOKEN;
  group->type = TT_GROUP;
  group->name = name;
  group->children.assign(children.begin(), children.end());
  return group;
}

const std::uint8_t kFill = 0xAA;

// Counts, then writes into a buffer with a guard band after it; the writer
// must fill exactly the counted bytes and touch nothing beyond.
Bytes Image(const TOKEN &root) {
  std::uint64_t size = 0;
  root.WriteImage(nullptr, size);
  Bytes buffer(static_cast<std::size_t>(size) + 16, kFill);
  std::uint64_t position = 0;
  root.WriteImage(buffer.data(), position);
  EXPECT_EQ(position, size);
  for (std::size_t i = static_cast<std::size_t>(size); i < buffer.size(); ++i)
    EXPECT_EQ(buffer[i], kFill) << "written past the end at " << i;
  buffer.resize(static_cast<std::size_t>(size));
  return buffer;
}

// A record read from an image, freed with everything below it.
struct ReadBack {
  STOKEN record = STOKEN();
  std::uint64_t position = 0;
  explicit ReadBack(const Bytes &image) {
    ReadImage(record, image.data(), position);
  }
  ~ReadBack() { FreeSToken(record); }
  ReadBack(const ReadBack &) = delete;
  ReadBack &operator=(const ReadBack &) = delete;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

Bytes Text(const std::string &s) {
  Bytes out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

// Same shape, kinds, names and constants in the token and the record tree.
void ExpectSameTree(const TOKEN &token, const STOKEN &record,
                    const std::string &path = "root") {
  SCOPED_TRACE(path);
  ASSERT_EQ(record.type, token.type);
  if (token.name.empty()) {
    EXPECT_EQ(record.name, nullptr);
  } else {
    EXPECT_EQ(std::string(record.name), token.name);
  }
  if (token.type == TT_DOUBLE) {
    EXPECT_EQ(record.value.dval, token.value.dval);
  }
  if (token.type == TT_GROUP) {
    ASSERT_EQ(record.value.group.count,
              static_cast<std::int32_t>(token.children.size()));
    for (std::size_t i = 0; i < token.children.size(); ++i)
      ExpectSameTree(*token.children[i], record.value.group.items[i],
                     path + "/" + std::to_string(i));
  }
}

struct FreeCompiled {
  void operator()(STOKEN *root) const {
    FreeSToken(*root);
    std::free(root);
  }
};
typedef std::unique_ptr<STOKEN, FreeCompiled> Compiled;

} // namespace

TEST(CompiledImage, TheThirtyThreeByteExample) {
  std::unique_ptr<TOKEN> tree(
      Group({Leaf(TT_DOUBLE_REF, "x"), Leaf(TT_DOUBLE, "2.5", 2.5)}));
  const Bytes expected = {0x0d, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                          0x06, 0x00, 0x00, 0x00, 0x02, 0x78, 0x00, 0x03, 0x00,
                          0x00, 0x00, 0x04, 0x32, 0x2e, 0x35, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x04, 0x40};
  const Bytes image = Image(*tree);
  EXPECT_EQ(image, expected);

  ReadBack back(image);
  EXPECT_EQ(back.position, 33u);
  ASSERT_EQ(back.record.type, TT_GROUP);
  EXPECT_EQ(back.record.name, nullptr);
  ASSERT_EQ(back.record.value.group.count, 2);
  const STOKEN &x = back.record.value.group.items[0];
  EXPECT_EQ(x.type, TT_DOUBLE_REF);
  EXPECT_STREQ(x.name, "x");
  EXPECT_EQ(x.value.dref, nullptr);
  const STOKEN &c = back.record.value.group.items[1];
  EXPECT_EQ(c.type, TT_DOUBLE);
  EXPECT_STREQ(c.name, "2.5");
  EXPECT_EQ(c.value.dval, 2.5);
}

TEST(CompiledImage, SmallRecords) {
  struct Case {
    const char *what;
    TOKEN *token;
    Bytes expected;
  };
  double target = 5.0;
  TOKEN *reference = Leaf(TT_DOUBLE_REF, "x");
  reference->value.dref = &target;
  TOKEN *integer = Leaf(TT_INT, "");
  integer->value.ival = 7;
  TOKEN *plus = Leaf(TT_PLUS, "");
  plus->priority = 2;
  Case cases[] = {
      {"unnamed constant",
       Leaf(TT_DOUBLE, "", -1.0),
       {0x03, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0xf0, 0xbf}},
      {"variable x, its target not carried",
       reference,
       {0x06, 0, 0, 0, 0x02, 0x78, 0x00}},
      {"empty group", Group({}), {0x0d, 0, 0, 0, 0x00, 0, 0, 0, 0}},
      {"int value not carried", integer, {0x01, 0, 0, 0, 0x00}},
      {"priority not carried", plus, {0x08, 0, 0, 0, 0x00}},
      {"placeholder",
       Leaf(TT_PLACEHOLDER, "gol"),
       {0x11, 0, 0, 0, 0x04, 'g', 'o', 'l', 0x00}},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TOKEN> token(c.token);
    EXPECT_EQ(Image(*token), c.expected);
  }
}

TEST(CompiledImage, SmallRecordsReadBack) {
  {
    std::unique_ptr<TOKEN> token(Leaf(TT_DOUBLE_REF, "x"));
    ReadBack back(Image(*token));
    EXPECT_EQ(back.position, 7u);
    EXPECT_EQ(back.record.type, TT_DOUBLE_REF);
    EXPECT_EQ(back.record.value.dref, nullptr);
    EXPECT_EQ(EvaluateSToken(&back.record, 0), 0.0);
  }
  {
    std::unique_ptr<TOKEN> token(Group({}));
    ReadBack back(Image(*token));
    EXPECT_EQ(back.position, 9u);
    EXPECT_EQ(back.record.type, TT_GROUP);
    EXPECT_EQ(back.record.value.group.count, 0);
    EXPECT_EQ(back.record.value.group.items, nullptr);
    EXPECT_EQ(EvaluateSToken(&back.record, 0), 0.0);
  }
  {
    std::unique_ptr<TOKEN> token(Leaf(TT_DOUBLE, "", 1e300));
    ReadBack back(Image(*token));
    EXPECT_EQ(back.position, 13u);
    EXPECT_EQ(back.record.name, nullptr);
    EXPECT_EQ(back.record.value.dval, 1e300);
  }
  // A null buffer reads nothing.
  STOKEN untouched = STOKEN();
  std::uint64_t position = 3;
  ReadImage(untouched, nullptr, position);
  EXPECT_EQ(position, 3u);
  EXPECT_EQ(untouched.type, TT_NONE);
}

// Names up to 126 bytes use the one-byte size; longer ones the 0xFF mark and
// a four-byte little-endian size (name plus its zero byte).
TEST(CompiledImage, NameSizes) {
  struct Case {
    std::size_t length;
    Bytes size;
  };
  const Case cases[] = {
      {1, {0x02}},
      {125, {0x7e}},
      {126, {0x7f}},
      {127, Concat({{0xff}, Le32(128)})},
      {128, Concat({{0xff}, Le32(129)})},
      {255, Concat({{0xff}, Le32(256)})},
      {100000, Concat({{0xff}, Le32(100001)})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.length);
    std::string name(c.length, 'n');
    name[0] = 'a';
    name[c.length - 1] = 'z';
    std::unique_ptr<TOKEN> token(Leaf(TT_DOUBLE_REF, name));
    const Bytes image = Image(*token);
    EXPECT_EQ(image, Concat({Le32(6), c.size, Text(name)}));
    ReadBack back(image);
    EXPECT_EQ(back.position, image.size());
    ASSERT_NE(back.record.name, nullptr);
    EXPECT_EQ(std::string(back.record.name), name);
  }
}

// A long name inside a group must not throw the following records off.
TEST(CompiledImage, RecordsAfterALongNameReadBackInPlace) {
  const std::string longName(300, 'v');
  std::unique_ptr<TOKEN> tree(
      Group({Leaf(TT_DOUBLE, "1", 1.0), Leaf(TT_PLUS, "+"),
             Leaf(TT_DOUBLE_REF, longName), Leaf(TT_MUL, "*"),
             Leaf(TT_DOUBLE, "2.5", 2.5)},
            std::string(127, 'g')));
  const Bytes image = Image(*tree);
  EXPECT_EQ(image.size(), 5u + 4 + 128 + 4 + (5 + 2 + 8) + (5 + 2) +
                              (5 + 4 + 301) + (5 + 2) + (5 + 4 + 8));
  ReadBack back(image);
  EXPECT_EQ(back.position, image.size());
  ExpectSameTree(*tree, back.record);
}

TEST(CompiledImage, NestedTreesKeepTheirOrderAndCountEqualsWritten) {
  // [1, +, [2, *, [x, ^, 3]], -, sin, [[], y], +, "", gol]
  std::unique_ptr<TOKEN> tree(
      Group({Leaf(TT_DOUBLE, "1", 1.0), Leaf(TT_PLUS, "+"),
             Group({Leaf(TT_DOUBLE, "2", 2.0), Leaf(TT_MUL, "*"),
                    Group({Leaf(TT_DOUBLE_REF, "x"), Leaf(TT_POW, "^"),
                           Leaf(TT_DOUBLE, "3", 3.0)})}),
             Leaf(TT_MINUS, "-"), Leaf(TT_FUNCTION, "sin"),
             Group({Group({}), Leaf(TT_DOUBLE_REF, "y")}), Leaf(TT_PLUS, "+"),
             Leaf(TT_CALLBACK, "f"), Leaf(TT_PLACEHOLDER, "gol")}));
  const Bytes image = Image(*tree);
  ReadBack back(image);
  EXPECT_EQ(back.position, image.size());
  ExpectSameTree(*tree, back.record);
  // Depth first: the "3" of the innermost group comes before the "-".
  const std::string bytes(image.begin(), image.end());
  EXPECT_LT(bytes.find(std::string("3\0", 2)),
            bytes.find(std::string("-\0", 2)));
}

TEST(CompiledImage, CompileBindsAndLeavesTheTokenTreeAlone) {
  boost::shared_ptr<CExpressionBuilder> builder(new CExpressionBuilder);
  const std::u16string longName(200, u'w');
  ASSERT_TRUE(builder->AddVariable(longName));
  TOKEN *x = Leaf(TT_DOUBLE_REF, "x");
  x->priority = 9;
  // [x, *, 2.5, +, w...w, +, sin, [pi 3.1415926]]
  std::unique_ptr<TOKEN> tree(Group(
      {x, Leaf(TT_MUL, "*"), Leaf(TT_DOUBLE, "2.5", 2.5), Leaf(TT_PLUS, "+"),
       Leaf(TT_DOUBLE_REF, std::string(200, 'w')), Leaf(TT_PLUS, "+"),
       Leaf(TT_FUNCTION, "sin"), Group({Leaf(TT_DOUBLE, "0", 0.0)})}));
  const Bytes before = Image(*tree);

  Compiled root(tree->Compile(builder));
  ASSERT_TRUE(root);
  EXPECT_EQ(builder.use_count(), 1); // the compile's handle is released
  ExpectSameTree(*tree, *root);
  EXPECT_EQ(Image(*tree), before);
  EXPECT_EQ(tree->children[0]->priority, 9);

  ASSERT_TRUE(builder->SetValue(u"x", 2.0));
  ASSERT_TRUE(builder->SetValue(longName, 1.0));
  EXPECT_EQ(EvaluateSToken(root.get(), 0), 6.0);
  ASSERT_TRUE(builder->SetValue(u"x", 4.0));
  EXPECT_EQ(EvaluateSToken(root.get(), 0), 11.0);

  // The compiled tree shares nothing with the token tree.
  tree.reset();
  EXPECT_EQ(EvaluateSToken(root.get(), 0), 11.0);
}
