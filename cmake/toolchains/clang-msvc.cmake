# Cross-compiles the library for Windows hosts built with Microsoft's
# compiler (Visual C++, clang-cl, Intel's): clang in MSVC mode lays out
# classes, passes arguments and throws as they do, lld-link writes the DLL
# and a Microsoft-format import library. The headers are clang's own, then
# libstdc++'s and mingw-w64's (nothing else on Debian offers a standard
# library for that target); what libstdc++ would take from its compiled
# part is in src/platform/msvc_runtime.cpp. The DLL imports the C runtime
# Visual C++ hosts load: ucrtbase.dll and vcruntime140.dll (see
# cmake/msvc/). The including file sets VOXEVAL_MSVC_TRIPLE,
# VOXEVAL_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and the Wine names.
set(CMAKE_SYSTEM_NAME Windows)
set(VOXEVAL_MICROSOFT_ABI ON)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VOXEVAL_MSVC_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VOXEVAL_MSVC_TRIPLE})
set(CMAKE_LINKER lld-link)
set(CMAKE_AR llvm-ar)
set(CMAKE_RC_COMPILER llvm-rc)
# Nothing links before the project supplies its runtime pieces.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

execute_process(COMMAND clang++ -print-resource-dir
  OUTPUT_VARIABLE VOXEVAL_CLANG_RESOURCES OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VOXEVAL_LIBSTDCXX /usr/lib/gcc/${VOXEVAL_MINGW_TRIPLE}/12-win32/include/c++)
set(VOXEVAL_MSVC_FLAGS
  "-fgnuc-version=12 -nostdinc"
  "-isystem ${VOXEVAL_CLANG_RESOURCES}/include"
  "-isystem ${VOXEVAL_LIBSTDCXX}"
  "-isystem ${VOXEVAL_LIBSTDCXX}/${VOXEVAL_MINGW_TRIPLE}"
  "-isystem /usr/share/mingw-w64/include"
  "-include ${CMAKE_CURRENT_LIST_DIR}/../msvc/libstdcxx_prelude.h"
  # mingw-w64's headers as they describe ucrtbase.dll.
  "-D_UCRT -D__MSVCRT_VERSION__=0xE00"
  "-DBOOST_CONTAINER_USER_DEFINED_THROW_CALLBACKS"
  ${VOXEVAL_MSVC_ARCH_FLAGS})
list(JOIN VOXEVAL_MSVC_FLAGS " " VOXEVAL_MSVC_FLAGS)
set(CMAKE_C_FLAGS_INIT "${VOXEVAL_MSVC_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VOXEVAL_MSVC_FLAGS}")
# lld-link, without the C runtime start-up objects of Visual C++ (the
# library's and the test programs' entry points stand alone).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
    "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib ${VOXEVAL_MSVC_LINK_FLAGS}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${VOXEVAL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/host-boost.cmake)

include(${CMAKE_CURRENT_LIST_DIR}/wine-emulator.cmake)
