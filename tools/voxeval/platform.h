// What differs between systems: the command line, file names and the console.
// The rest of the tool works in UTF-8 and sees none of it. On Windows the
// narrow command line, narrow file names and the console's code page all
// follow the ANSI code page, which cannot hold most names.
#ifndef VOXEVAL_PLATFORM_H
#define VOXEVAL_PLATFORM_H

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace voxeval {

// The program's arguments in UTF-8. On Windows they are read from the UTF-16
// command line; elsewhere argv already is what the user typed.
class Utf8Arguments {
public:
  Utf8Arguments(int argc, char **argv);

  int Count() const { return static_cast<int>(m_pointers.size()) - 1; }
  const char *const *Values() const { return m_pointers.data(); }

private:
  std::vector<std::string> m_arguments;
  std::vector<const char *> m_pointers; // ends with a null, as argv does
};

// While it lives, a Windows console shows the tool's UTF-8 output as text;
// the console's own code page comes back afterwards. Output to a file or a
// pipe is the same UTF-8 either way.
class Utf8Console {
public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console &) = delete;
  Utf8Console &operator=(const Utf8Console &) = delete;

private:
  [[maybe_unused]] unsigned m_savedCodePage = 0; // 0: nothing to restore
};

// The file named by UTF-8 text.
std::filesystem::path FilePath(const std::string &utf8);

// std::fopen for a file named by UTF-8 text.
std::FILE *OpenFile(const std::string &utf8, const char *mode);

} // namespace voxeval

#endif
