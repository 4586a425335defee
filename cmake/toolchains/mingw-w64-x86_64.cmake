# Cross-compiles the library, its tests and tools for 64-bit Windows with
# Debian's MinGW-w64 compiler; the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VOXEVAL_MINGW_TRIPLE x86_64-w64-mingw32)
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

get_property(VOXEVAL_IN_TRY_COMPILE GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT VOXEVAL_IN_TRY_COMPILE)
  # Boost's smart pointers are header-only, so the host's Debian headers
  # serve. A directory holding only a link to them keeps the host's other
  # headers out of the cross build.
  set(VOXEVAL_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
  if(NOT IS_SYMLINK ${VOXEVAL_BOOST_INCLUDE}/boost)
    file(MAKE_DIRECTORY ${VOXEVAL_BOOST_INCLUDE})
    file(CREATE_LINK /usr/include/boost ${VOXEVAL_BOOST_INCLUDE}/boost SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR ${VOXEVAL_BOOST_INCLUDE} CACHE PATH
    "Boost headers for the cross build")
  # The host's Boost CMake files and system paths describe host libraries.
  set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
  set(Boost_NO_SYSTEM_PATHS ON CACHE BOOL "")

  # Test programs run under Wine (see wine-run), in a prefix of this build's
  # own so that nothing depends on the user's home.
  find_program(VOXEVAL_WINE NAMES wine64 wine PATHS /usr/lib/wine
    DOC "Wine loader that runs the cross-built programs")
  find_program(VOXEVAL_WINESERVER NAMES wineserver64 wineserver
    PATHS /usr/lib/wine DOC "Wine server")
  set(VOXEVAL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  if(VOXEVAL_WINE AND VOXEVAL_WINESERVER)
    set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${VOXEVAL_WINEPREFIX}
      WINELOADER=${VOXEVAL_WINE} WINESERVER=${VOXEVAL_WINESERVER}
      ${CMAKE_CURRENT_LIST_DIR}/wine-run)
  endif()
endif()
