// A Windows host built in Microsoft's C++ ABI (clang in MSVC mode), using
// the DLL through its import library and the public header only: every
// slot of both interfaces, handles released by the host's own inline code
// in any order, std::bad_alloc and a callback's exception crossing the
// boundary, the context word, and the cross-target table of values.
// Prints "N passed, N failed"; with --write-differences, this target's
// lines of reference_differences.inc instead.
#include <VOXEvalExpressions.h>

#include "../stack_walk.h"

#include <boost/weak_ptr.hpp>

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

extern "C" int puts(const char *text);

namespace {

typedef boost::shared_ptr<IVOXExpressionParser> ParserHandle;
typedef boost::shared_ptr<IVOXExpression> ExpressionHandle;

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char *what, const char16_t *text = nullptr) {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  char line[200];
  int n = std::snprintf(line, sizeof line, "FAILED: %s", what);
  // The formula, ASCII only, cut short.
  for (int i = 0; text != nullptr && text[i] != 0 && n < 190; ++i)
    line[n++] = (text[i] >= 0x20 && text[i] < 0x7F) ? char(text[i]) : '?';
  line[n] = 0;
  puts(line);
}

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double ValueOf(const ParserHandle &parser, const char16_t *text,
               std::uintptr_t context = 0) {
  ExpressionHandle expression = parser->CreateExpression(text);
  return expression ? expression->Evaluate(context).second : std::nan("");
}

// ---- The table of formulas and values every target checks.

struct Reference {
  const char16_t *text;
  bool compiles;
  double value;
};

const Reference kReferences[] = {
#include "../host/reference_values.inc"
};

struct Difference {
  const char *target;
  const char16_t *text;
  double value;
};

const Difference kDifferences[] = {
#include "../host/reference_differences.inc"
};

#if defined(_M_IX86)
const char kTarget[] = "windows32-msvc";
#else
const char kTarget[] = "windows-msvc";
#endif

const std::uintptr_t kContext = 0x9E3779B9u;
int g_ticks = 0;
double Tick(std::uintptr_t) { return ++g_ticks; }
double Context(std::uintptr_t context) { return double(context) / 1024; }

ParserHandle ReferenceParser() {
  ParserHandle parser = CreateExpressionParser();
  static const struct {
    const char16_t *name;
    double value;
  } kValues[] = {
#include "../host/reference_names.inc"
  };
  for (const auto &v : kValues) {
    parser->AddVariable(v.name);
    Check(parser->SetValue(v.name, v.value), "SetValue of a reference name");
  }
  Check(parser->AddFunction(u"tick", &Tick), "AddFunction tick");
  Check(parser->AddFunction(u"ctx", &Context), "AddFunction ctx");
  return parser;
}

const Difference *DifferenceFor(const char16_t *text) {
  for (const Difference &d : kDifferences) {
    if (std::strcmp(d.target, kTarget) == 0 &&
        std::char_traits<char16_t>::compare(
            d.text, text, std::char_traits<char16_t>::length(text) + 1) == 0)
      return &d;
  }
  return nullptr;
}

bool CallsTheCLibrary(const char16_t *text) {
  static const char16_t *const kCalls[] = {u"sin", u"cos", u"tan",
                                           u"exp", u"log", u"^"};
  const std::u16string formula(text);
  for (const char16_t *call : kCalls)
    if (formula.find(call) != std::u16string::npos)
      return true;
  return false;
}

void PrintLine(const char16_t *text, double value) {
  std::string line = "{\"";
  line += kTarget;
  line += "\", u\"";
  for (int i = 0; text[i] != 0; ++i)
    line += char(text[i]);
  char number[64];
  std::snprintf(number, sizeof number, "\", %a},", value);
  line += number;
  puts(line.c_str());
}

