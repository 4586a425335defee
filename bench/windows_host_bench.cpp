// What a Windows x64 host pays for Evaluate, in the C++ ABI this program is
// built in, for each build of the DLL named on its command line (paths
// without spaces), measured side by side in one run:
//   voxeval_windows_bench.exe before\VOXEvalExpressions.dll
//   VOXEvalExpressions.dll
// A host's own virtual function computing x+1 ("native-call") is the floor.
// Rounds take the DLLs in turn; the medians are printed, in ns per call.
#include <VOXEvalExpressions.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

extern "C" int puts(const char *text);

namespace {

typedef boost::shared_ptr<IVOXExpressionParser> (*CREATE_PARSER)();
typedef boost::shared_ptr<IVOXExpression> ExpressionHandle;

const char16_t *const kFormulas[] = {u"x+1", u"x*y+z", u"x*y+z*t",
                                     u"2*x+sin(t)", u"x^2+y^2+z^2"};
const int kFormulaCount = sizeof kFormulas / sizeof kFormulas[0];
const int kMaxLibraries = 4;
const int kRounds = 7;
const int kCalls = 2000000;

double g_x = 0.7;

// The host's own expression: what the library's code is measured against.
class CNativeCall final : public IVOXExpression {
public:
  std::pair<bool, double> Evaluate(std::uintptr_t) const override {
    return std::pair<bool, double>(true, g_x + 1.0);
  }
  bool DependsOnSpace() const override { return true; }
  bool DependsOnTime() const override { return false; }
};

// ns per call of Evaluate, each value consumed as a host would.
__attribute__((noinline)) double Time(const IVOXExpression &expression) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  volatile double sink = 0.0;
  QueryPerformanceCounter(&start);
  for (int i = 0; i < kCalls; ++i)
    sink = sink + expression.Evaluate(0).second;
  QueryPerformanceCounter(&end);
  return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart) /
         kCalls * 1e9;
}

double Median(double *values) {
  std::sort(values, values + kRounds);
  return values[kRounds / 2];
}

// The command line's words after the program's name, NUL-terminated in
// place.
int Arguments(wchar_t *line, wchar_t **words, int most) {
  int count = -1;
  while (*line != 0 && count < most) {
    while (*line == L' ')
      *line++ = 0;
    if (*line == 0)
      break;
    if (count >= 0)
      words[count] = line;
    ++count;
    while (*line != 0 && *line != L' ')
      ++line;
  }
  return count < 0 ? 0 : count;
}

int Run() {
  static wchar_t line[4096];
  const wchar_t *given = GetCommandLineW();
  int length = 0;
  while (given[length] != 0 && length < 4095) {
    line[length] = given[length];
    ++length;
  }
  wchar_t *paths[kMaxLibraries];
  const int libraries = Arguments(line, paths, kMaxLibraries);
  if (libraries == 0) {
    puts("usage: voxeval_windows_bench DLL [DLL...]");
    return 2;
  }
  boost::shared_ptr<IVOXExpressionParser> parsers[kMaxLibraries];
  ExpressionHandle expressions[kMaxLibraries][kFormulaCount];
  for (int d = 0; d < libraries; ++d) {
    HMODULE module = LoadLibraryW(paths[d]);
    CREATE_PARSER create =
        module == nullptr
            ? nullptr
            : reinterpret_cast<CREATE_PARSER>(reinterpret_cast<void (*)()>(
                  GetProcAddress(module, "CreateExpressionParser")));
    if (create == nullptr) {
      puts("a DLL named does not load or has no factory");
      return 1;
    }
    parsers[d] = create();
    parsers[d]->SetValue(u"x", g_x);
    parsers[d]->SetValue(u"y", 1.3);
    parsers[d]->SetValue(u"z", 2.1);
    parsers[d]->SetValue(u"t", 0.4);
    for (int f = 0; f < kFormulaCount; ++f) {
      expressions[d][f] = parsers[d]->CreateExpression(kFormulas[f]);
      if (!expressions[d][f]) {
        puts("a formula does not compile");
        return 1;
      }
    }
  }
  const CNativeCall native;
  double nativeTimes[kRounds];
  static double times[kMaxLibraries][kFormulaCount][kRounds];
  for (int r = 0; r < kRounds; ++r) {
    nativeTimes[r] = Time(native);
    for (int f = 0; f < kFormulaCount; ++f)
      for (int d = 0; d < libraries; ++d)
        times[d][f][r] = Time(*expressions[d][f]);
  }
  char text[160];
  std::snprintf(text, sizeof text, "%-14s %8.2f", "native-call",
                Median(nativeTimes));
  puts(text);
  for (int f = 0; f < kFormulaCount; ++f) {
    int n = 0;
    for (int i = 0; kFormulas[f][i] != 0 && n < 14; ++i)
      text[n++] = static_cast<char>(kFormulas[f][i]);
    while (n < 14)
      text[n++] = ' ';
    for (int d = 0; d < libraries; ++d)
      n += std::snprintf(text + n, sizeof text - n, " %8.2f",
                         Median(times[d][f]));
    puts(text);
  }
  return 0;
}

} // namespace

#if defined(_MSC_VER)
// No C runtime start-up runs before the program's own entry.
extern "C" int HostEntry() { ExitProcess(static_cast<UINT>(Run())); }
#else
int main() { return Run(); }
#endif
