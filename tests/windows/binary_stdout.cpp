// Windows test programs write "\n", not "\r\n": the test list that CMake
// reads from them at build time would otherwise carry a stray "\r" in every
// test name.
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {
const bool binary_stdout = _setmode(_fileno(stdout), _O_BINARY) != -1;
}