void ReferenceValues(bool write) {
  ParserHandle parser = ReferenceParser();
  for (const Reference &reference : kReferences) {
    ExpressionHandle expression = parser->CreateExpression(reference.text);
    Check(bool(expression) == reference.compiles,
          "compiles as listed: ", reference.text);
    if (!expression)
      continue;
    g_ticks = 0;
    const std::pair<bool, double> outcome = expression->Evaluate(kContext);
    if (write) {
      if (Bits(outcome.second) != Bits(reference.value))
        PrintLine(reference.text, outcome.second);
      continue;
    }
    const Difference *difference = DifferenceFor(reference.text);
    const double expected = difference ? difference->value : reference.value;
    Check(outcome.first && Bits(outcome.second) == Bits(expected),
          "the listed value: ", reference.text);
  }
  // A difference stands only where the C library is called and still
  // rounds differently.
  for (const Difference &d : kDifferences) {
    if (std::strcmp(d.target, kTarget) != 0)
      continue;
    Check(CallsTheCLibrary(d.text),
          "a difference calls the C library: ", d.text);
    for (const Reference &reference : kReferences)
      if (std::char_traits<char16_t>::compare(
              reference.text, d.text,
              std::char_traits<char16_t>::length(d.text) + 1) == 0)
        Check(Bits(reference.value) != Bits(d.value),
              "a listed difference differs: ", d.text);
  }
}

// ---- Every operation of both interfaces.

void Operations() {
  ParserHandle parser = CreateExpressionParser();
  Check(bool(parser), "the factory gives a parser");
  Check(parser->GetCount() == 47, "47 names in a fresh parser");
  const int fresh = parser->GetCount();
  Check(parser->CheckSyntax(u"2*x+sin(t)"), "CheckSyntax accepts");
  Check(!parser->CheckSyntax(u"2*+"), "CheckSyntax refuses");
  Check(!parser->CheckSyntax(nullptr), "CheckSyntax refuses null");
  Check(!parser->CreateExpression(u"2*q"), "unknown name: empty handle");
  Check(!parser->CreateExpression(nullptr), "null text: empty handle");

  Check(parser->SetValue(u"x", 1.5), "SetValue x");
  Check(parser->SetValue(u"t", 0.5), "SetValue t");
  Check(!parser->SetValue(u"nothing", 1.0), "SetValue of an unknown name");
  ExpressionHandle f = parser->CreateExpression(u"2*x+sin(t)");
  Check(bool(f), "CreateExpression");
  if (f) {
    const std::pair<bool, double> v = f->Evaluate(0);
    Check(v.first && v.second == 3.479425538604203, "Evaluate 2*x+sin(t)");
    Check(f->DependsOnSpace() && f->DependsOnTime(), "depends on x and t");
  }
  ExpressionHandle g = parser->CreateExpression(u"Density*2");
  Check(g && !g->DependsOnSpace() && !g->DependsOnTime(), "no dependence");

  Check(parser->AddVariable(u"mass"), "AddVariable");
  Check(!parser->AddVariable(u"mass"), "AddVariable twice");
  Check(parser->SetValue(u"mass", 4.0), "SetValue of a host variable");
  Check(ValueOf(parser, u"mass^2+1") == 17.0, "a host variable's value");
  Check(parser->GetCount() == fresh + 2,
        "a host variable counts in both tables");
  Check(!parser->AddFunction(u"f", nullptr), "AddFunction refuses null");

  parser->Clear();
  Check(parser->GetCount() == 0, "Clear forgets every name");
  Check(!parser->CreateExpression(u"1+1"), "nothing compiles after Clear");
  if (f)
    Check(f->Evaluate(0).second == 3.479425538604203,
          "a compiled formula keeps working after Clear");
  parser->LoadDefaults();
  Check(parser->GetCount() == fresh, "LoadDefaults restores the names");
  parser->LoadDefaults();
  Check(parser->GetCount() == fresh, "LoadDefaults on a full table: nothing");
  Check(ValueOf(parser, u"1+2*3") == 7.0, "1+2*3");
  Check(ValueOf(parser, u"2*-3") == -3.0, "2*-3 gives -3");
  Check(ValueOf(parser, u"1/0") == 0.0, "not finite gives 0");
}

// ---- Lifetimes: the host's inline shared_ptr code drives the DLL's
// control blocks.

