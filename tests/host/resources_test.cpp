// Executable memory as a resource the host shares with the library: many
// parsers alive at once leave the host's mappings alone, and the code
// memory that live expressions hold follows their code, not how many were
// ever compiled.
#include "host_support.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Mappings {
  int total = 0;
  int code = 0; // the library's code memory
  unsigned long long codeBytes = 0;
};

// The process's mappings as Linux lists them; false elsewhere.
bool ReadMappings(Mappings &m) {
#if defined(_WIN32)
  (void)m;
  return false;
#else
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    ++m.total;
    if (line.find("voxeval-code") == std::string::npos)
      continue;
    ++m.code;
    const std::string range = line.substr(0, line.find(' '));
    m.codeBytes += std::stoull(range.substr(range.find('-') + 1), nullptr, 16) -
                   std::stoull(range.substr(0, range.find('-')), nullptr, 16);
  }
  return m.total > 0;
#endif
}

int MaxMapCount() {
  std::ifstream limit("/proc/sys/vm/max_map_count");
  int count = 65530;
  limit >> count;
  return count;
}

std::u16string Text(const std::string &ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

} // namespace

TEST(Resources, ManyParsersStayFarBelowTheMappingLimit) {
  Mappings before;
  if (!ReadMappings(before))
    GTEST_SKIP() << "the mappings cannot be read here";
  const int kParsers = 10000;
  std::vector<ParserHandle> parsers;
  std::vector<ExpressionHandle> expressions;
  for (int i = 0; i < kParsers; ++i) {
    parsers.push_back(CreateExpressionParser());
    ASSERT_TRUE(parsers.back()->SetValue(u"x", i));
    expressions.push_back(parsers.back()->CreateExpression(
        Text("x*" + std::to_string(i % 7 + 2) + "+y").c_str()));
    ASSERT_TRUE(expressions.back());
  }
  Mappings after;
  ASSERT_TRUE(ReadMappings(after));
  EXPECT_LT(after.total, MaxMapCount() / 10);
  // A few chunks per region of the heap that holds the variables.
  EXPECT_LE(after.code - before.code, 64);
  for (int i = 0; i < kParsers; ++i) {
    ASSERT_TRUE(parsers[i]->SetValue(u"y", 0.5));
    ASSERT_EQ(expressions[i]->Evaluate(0).second, i * (i % 7 + 2) + 0.5) << i;
  }
}

// Of 40,000 expressions compiled on 200 parsers, one in 200 is kept: the
// freed code's place is taken again, so a chunk or two holds the rest.
TEST(Resources, CodeMemoryFollowsTheExpressionsKept) {
  Mappings before;
  if (!ReadMappings(before))
    GTEST_SKIP() << "the mappings cannot be read here";
  std::vector<ParserHandle> parsers(200);
  std::vector<ExpressionHandle> kept;
  for (ParserHandle &p : parsers) {
    p = CreateExpressionParser();
    ASSERT_TRUE(p->SetValue(u"x", 3.0));
  }
  for (int i = 0; i < 40000; ++i) {
    ExpressionHandle e = parsers[i % 200]->CreateExpression(
        Text("x*" + std::to_string(i) + "-(x+1)^2").c_str());
    ASSERT_TRUE(e);
    if (i % 200 == 7)
      kept.push_back(e);
  }
  Mappings after;
  ASSERT_TRUE(ReadMappings(after));
  EXPECT_LE(after.code, 8);
  EXPECT_LE(after.codeBytes, 3u << 20);
  for (std::size_t k = 0; k < kept.size(); ++k)
    ASSERT_EQ(kept[k]->Evaluate(0).second, 3.0 * (200 * k + 7) - 16.0) << k;
}
