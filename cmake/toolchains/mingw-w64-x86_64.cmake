# 64-bit Windows: MinGW-w64's x86_64 compiler, tested under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VOXEVAL_MINGW_TRIPLE x86_64-w64-mingw32)
set(VOXEVAL_WINE_NAMES wine64 wine)
set(VOXEVAL_WINESERVER_NAMES wineserver64 wineserver)
set(VOXEVAL_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