void Lifetimes() {
  ExpressionHandle kept;
  {
    ParserHandle parser = CreateExpressionParser();
    ParserHandle copy = parser;
    Check(copy.use_count() == 2, "a copy counts");
    parser->AddVariable(u"k");
    parser->SetValue(u"k", 2.5);
    kept = copy->CreateExpression(u"k*4");
    ExpressionHandle other = kept;
    Check(kept.use_count() == 2, "expression copies count");
    parser.reset();
  }
  // The parser's last handle is gone: the expression keeps what it reads.
  Check(kept && kept->Evaluate(0).second == 10.0, "expression outlives parser");
  boost::weak_ptr<IVOXExpression> watch = kept;
  kept.reset();
  Check(watch.expired(), "the last release destroys the expression");

  // Many parsers and expressions released in the reverse and mixed order.
  ParserHandle parsers[8];
  ExpressionHandle expressions[16];
  for (int i = 0; i < 8; ++i) {
    parsers[i] = CreateExpressionParser();
    expressions[2 * i] = parsers[i]->CreateExpression(u"x+1");
    expressions[2 * i + 1] = parsers[i]->CreateExpression(u"x*x");
  }
  for (int i = 0; i < 8; i += 2)
    parsers[i].reset();
  for (int i = 15; i >= 0; i -= 3)
    expressions[i].reset();
  int sound = 0;
  for (const ExpressionHandle &e : expressions)
    if (e && e->Evaluate(0).second >= 0.0)
      ++sound;
  Check(sound == 10, "the handles left still evaluate");
}

// ---- Exceptions from a callback, through Evaluate, to the host.

struct HostError {
  int code;
};

int g_throwAt = 0;
std::uintptr_t g_seen = 0;
bool g_inGeneratedCode = false;

// True when one of the frames above lies in code that belongs to no module
// (the formula's machine code), and the walk went on past it to the host.
bool WalkCrossesGeneratedCode() {
#if defined(VOXEVAL_TEST_STACK_WALK)
  const std::vector<void *> trace = stack_walk::Walk(0);
  bool generated = false;
  for (void *ip : trace) {
    HMODULE module = nullptr;
    const bool inModule =
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(ip), &module) != 0;
    if (!inModule)
      generated = true;
    else if (generated && module == GetModuleHandleW(nullptr))
      return true;
  }
#endif
  return false;
}

double Thrower(std::uintptr_t context) {
  g_seen = context;
  g_inGeneratedCode = WalkCrossesGeneratedCode();
  if (--g_throwAt == 0)
    throw HostError{42};
  return 1.0;
}

double Seen(std::uintptr_t context) {
  g_seen = context;
  return 0.5;
}

void Exceptions() {
  ParserHandle parser = CreateExpressionParser();
  parser->AddFunction(u"boom", &Thrower);
  parser->SetValue(u"x", 3.0);
  ExpressionHandle e = parser->CreateExpression(u"x*2+boom*sin(x)+boom");
  Check(bool(e), "a formula with callbacks compiles");
  // Values that must survive the unwind in the host's own registers.
  const double a = std::sqrt(2.0), b = a * 3.0, c = b - a;
  for (int round = 1; round <= 2; ++round) {
    int caught = 0;
    g_throwAt = round;
    try {
      e->Evaluate(7);
    } catch (const HostError &error) {
      caught = error.code;
    }
    Check(caught == 42, "the callback's exception reaches the host");
  }
  Check(a * 3.0 == b && b - a == c, "the host's registers survive");
  g_throwAt = 0;
  const double expected = 3.0 * 2 + std::sin(3.0) + 1.0;
  Check(e->Evaluate(7).second == expected, "the expression works afterwards");
  Check(ValueOf(parser, u"x+1") == 4.0, "the parser works afterwards");
#if defined(_M_X64)
  // x64 runs the formula as machine code, which the system's unwinder walks.
  Check(g_inGeneratedCode, "the callback is called from machine code");
#endif

  // The context word arrives unchanged, all of its bits.
  parser->AddFunction(u"seen", &Seen);
  ExpressionHandle s = parser->CreateExpression(u"seen+1");
  const std::uintptr_t word = sizeof(std::uintptr_t) == 8
                                  ? std::uintptr_t(0xFEDCBA9876543210ull)
                                  : std::uintptr_t(0xDEADBEEFu);
  Check(s && s->Evaluate(word).second == 1.5 && g_seen == word,
        "the context word reaches the callback");
}

