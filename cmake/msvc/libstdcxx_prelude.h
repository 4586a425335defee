// Read before every file of the Microsoft-ABI build, which uses libstdc++'s
// headers without its compiled library: every template the headers would
// otherwise leave to that library (std::string's members among them) is
// made where it is used, and printing goes to the C runtime's own
// functions, not to MinGW's.
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE 0
#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 0
