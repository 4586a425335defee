#include "platform.h"

#include "text.h"

#if defined(_WIN32)
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#endif

#include <cstring>
#include <new>

namespace voxeval {

namespace {

#if defined(_WIN32)

// wchar_t holds UTF-16 on Windows.
std::u16string FromWide(const wchar_t *text) {
  std::u16string out;
  for (; *text != L'\0'; ++text)
    out.push_back(static_cast<char16_t>(*text));
  return out;
}

// Text that is not UTF-8 names no file (an empty path fails to open).
std::wstring ToWide(const std::string &utf8) {
  std::u16string text;
  std::size_t bad = 0;
  if (!Utf8ToUtf16(utf8, text, bad))
    return std::wstring();
  return std::wstring(text.begin(), text.end());
}

// argv holds the command line in the ANSI code page, so it is read again
// from the UTF-16 original.
std::vector<std::string> SystemArguments(int, char **) {
  int count = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr)
    throw std::bad_alloc();
  std::vector<std::string> arguments;
  try {
    for (int i = 0; i < count; ++i)
      arguments.push_back(Utf16ToUtf8Lossless(FromWide(wide[i])));
  } catch (...) {
    LocalFree(wide);
    throw;
  }
  LocalFree(wide);
  return arguments;
}

#else

std::vector<std::string> SystemArguments(int argc, char **argv) {
  return std::vector<std::string>(argv, argv + argc);
}

#endif

} // namespace

Utf8Arguments::Utf8Arguments(int argc, char **argv)
    : m_arguments(SystemArguments(argc, argv)) {
  for (const std::string &a : m_arguments)
    m_pointers.push_back(a.c_str());
  m_pointers.push_back(nullptr);
}

#if defined(_WIN32)

namespace {

bool IsConsole(std::FILE *stream) {
  DWORD mode = 0;
  const HANDLE handle =
      reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// The console decodes each write on its own, so a character whose bytes
// arrive in two writes comes out garbled; unbuffered, the C library writes
// byte by byte, and in text mode in chunks of about a kilobyte. Binary mode
// and a large buffer keep every message and CSV header in one write (the
// console starts a new line at a bare line feed).
void WriteWhole(std::FILE *stream) {
  _setmode(_fileno(stream), _O_BINARY);
  std::setvbuf(stream, nullptr, _IOFBF, 1 << 16);
}

} // namespace

Utf8Console::Utf8Console() {
  const bool out = IsConsole(stdout), err = IsConsole(stderr);
  if (!out && !err)
    return;
  if (out)
    WriteWhole(stdout);
  if (err)
    WriteWhole(stderr);
  m_savedCodePage = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
}

// What is still buffered is written before the code page changes back.
Utf8Console::~Utf8Console() {
  if (m_savedCodePage == 0)
    return;
  std::fflush(stdout);
  std::fflush(stderr);
  SetConsoleOutputCP(m_savedCodePage);
}

std::filesystem::path FilePath(const std::string &utf8) {
  return std::filesystem::path(ToWide(utf8));
}

std::FILE *OpenFile(const std::string &utf8, const char *mode) {
  const std::wstring wideMode(mode, mode + std::strlen(mode));
  return _wfopen(ToWide(utf8).c_str(), wideMode.c_str());
}

#else

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

std::filesystem::path FilePath(const std::string &utf8) {
  return std::filesystem::path(utf8);
}

std::FILE *OpenFile(const std::string &utf8, const char *mode) {
  return std::fopen(utf8.c_str(), mode);
}

#endif

} // namespace voxeval
