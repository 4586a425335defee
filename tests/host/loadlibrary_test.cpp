// The library as a Windows host uses it: the DLL loaded at run time by full
// path, the factory looked up by its plain name, wide text written as L"..."
// (wchar_t is 16 bits on Windows) and a pointer as the context word.
#include <VOXEvalExpressions.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t),
              "Windows wide text is UTF-16");

typedef boost::shared_ptr<IVOXExpressionParser> (*CREATE_PARSER)();

const char16_t *W(const wchar_t *text) {
  return reinterpret_cast<const char16_t *>(text);
}

std::wstring ProgramDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0)
      return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// A host loads the DLL that sits beside it by full path, never through the
// search order.
std::wstring LibraryPath() {
  return ProgramDirectory() + L"VOXEvalExpressions.dll";
}

CREATE_PARSER Factory(HMODULE module) {
  // Through void (*)(): a cast between unrelated function types warns.
  return reinterpret_cast<CREATE_PARSER>(reinterpret_cast<void (*)()>(
      GetProcAddress(module, "CreateExpressionParser")));
}

class LoadedLibrary {
public:
  explicit LoadedLibrary(const std::wstring &path)
      : m_module(LoadLibraryW(path.c_str())) {}
  ~LoadedLibrary() {
    if (m_module)
      FreeLibrary(m_module);
  }
  LoadedLibrary(const LoadedLibrary &) = delete;
  LoadedLibrary &operator=(const LoadedLibrary &) = delete;

  HMODULE Get() const { return m_module; }

private:
  HMODULE m_module;
};

struct HostCell {
  double value;
};

std::uintptr_t g_lastContext = 0;

// The context word is a pointer to the host's own data.
double ReadCell(std::uintptr_t context) {
  g_lastContext = context;
  return reinterpret_cast<const HostCell *>(context)->value;
}

double RecordContext(std::uintptr_t context) {
  g_lastContext = context;
  return 1.0;
}

TEST(WindowsHost, EvaluatesWideTextThroughTheLoadedFactory) {
  LoadedLibrary library(LibraryPath());
  ASSERT_NE(library.Get(), nullptr);
  const CREATE_PARSER create = Factory(library.Get());
  ASSERT_NE(create, nullptr);

  const boost::shared_ptr<IVOXExpressionParser> parser = create();
  ASSERT_TRUE(parser);
  ASSERT_TRUE(parser->AddVariable(W(L"\u03c1")));
  ASSERT_TRUE(parser->SetValue(W(L"\u03c1"), 3.0));
  ASSERT_TRUE(parser->SetValue(W(L"x"), 1.5));
  ASSERT_TRUE(parser->SetValue(W(L"t"), 0.5));

  const struct {
    const wchar_t *text;
    double value;
  } cases[] = {
      {L"2*x+sin(t)", 2 * 1.5 + std::sin(0.5)},
      {L"\u03c1^2/x", 6.0},
      {L"1.5e3+.25", 1500.25},
      {L"2.5e-3*1e3", 2.5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    const boost::shared_ptr<IVOXExpression> formula =
        parser->CreateExpression(W(c.text));
    ASSERT_TRUE(formula);
    EXPECT_DOUBLE_EQ(formula->Evaluate(0).second, c.value);
  }
  EXPECT_TRUE(parser->CheckSyntax(W(L"(x+\u03c1)*2")));
  EXPECT_FALSE(parser->CheckSyntax(W(L"x+")));
}

// Win64 keeps long at 32 bits: the context word must still carry a whole
// pointer to the callback.
TEST(WindowsHost, CallbacksReceiveTheWholeContextWord) {
  LoadedLibrary library(LibraryPath());
  const CREATE_PARSER create = Factory(library.Get());
  ASSERT_NE(create, nullptr);
  const boost::shared_ptr<IVOXExpressionParser> parser = create();
  ASSERT_TRUE(parser->AddFunction(W(L"cell"), ReadCell));
  ASSERT_TRUE(parser->AddFunction(W(L"probe"), RecordContext));

  HostCell cell = {21.0};
  const boost::shared_ptr<IVOXExpression> twice =
      parser->CreateExpression(W(L"cell*2"));
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->Evaluate(reinterpret_cast<std::uintptr_t>(&cell)).second,
            42.0);

  const std::uintptr_t wide =
      static_cast<std::uintptr_t>(0x0123456789ABCDEFull);
  const boost::shared_ptr<IVOXExpression> probe =
      parser->CreateExpression(W(L"probe"));
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Evaluate(wide).second, 1.0);
  EXPECT_EQ(g_lastContext, wide);
}

// Once the host has released every handle, the DLL unloads cleanly and
// nothing of it stays mapped. A private copy is loaded so that this program's
// own link to the DLL does not keep it in memory.
TEST(WindowsHost, UnloadsOnceEveryHandleIsReleased) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  ASSERT_GT(length, 0u);
  const std::wstring copy = std::wstring(temp, length) + L"VOXEvalCopy" +
                            std::to_wstring(GetCurrentProcessId()) + L".dll";
  ASSERT_TRUE(CopyFileW(LibraryPath().c_str(), copy.c_str(), FALSE));

  HMODULE module = LoadLibraryW(copy.c_str());
  ASSERT_NE(module, nullptr);
  ASSERT_NE(module, GetModuleHandleW(L"VOXEvalExpressions.dll"));
  {
    const CREATE_PARSER create = Factory(module);
    ASSERT_NE(create, nullptr);
    const boost::shared_ptr<IVOXExpressionParser> parser = create();
    const boost::shared_ptr<IVOXExpression> formula =
        parser->CreateExpression(W(L"pi*2"));
    ASSERT_TRUE(formula);
    EXPECT_DOUBLE_EQ(formula->Evaluate(0).second, 2 * 3.1415926);
  }
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr);
  EXPECT_TRUE(DeleteFileW(copy.c_str()));
}

} // namespace