#if defined(_M_X64)
// x64: an expression with code takes the host's call in the code, from a
// table of virtual functions of its own (which lies in the object); the
// pair comes back through the host's pointer, from the code and from the
// fallback it hands over to when a value is not finite.
void CallsLandInTheCode() {
  ParserHandle parser = CreateExpressionParser();
  ExpressionHandle e = parser->CreateExpression(u"x*t+exp(t)^2");
  Check(bool(e), "a formula with code compiles");
  if (!e)
    return;
  const char *table;
  std::memcpy(&table, static_cast<const void *>(e.get()), sizeof table);
  const char *object = reinterpret_cast<const char *>(e.get());
  Check(table > object && table < object + 4096, "the expression's own table");
  const double inf = HUGE_VAL;
  for (const double x : {2.0, inf, std::nan("")}) {
    parser->SetValue(u"x", x);
    parser->SetValue(u"t", 0.5);
    const double square = std::pow(std::exp(0.5), 2.0);
    const double expected = std::isfinite(x) ? x * 0.5 + square : square;
    const std::pair<bool, double> v = e->Evaluate(0);
    Check(v.first && Bits(v.second) == Bits(expected), "the code's pair");
  }
  Check(e->DependsOnSpace() && e->DependsOnTime(), "the other entries");
}
#endif

// ---- Lack of memory: a build of the library whose allocations fail on
// demand (while VOXEVAL_FAIL_ALLOCATIONS is set), loaded at run time.

typedef ParserHandle (*CREATE_PARSER)();

void LackOfMemory() {
  HMODULE dll = LoadLibraryW(L"VOXEvalExpressionsFailing.dll");
  Check(dll != nullptr, "the failing build loads");
  if (dll == nullptr)
    return;
  CREATE_PARSER create =
      reinterpret_cast<CREATE_PARSER>(reinterpret_cast<void (*)()>(
          GetProcAddress(dll, "CreateExpressionParser")));
  Check(create != nullptr, "its factory is found by name");
  if (create != nullptr) {
    ParserHandle parser = create();
    SetEnvironmentVariableW(L"VOXEVAL_FAIL_ALLOCATIONS", L"1");
    bool asBadAlloc = false, asException = false;
    try {
      parser->CreateExpression(u"x*2+sin(t)");
    } catch (const std::bad_alloc &) {
      asBadAlloc = true;
    }
    try {
      parser->AddVariable(u"a_new_name");
    } catch (const std::exception &error) {
      asException = error.what() != nullptr && error.what()[0] != 0;
    }
    SetEnvironmentVariableW(L"VOXEVAL_FAIL_ALLOCATIONS", nullptr);
    Check(asBadAlloc, "std::bad_alloc caught as std::bad_alloc");
    Check(asException, "std::bad_alloc caught as std::exception, with what()");
    Check(ValueOf(parser, u"2+3") == 5.0, "the parser works afterwards");
  }
  // Every handle of the DLL is gone before it is.
  FreeLibrary(dll);
}

} // namespace

// The program's entry: no C runtime start-up runs before it.
extern "C" int HostEntry() {
  const wchar_t *line = GetCommandLineW();
  const bool write =
      line != nullptr && std::wcsstr(line, L"--write-differences");
  ReferenceValues(write);
  if (write)
    ExitProcess(0);
  Operations();
  Lifetimes();
  Exceptions();
#if defined(_M_X64)
  CallsLandInTheCode();
#endif
  LackOfMemory();
  char summary[64];
  std::snprintf(summary, sizeof summary, "%d passed, %d failed", g_passed,
                g_failed);
  puts(summary);
  ExitProcess(g_failed == 0 ? 0 : 1);
}
