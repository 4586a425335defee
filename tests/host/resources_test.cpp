// Executable memory as a resource the host shares with the library: many
// parsers alive at once leave the host's mappings alone, the code memory
// that live expressions hold follows their code, not how many were ever
// compiled, and the descriptors behind it are never mistaken for a host's.
#include "host_support.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

#if defined(__linux__)
namespace {

const int kHostFiles = 8;
const std::size_t kHostBytes = 1 << 16;

unsigned char HostByte(int file, std::size_t at) {
  return static_cast<unsigned char>(file * 31 + at * 7);
}

// The child's checks, as its exit status: 0 when all held.
int CloseEverythingAndCompile(ExpressionHandle inherited) {
  ParserHandle parser = CreateExpressionParser();
  parser->SetValue(u"x", 3.0);
  ExpressionHandle before = parser->CreateExpression(u"x*x+1");
  if (!before)
    return 10;
  // Every descriptor above the standard three goes, the library's too,
  // and host files take their numbers.
  for (int fd = 3; fd < 4096; ++fd)
    close(fd);
  int files[kHostFiles];
  std::vector<unsigned char> bytes(kHostBytes);
  for (int f = 0; f < kHostFiles; ++f) {
    files[f] = open("/tmp", O_TMPFILE | O_RDWR, 0600);
    if (files[f] < 0)
      return 11;
    for (std::size_t i = 0; i < kHostBytes; ++i)
      bytes[i] = HostByte(f, i);
    if (pwrite(files[f], bytes.data(), kHostBytes, 0) !=
        static_cast<ssize_t>(kHostBytes))
      return 12;
  }
  // Compiles that would write code find the descriptors gone: every
  // expression still gives its value.
  std::vector<ExpressionHandle> made;
  for (int i = 0; i < 50; ++i) {
    made.push_back(parser->CreateExpression(
        Text("x*" + std::to_string(i) + "+x^2").c_str()));
    if (!made.back() || made.back()->Evaluate(0).second != 3.0 * i + 9.0)
      return 13;
  }
  if (before->Evaluate(0).second != 10.0 || !inherited ||
      inherited->Evaluate(0).second != 5.0)
    return 14;
  // Released, the expressions (the parent's among them) close no host file.
  made.clear();
  before.reset();
  inherited.reset();
  parser.reset();
  for (int f = 0; f < kHostFiles; ++f) {
    struct stat status;
    if (fstat(files[f], &status) != 0 ||
        status.st_size != static_cast<off_t>(kHostBytes))
      return 15;
    if (pread(files[f], bytes.data(), kHostBytes, 0) !=
        static_cast<ssize_t>(kHostBytes))
      return 16;
    for (std::size_t i = 0; i < kHostBytes; ++i)
      if (bytes[i] != HostByte(f, i))
        return 17;
  }
  return 0;
}

} // namespace

// A host that closes every descriptor it did not open (before exec, in a
// daemon) and opens its own files under their numbers: the library writes
// none of them and closes none, and every expression keeps its value, in a
// forked child that also releases expressions made before the fork.
TEST(Resources, DescriptorsClosedByTheHostAreNotTheLibrarys) {
  ParserHandle parser = CreateExpressionParser();
  parser->SetValue(u"y", 2.0);
  ExpressionHandle inherited = parser->CreateExpression(u"y*y+1");
  ASSERT_TRUE(inherited);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    _exit(CloseEverythingAndCompile(inherited));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(inherited->Evaluate(0).second, 5.0);
}
#endif
