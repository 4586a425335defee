# Cross-compiles the library, its tests and tools for Windows with Debian's
# MinGW-w64 compiler; the tests run under Wine. The including file sets
# VOXEVAL_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and the Wine binaries' names
# (VOXEVAL_WINE_NAMES, VOXEVAL_WINESERVER_NAMES, VOXEVAL_WINEARCH).
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GCC 12's win32 model has no std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${VOXEVAL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOXEVAL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VOXEVAL_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW sysroot only, never the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${VOXEVAL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained binaries: libgcc, libstdc++ and winpthread linked in, so
# neither the DLL nor the test programs need MinGW's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

include(${CMAKE_CURRENT_LIST_DIR}/host-boost.cmake)

include(${CMAKE_CURRENT_LIST_DIR}/wine-emulator.cmake)
