# 32-bit Windows: MinGW-w64's i686 compiler, tested under 32-bit Wine in a
# 32-bit prefix, as the older hosts run it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VOXEVAL_MINGW_TRIPLE i686-w64-mingw32)
set(VOXEVAL_WINE_NAMES wine)
set(VOXEVAL_WINESERVER_NAMES wineserver32 wineserver)
set(VOXEVAL_WINEARCH win32)
# x87 arithmetic rounds to 80 bits between steps, and results would differ
# from the 64-bit builds' in the last place: SSE2 keeps every step a double.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
