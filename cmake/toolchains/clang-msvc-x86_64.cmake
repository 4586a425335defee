# 64-bit Windows in Microsoft's C++ ABI, tested under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VOXEVAL_MSVC_TRIPLE x86_64-pc-windows-msvc)
set(VOXEVAL_MINGW_TRIPLE x86_64-w64-mingw32)
set(VOXEVAL_WINE_NAMES wine64 wine)
set(VOXEVAL_WINESERVER_NAMES wineserver64 wineserver)
set(VOXEVAL_WINEARCH win64)
# What GCC tells libstdc++ about __int128, which clang in MSVC mode does not.
set(VOXEVAL_MSVC_ARCH_FLAGS
  -D__GLIBCXX_TYPE_INT_N_0=__int128 -D__GLIBCXX_BITSIZE_INT_N_0=128)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc.cmake)
