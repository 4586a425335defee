# 32-bit Windows in Microsoft's C++ ABI (__thiscall members, __cdecl
# callbacks and factory), tested under 32-bit Wine. SSE2 for every double
# step, as in the other 32-bit builds; _X86_ is what mingw-w64's headers
# test and clang in MSVC mode does not define.
set(CMAKE_SYSTEM_PROCESSOR X86)
set(VOXEVAL_MSVC_TRIPLE i686-pc-windows-msvc)
set(VOXEVAL_MINGW_TRIPLE i686-w64-mingw32)
set(VOXEVAL_WINE_NAMES wine)
set(VOXEVAL_WINESERVER_NAMES wineserver32 wineserver)
set(VOXEVAL_WINEARCH win32)
set(VOXEVAL_MSVC_ARCH_FLAGS -D_X86_ -msse2 -mfpmath=sse)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc.cmake)
